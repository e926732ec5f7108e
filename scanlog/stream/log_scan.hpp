// What the log stream hands on: scans ready to be written, and the sink that takes them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "formats/format_reader.hpp"
#include "scan_reader.hpp"

// A scan ready to be written: the record as a scan file holds it and its time.
struct LogScan {
    std::uint64_t number = 0;   // 1 for the first scan
    // Readings in centimetres, leadingValue as written. Converted logs: at options.facing,
    // kNoReading where there is no return; scan files: as read. What is written is made
    // from it by prepareRecord (stream/picture.hpp).
    ScanRecord record;
    std::string leadingText;    // the leading value exactly as it is to be written
    std::int64_t stampNs = 0;   // the scan's time (scan files: leading value read as seconds)
    bool timed = false;         // stamps usable for pacing (see readLog)
    // Scan files: where the viewer's reader starts to read this record again, counted in the
    // file's own bytes (in the decompressed bytes when it is gzip-compressed).
    std::uint64_t offset = 0;
    bool scanFile = false;          // read from a scan file
    const RawScan* raw = nullptr;   // converted logs: the sensor's scan, while the sink has it
    double zoom = 1;                // the zoom it is to be drawn at (see readPictureLog)
};

struct LogSink {
    std::function<void(const LogInfo&)> begin;  // may be empty
    std::function<bool(const LogScan&)> scan;   // false: stop reading
    // May be empty. Called when a live log (a pipe) has nothing more to read for now: the
    // moment to pass on what has been held back.
    std::function<void()> waiting;
};
