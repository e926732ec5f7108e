// scanlog info: is this log sound before I use it?
#include "info.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "commands.hpp"
#include "scan_geometry.hpp"
#include "stream/records.hpp"

namespace {

constexpr double kCentimetresPerBin = 0.01;
constexpr std::size_t kRangeBins = static_cast<std::size_t>(kNoReturnCentimetres / kCentimetresPerBin) + 1;
constexpr double kNsPerSecond = 1e9;
// A step longer than this many median steps is a gap: scans were lost, or the sensor paused.
constexpr std::int64_t kGapInMedianSteps = 3;

// Whether the viewer draws reading `index` worth `centimetres`: asked of the viewer's own
// geometry, so that the report and the picture agree at the picture's edges.
bool inPicture(double centimetres, int index) {
    PixelPosition pixel;
    return projectReading(centimetres, index, pixel);
}

void tallyTime(InfoTally& t, const LogScan& scan) {
    if (t.scans == 1) {
        t.firstNs = scan.stampNs;
        t.timed = scan.timed;
    } else {
        const std::int64_t step = scan.stampNs - t.lastNs;
        t.steps.push_back(step);
        if (step < 0 && t.backwards++ == 0) t.firstBackwards = scan.number;
        if (step == 0 && t.stalls++ == 0) t.firstStall = scan.number;
    }
    t.lastNs = scan.stampNs;
}

void spread(Spread& s, double value) {
    s.least = s.seen ? std::min(s.least, value) : value;
    s.most = s.seen ? std::max(s.most, value) : value;
    s.seen = true;
}

constexpr double kDegreesPerRadian = 180 / 3.141592653589793;

void tallySensor(SensorTally& s, const RawScan& raw) {
    const std::size_t beams = raw.ranges.size();
    if (s.scans > 0 && (raw.angleMin != s.lastAngleMin || raw.angleIncrement != s.lastIncrement || beams != s.lastBeams)) {
        ++s.changes;
    }
    ++s.scans;
    s.lastAngleMin = raw.angleMin;
    s.lastIncrement = raw.angleIncrement;
    s.lastBeams = beams;
    spread(s.beams, static_cast<double>(beams));
    spread(s.first, raw.angleMin * kDegreesPerRadian);
    const double lastBeam = beams > 0 ? static_cast<double>(beams - 1) : 0;
    spread(s.last, (raw.angleMin + lastBeam * raw.angleIncrement) * kDegreesPerRadian);
    spread(s.step, raw.angleIncrement * kDegreesPerRadian);
    spread(s.rangeMin, raw.rangeMin);
    spread(s.rangeMax, raw.rangeMax);
    spread(s.covered, coveredReadings(raw, 0));
    s.beamCount += beams;
    s.beamReturns += returnedBeams(raw);
}

void tallyReadings(InfoTally& t, const ScanRecord& record) {
    for (int i = 0; i < kReadingCount; ++i) {
        const double range = record.readings[i];
        t.inPicture += inPicture(range, i);
        if (std::isnan(range) || range >= kNoReturnCentimetres) {
            ++t.noReturn;
        } else if (range <= 0) {
            ++t.zero;
        } else {
            const bool first = t.readings == t.noReturn + t.zero;
            t.shortest = first ? range : std::min(t.shortest, range);
            t.longest = first ? range : std::max(t.longest, range);
            ++t.rangeCounts[std::min(static_cast<std::size_t>(range / kCentimetresPerBin + 0.5), kRangeBins - 1)];
        }
        ++t.readings;
    }
}

// ---- the report ---------------------------------------------------------------------------

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

std::string line(const char* label, const std::string& value) { return format("%-16s%s\n", label, value.c_str()); }

double seconds(std::int64_t nanoseconds) { return static_cast<double>(nanoseconds) / kNsPerSecond; }

// Milliseconds below a second, seconds above.
std::string duration(std::int64_t nanoseconds) {
    if (nanoseconds < 1'000'000'000) return format("%.2f ms", static_cast<double>(nanoseconds) / 1e6);
    return format("%.3f s", seconds(nanoseconds));
}

std::string percentOf(std::uint64_t part, std::uint64_t whole) {
    return format("%.1f%%", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

std::string countWithShare(std::uint64_t part, std::uint64_t whole, const char* what) {
    return format("%llu readings (%s)%s", static_cast<unsigned long long>(part), percentOf(part, whole).c_str(), what);
}

std::string countWithFirst(std::uint64_t count, std::uint64_t first) {
    if (count == 0) return "0";
    return format("%llu, the first at scan %llu", static_cast<unsigned long long>(count),
                  static_cast<unsigned long long>(first));
}

std::int64_t medianStep(const InfoTally& t) {
    std::vector<std::int64_t> forward;
    for (const std::int64_t step : t.steps) {
        if (step > 0) forward.push_back(step);
    }
    if (forward.empty()) return 0;
    auto middle = forward.begin() + static_cast<std::ptrdiff_t>(forward.size() / 2);
    std::nth_element(forward.begin(), middle, forward.end());
    return *middle;
}

std::string gaps(const InfoTally& t, std::int64_t median) {
    const std::int64_t limit = kGapInMedianSteps * median;
    std::uint64_t count = 0, largestAt = 0;
    std::int64_t largest = 0;
    for (std::size_t i = 0; i < t.steps.size(); ++i) {
        if (t.steps[i] <= limit) continue;
        ++count;
        if (t.steps[i] > largest) {
            largest = t.steps[i];
            largestAt = i + 2;  // the scan after the gap
        }
    }
    std::string text = format("%llu longer than %s (3 median steps)", static_cast<unsigned long long>(count),
                              duration(limit).c_str());
    if (count > 0) {
        text += format("; the longest %s, before scan %llu", duration(largest).c_str(),
                       static_cast<unsigned long long>(largestAt));
    }
    return text;
}

std::string timeLines(const InfoTally& t) {
    if (!t.timesRead) return line("times", "none read (scan file: give --timed if the leading values are seconds)");
    std::string text = line("times", t.timed ? "usable for pacing"
                                             : "not usable for pacing (the first two scans' times do not increase)");
    text += line("duration", format("%.3f s", seconds(t.lastNs - t.firstNs)));
    const std::int64_t median = medianStep(t);
    if (median > 0) {
        const double hertz = kNsPerSecond / static_cast<double>(median);
        text += line("median rate", format(hertz >= 1 ? "%.2f Hz" : "%.3g Hz", hertz) + " (a scan every " +
                                        duration(median) + ")");
    } else {
        text += line("median rate", "none (no time step goes forward)");
    }
    text += line("backward steps", countWithFirst(t.backwards, t.firstBackwards));
    text += line("stalls", countWithFirst(t.stalls, t.firstStall) + (t.stalls > 0 ? " (the same time twice)" : ""));
    if (median > 0) text += line("gaps", gaps(t, median));
    return text;
}

double medianRange(const InfoTally& t) {
    const std::uint64_t counted = t.readings - t.noReturn - t.zero;
    const std::uint64_t middle = (counted + 1) / 2;  // the lower middle one for an even count
    std::uint64_t seen = 0;
    for (std::size_t bin = 0; bin < t.rangeCounts.size(); ++bin) {
        seen += t.rangeCounts[bin];
        if (seen >= middle) return static_cast<double>(bin) * kCentimetresPerBin;
    }
    return 0;
}

// One figure of the sensor: "270.0", or "180.0..270.0" when it changes within the log.
std::string figure(const Spread& s, const char* pattern) {
    std::string text = format(pattern, s.least);
    if (s.most != s.least) text += ".." + format(pattern, s.most);
    return text;
}

std::string sensorLines(const SensorTally& s) {
    Spread over;  // the field of view, from the first beam to the last
    over.least = s.last.least - s.first.least;
    over.most = s.last.most - s.first.most;
    if (over.least > over.most) std::swap(over.least, over.most);
    std::string text = line("sensor", "beams " + figure(s.beams, "%.0f") + " over " + figure(over, "%.1f") +
                                          " degrees, from " + figure(s.first, "%.1f") + " to " +
                                          figure(s.last, "%.1f") + ", a beam every " + figure(s.step, "%.3f") +
                                          " degrees");
    if (s.changes > 0) {
        text += line("", format("the geometry changes %llu %s within the log", static_cast<unsigned long long>(s.changes),
                                s.changes == 1 ? "time" : "times"));
    }
    const std::string upper = std::isinf(s.rangeMax.least) && std::isinf(s.rangeMax.most) ? "no upper limit"
                                                                                          : figure(s.rangeMax, "%.2f") + " m";
    text += line("range limits", figure(s.rangeMin, "%.2f") + " m to " + upper);
    text += line("readings", "the sensor covers " + figure(s.covered, "%.0f") + " of the " +
                                 std::to_string(kReadingCount) + " readings");
    return text;
}

std::string rangeLines(const InfoTally& t) {
    std::string text;
    if (t.sensor.scans > 0) {
        const std::uint64_t missing = t.sensor.beamCount - t.sensor.beamReturns;
        text += line("no return", format("%llu of the sensor's %llu beams (%s)", static_cast<unsigned long long>(missing),
                                         static_cast<unsigned long long>(t.sensor.beamCount),
                                         percentOf(missing, t.sensor.beamCount).c_str()));
    } else {
        text += line("no return", countWithShare(t.noReturn, t.readings, ", 81.91 m or more"));
    }
    text += line("zero", countWithShare(t.zero, t.readings, ", 0 or below"));
    if (t.readings > t.noReturn + t.zero) {
        text += line("ranges", format("shortest %.2f m, median %.2f m, longest %.2f m", t.shortest / 100,
                                      medianRange(t) / 100, t.longest / 100));
    }
    text += line("in the picture", countWithShare(t.inPicture, t.readings, ", drawn by the viewer"));
    return text;
}

}  // namespace

void tallyScan(InfoTally& t, const LogScan& scan) {
    if (t.rangeCounts.empty()) t.rangeCounts.assign(kRangeBins, 0);
    ++t.scans;
    if (t.timesRead) tallyTime(t, scan);
    tallyReadings(t, scan.record);
    if (scan.raw != nullptr) tallySensor(t.sensor, *scan.raw);
    if (t.scans > 1 && std::equal(t.previous.begin(), t.previous.end(), scan.record.readings.begin())) {
        if (t.frozen++ == 0) t.firstFrozen = scan.number;
    }
    t.previous = scan.record.readings;
}

std::string formatInfo(const InfoTally& t, const std::string& path) {
    std::string text = line("log", path);
    text += line("format", t.log.format + (t.log.compressed ? " (gzip-compressed)" : ""));
    if (!t.log.topic.empty()) text += line(t.log.format == "CARMEN log" ? "laser" : "topic", t.log.topic);
    text += line("scans", std::to_string(t.scans));
    if (t.scans == 0) return text;
    if (t.sensor.scans > 0) text += sensorLines(t.sensor);
    text += timeLines(t);
    text += rangeLines(t);
    text += line("frozen scans", t.frozen == 0 ? "0"
                                               : countWithFirst(t.frozen, t.firstFrozen) +
                                                     " (all readings as in the scan before)");
    return text;
}

namespace {

// Reads one log (or one topic of a bag) and writes its report. False when it could not be
// read to its end; `laserScanTopics` gets the bag's LaserScan topics.
bool reportOn(const std::string& input, const LogOptions& options, bool leadingValuesAreSeconds,
              bool reportUnchosen, std::vector<std::string>& laserScanTopics, int& status) {
    InfoTally tally;
    LogSink sink;
    sink.begin = [&](const LogInfo& info) {
        tally.log = info;
        tally.begun = true;
        tally.timesRead = info.format != "scan file" || leadingValuesAreSeconds;
        laserScanTopics = info.laserScanTopics;
    };
    sink.scan = [&](const LogScan& scan) {
        tallyScan(tally, scan);
        return true;
    };
    std::string error;
    const bool read = readLog(input, options, leadingValuesAreSeconds, sink, error);
    // A bag of several LaserScan topics without --topic is reported topic by topic instead.
    const bool several = !read && options.topic.empty() && laserScanTopics.size() > 1 && tally.scans == 0;
    if (several && !reportUnchosen) return false;
    if (tally.begun) {
        const std::string report = formatInfo(tally, input);
        if (!writeAll(STDOUT_FILENO, report) && errno != EPIPE) {
            std::fprintf(stderr, "scanlog: error writing standard output: %s\n", std::strerror(errno));
            status = 1;
            return false;
        }
    }
    if (!read) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::fflush(stderr);
        status = 1;
    }
    return read;
}

}  // namespace

int runInfo(const std::string& input, const LogOptions& options, bool leadingValuesAreSeconds) {
    std::vector<std::string> topics;
    int status = 0;
    if (reportOn(input, options, leadingValuesAreSeconds, false, topics, status) || status != 0 ||
        topics.size() < 2 || !options.topic.empty()) {
        return status;
    }
    for (std::size_t i = 0; i < topics.size(); ++i) {
        if (i > 0 && !writeAll(STDOUT_FILENO, "\n")) break;
        LogOptions one = options;
        one.topic = topics[i];
        std::vector<std::string> ignored;
        reportOn(input, one, leadingValuesAreSeconds, true, ignored, status);
    }
    return status;
}
