// scanlog info: a log's health, tallied scan by scan as the log is read (memory does not
// grow with the number of readings; only each scan's time step is kept, for the median).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "stream/log_source.hpp"

// The smallest and largest of one figure over the log.
struct Spread {
    double least = 0, most = 0;
    bool seen = false;
};

// What the sensor is, from its own scans (converted logs only).
struct SensorTally {
    std::uint64_t scans = 0;
    std::uint64_t changes = 0;        // scans whose geometry differs from the scan before's
    double lastAngleMin = 0, lastIncrement = 0;
    std::size_t lastBeams = 0;
    Spread beams, first, last, step;  // degrees for the angles
    Spread rangeMin, rangeMax;        // metres
    Spread covered;                   // readings of the 361 with a beam
    std::uint64_t beamCount = 0;      // every beam of every scan
    std::uint64_t beamReturns = 0;    // ... and those with a return
};

struct InfoTally {
    LogInfo log;
    bool begun = false;      // the log was recognised
    bool timesRead = false;  // the scans carry times: every format but a scan file without --timed
    bool timed = false;      // the times can pace a replay (the first two increase)
    std::uint64_t scans = 0;

    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    std::vector<std::int64_t> steps;  // from each scan's time to the next one's
    std::uint64_t backwards = 0, firstBackwards = 0;  // counts, and the scan that steps back first
    std::uint64_t stalls = 0, firstStall = 0;         // the same time twice

    std::uint64_t readings = 0;
    std::uint64_t noReturn = 0;   // 8191 and beyond, or none at all
    std::uint64_t zero = 0;       // 0 and below
    std::uint64_t inPicture = 0;  // readings the viewer draws
    std::vector<std::uint64_t> rangeCounts;  // the other readings, in steps of 0.01 cm, for the median
    double shortest = 0, longest = 0;        // of those

    SensorTally sensor;

    std::uint64_t frozen = 0, firstFrozen = 0;  // scans whose readings all equal the scan before's
    std::array<double, kReadingCount> previous{};
};

void tallyScan(InfoTally& tally, const LogScan& scan);

// The report, one aligned line per figure.
std::string formatInfo(const InfoTally& tally, const std::string& path);
