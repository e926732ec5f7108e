#include "stamping.hpp"

#include <cstdio>

#include "records.hpp"

namespace {

constexpr double kRadiansPerDegree = 3.141592653589793 / 180;

void giveLeadingValue(Stamping& s, LogScan& scan) {
    const bool byIndex = s.options.stamp == StampMode::index || !s.timed;
    if (byIndex) {
        scan.leadingText = std::to_string(scan.number);
    } else if (s.options.stamp == StampMode::absolute) {
        scan.leadingText = absoluteSeconds(scan.stampNs);
    } else {
        scan.leadingText = relativeSeconds(scan.stampNs - s.originNs);
    }
    scan.timed = s.timed;
    double value = 0;
    parseNumber(scan.leadingText.data(), scan.leadingText.data() + scan.leadingText.size(), value);
    scan.record.leadingValue = value;
}

bool deliver(Stamping& s, LogScan& scan, const RawScan* raw) {
    scan.raw = raw;
    giveLeadingValue(s, scan);
    if (!s.sink.scan(scan)) s.stopped = true;
    return !s.stopped;
}

void decideTiming(Stamping& s, std::int64_t secondNs) {
    s.timed = secondNs > s.first.stampNs;
    if (!s.timed && s.options.stamp != StampMode::index) {
        std::fprintf(stderr, "scanlog: %s: the first two scans' times do not increase (%s s, then %s s); "
                             "leading values are scan numbers instead\n",
                     s.path.c_str(), absoluteSeconds(s.first.stampNs).c_str(), absoluteSeconds(secondNs).c_str());
        std::fflush(stderr);
    }
}

}  // namespace

bool takeRawScan(Stamping& s, const RawScan& raw) {
    LogScan scan;
    scan.number = ++s.count;
    scan.stampNs = raw.stampNs;
    resampleScan(raw, s.options.facing * kRadiansPerDegree, scan.record);
    if (scan.number == 1) {
        s.firstRaw = raw;  // the reader reuses its own
        s.first = std::move(scan);
        s.originNs = s.first.stampNs;
        s.held = true;
        return true;
    }
    if (s.held) {
        s.held = false;
        decideTiming(s, scan.stampNs);
        if (!deliver(s, s.first, &s.firstRaw)) return false;
    }
    return deliver(s, scan, &raw);
}

void releaseHeldScan(Stamping& s) {
    if (!s.held || s.stopped) return;
    s.held = false;
    deliver(s, s.first, &s.firstRaw);
}


RawScanSink rawSinkFor(Stamping& stamping, const LogSink& sink) {
    RawScanSink raw;
    raw.begin = [&stamping, &sink](const LogInfo& info) {
        LogInfo described = info;
        described.compressed = stamping.compressed;
        if (sink.begin) sink.begin(described);
    };
    raw.scan = [&stamping](const RawScan& scan) { return takeRawScan(stamping, scan); };
    return raw;
}
