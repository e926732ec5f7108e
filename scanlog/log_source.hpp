// Reading any log that scanlog understands as a stream of scan records.
//
// Each input format has a reader that turns its laser messages into RawScans (the sensor's
// own beams, in metres, with their geometry and time). The log source opens the input,
// recognises its format by content, runs the right reader, resamples every RawScan onto the
// 361 half-degree readings of a scan file and gives it its leading value. Scan files are read
// with the viewer's own reader and pass through as they are.
//
// Everything is streamed: one scan (or one chunk of a bag) at a time, so memory does not grow
// with the log, and a consumer sees the first scan before the reader has seen the second
// bag chunk.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "scan_reader.hpp"

enum class StampMode { relative, absolute, index };

struct LogOptions {
    std::string topic;  // ROS bags: the LaserScan topic; empty: the only one there is
    std::string laser;  // CARMEN: the line kind; empty: the front laser
    StampMode stamp = StampMode::relative;
};

// One scan as the sensor gave it, before resampling.
struct RawScan {
    std::int64_t stampNs = 0;      // nanoseconds (since the epoch for ROS); 0 when unknown
    double angleMin = 0;           // bearing of beam 0 in radians, counter-clockwise positive
    double angleIncrement = 0;     // radians from one beam to the next; may be negative
    double rangeMin = 0;           // metres; a reading below it is no return
    double rangeMax = std::numeric_limits<double>::infinity();  // metres; above it: no return
    bool rangeMaxIsNoReturn = false;  // CARMEN RAWLASER: a reading equal to the maximum too
    std::vector<double> ranges;    // metres, beam 0 first
};

// What a reader knows about the log before its first scan.
struct LogInfo {
    std::string format;          // "scan file", "CARMEN log", "ROS 1 bag", "ROS 2 bag (SQLite)", "MCAP"
    std::string topic;           // the topic or line kind the scans come from; empty for scan files
    std::uint64_t scanCount = 0;  // scans the log holds, when the format says so; 0 unknown
    bool compressed = false;     // the file was gzip-compressed
};

// What a reader reports to: `begin` once before the first scan (and before any error that
// comes after the log was recognised), `scan` for every scan in order. `scan` returns false
// when the consumer wants no more; the reader then stops and returns true.
struct RawScanSink {
    std::function<void(const LogInfo&)> begin;
    std::function<bool(const RawScan&)> scan;
};

// A scan ready to be written: the record as a scan file holds it and its time.
struct LogScan {
    std::uint64_t number = 0;   // 1 for the first scan
    ScanRecord record;          // readings in centimetres; leadingValue as written
    std::string leadingText;    // the leading value exactly as it is to be written
    std::int64_t stampNs = 0;   // the scan's time (scan files: leading value read as seconds)
    bool timed = false;         // stamps usable for pacing (see readLog)
    // Scan files: where the viewer's reader starts to read this record again, counted in the
    // file's own bytes (in the decompressed bytes when it is gzip-compressed).
    std::uint64_t offset = 0;
};

struct LogSink {
    std::function<void(const LogInfo&)> begin;  // may be empty
    std::function<bool(const LogScan&)> scan;   // false: stop reading
    // May be empty. Called when a live log (a pipe) has nothing more to read for now: the
    // moment to pass on what has been held back.
    std::function<void()> waiting;
};

// Reads the log at `path` (a file, a gzip-compressed file, or a ROS 2 bag folder) and hands
// every scan to `sink`. `timed` on the scans says whether their stamps can pace a replay: for
// ROS bags and CARMEN logs, whether the first two scans' times increase; for scan files,
// only when `leadingValuesAreSeconds`. When relative or absolute stamps are asked for and the
// times are unusable, the leading values fall back to 1, 2, 3 ... with one warning line on
// standard error. False with `error` set to the one-line message (without a trailing line end)
// when the log can't be opened, isn't recognised, or is damaged; every scan before the damage
// has been handed over by then.
bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error);

// ---- format readers: each hands its scans to `sink` and returns false with `error` set
// ---- ("FILE: PLACE: WHAT") on damage. `path` is what the user gave; `file` what to open.

// Text logs read through a ScanInput-style byte reader, so gzip is undone on the fly.
struct ByteReader {
    ssize_t (*read)(void* context, char* into, std::size_t size) = nullptr;
    void* context = nullptr;
};

bool readCarmenLog(const ByteReader& bytes, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                   std::string& error);
bool readRos1Bag(const std::string& file, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                 std::string& error);
// `files`: the bag's .db3 files in order (from metadata.yaml, or the one file given).
bool readRos2Sqlite(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                    const RawScanSink& sink, std::string& error);
bool readMcap(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
              const RawScanSink& sink, std::string& error);

// Decodes a CDR-encoded sensor_msgs/msg/LaserScan (ROS 2), encapsulation header included.
// False with `error` set to what is wrong (no file or place: the caller adds those).
bool decodeRos2LaserScan(const unsigned char* data, std::size_t size, RawScan& scan, std::string& error);
