// scanlog map: what did the robot see, all of it, and where? Every scan of the log placed by
// the pose the log holds for it, as one occupancy map.
#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "commands.hpp"
#include "pictures/map_files.hpp"
#include "play/terminal.hpp"
#include "stream/pose_sources.hpp"

namespace {

struct Mapping {
    const std::string& input;
    const MapOptions& options;
    OccupancyGrid grid;
    PoseSources poses;
    LogInfo info;
    std::uint64_t scans = 0;           // read from the log
    std::uint64_t fromLines = 0;       // placed by the pose on their own line
    std::string failure;               // the map can't be made (too large, no poses)
    bool progress = false;             // standard error is a terminal
    std::chrono::steady_clock::time_point lastProgress;
};

void showProgress(Mapping& m) {
    if (!m.progress) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m.lastProgress < std::chrono::nanoseconds(kStatusIntervalNs)) return;
    m.lastProgress = now;
    const std::string line = statusLine("scanlog map: " + std::to_string(m.scans) + " scans read");
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

bool mapScan(Mapping& m, const RawScan& scan, const Pose2D& laser) {
    if (!addScan(m.grid, scan, laser, m.failure)) return false;
    showProgress(m);
    return true;
}

// When the pose sources can't go on, their reason is the map's.
bool failed(Mapping& m) {
    if (m.failure.empty()) m.failure = m.poses.failure;
    return false;
}

RawScanSink sinkFor(Mapping& m) {
    RawScanSink sink;
    sink.begin = [&m](const LogInfo& info) { m.info = info; };
    sink.scan = [&m](const RawScan& scan) {
        ++m.scans;
        if (!scan.hasPose) return addScanNeedingPose(m.poses, scan) || failed(m);
        ++m.fromLines;
        return mapScan(m, scan, scan.pose);
    };
    sink.pose = [&m](const PoseSample& sample) { return addLogPose(m.poses, sample) || failed(m); };
    return sink;
}

std::string plural(std::uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string poseSource(const Mapping& m) {
    std::string source;
    if (m.fromLines > 0) source = "the " + m.info.topic + " lines";
    if (m.poses.poser.counts.placed > 0) {
        source += std::string(source.empty() ? "" : " and ") + m.poses.description + " (" +
                  plural(m.poses.samples, "sample", "samples") + ", interpolated)";
        if (!m.poses.mounting.empty()) source += "; " + m.poses.mounting;
    }
    return source.empty() ? "nowhere: the log holds no poses for these scans" : source;
}

std::string leftOutText(const Mapping& m) {
    const PosedScanCounts& c = m.poses.poser.counts;
    const std::uint64_t placed = m.fromLines + c.placed;
    const std::uint64_t left = m.scans - placed;
    std::string text = plural(placed, "scan", "scans") + " mapped, " + std::to_string(left) + " left out";
    std::string reasons;
    const auto reason = [&reasons](std::uint64_t count, const std::string& why) {
        if (count > 0) reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + why;
    };
    reason(c.outsideSpan, "outside the poses' time span");
    reason(c.farFromPose, "more than 0.5 s from a pose");
    reason(left - c.outsideSpan - c.farFromPose, "not reached");
    return reasons.empty() ? text : text + " (" + reasons + ")";
}

void printSummary(const Mapping& m, double seconds) {
    const MapBounds bounds = mapBounds(m.grid);
    const double r = m.options.settings.resolution;
    std::fprintf(stderr, "scanlog map: %s; poses from %s\n", leftOutText(m).c_str(), poseSource(m).c_str());
    std::fprintf(stderr, "scanlog map: %lld x %lld cells of %g m (%g x %g m), written to %s in %.2f s\n",
                 static_cast<long long>(bounds.width), static_cast<long long>(bounds.height), r,
                 static_cast<double>(bounds.width) * r, static_cast<double>(bounds.height) * r, m.options.output.c_str(),
                 seconds);
}

}  // namespace

int runMap(const std::string& input, const MapOptions& options) {
    if (!isMapFileName(options.output)) {
        std::fprintf(stderr, "scanlog: -o %s: the map is written as .png or .yaml (with its .pgm)\n",
                     options.output.c_str());
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    Mapping m{input, options, makeGrid(options.settings), {}, {}, 0, 0, {}, isatty(STDERR_FILENO) == 1, start};
    startPoseSources(m.poses, options.poses,
                     [&m](const RawScan& scan, const Pose2D& laser) { return mapScan(m, scan, laser); });

    std::string error;
    RawScanSink sink = sinkFor(m);
    sink.poseTopic = options.poses.poseTopic;
    const bool read = readRawLog(input, options.log, sink, error);
    if (m.failure.empty()) {
        finishPoseSources(m.poses);
        m.failure = m.poses.failure;
    }
    if (m.progress) std::fputs(kClearStatus, stderr);
    if (!m.failure.empty()) {
        std::fprintf(stderr, "scanlog: %s: %s\n", input.c_str(), m.failure.c_str());
        return 1;
    }
    if (!read && m.scans == 0) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!m.grid.touched) {
        std::fprintf(stderr, "scanlog map: %s; poses from %s\n", leftOutText(m).c_str(), poseSource(m).c_str());
        std::fprintf(stderr, "scanlog: %s: no scan could be placed on a map; %s was not written\n", input.c_str(),
                     options.output.c_str());
        if (!read) std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::string writeError;
    if (!writeMapFiles(m.grid, options.output, writeError)) {
        std::fprintf(stderr, "scanlog: %s\n", writeError.c_str());
        return 1;
    }
    printSummary(m, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!read) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
