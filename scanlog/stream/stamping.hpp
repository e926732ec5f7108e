// Giving each converted scan its number and leading value, once the log's first two scans
// have shown whether its times can be used.
#pragma once

#include <cstdint>
#include <string>

#include "formats/format_reader.hpp"
#include "log_scan.hpp"

// Gives each converted scan its leading value. The first scan is held back until the second
// shows whether the log's times can be used.
struct Stamping {
    const std::string& path;
    const LogOptions& options;
    const LogSink& sink;
    std::uint64_t count = 0;
    bool held = false;
    LogScan first;
    RawScan firstRaw;  // the sensor's scan it came from, handed on with it
    bool timed = true;
    std::int64_t originNs = 0;
    bool stopped = false;
    bool compressed = false;
};

// Resamples `raw`, and hands it on (the first held back until the second arrives).
bool takeRawScan(Stamping& s, const RawScan& raw);
// A log of one scan has no second time to judge by; its one stamp is used as it is.
void releaseHeldScan(Stamping& s);
// The sink a format reader hands its scans to.
RawScanSink rawSinkFor(Stamping& stamping, const LogSink& sink);
