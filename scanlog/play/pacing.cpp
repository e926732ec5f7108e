#include "pacing.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "formats/stamp_arithmetic.hpp"

namespace {

// Saturated like the stamps' own arithmetic: a span too long for a count stays the longest.
std::int64_t scaled(std::int64_t nanoseconds, double factor) {
    const double product = static_cast<double>(nanoseconds) * factor;
    constexpr double kLimit = 9.2e18;  // just inside the range of an int64
    return product >= kLimit ? INT64_MAX : product <= -kLimit ? INT64_MIN : std::llround(product);
}

void anchor(Pace& pace, std::int64_t logNs, std::int64_t wallNs) {
    pace.anchorLogNs = logNs;
    pace.anchorWallNs = wallNs;
}

// Anything the user does ends the chain: the interval across it says nothing about the pace.
void anchorByUser(Pace& pace, std::int64_t nowNs, std::int64_t nextLogNs) {
    anchor(pace, std::min(logClock(pace, nowNs), nextLogNs), nowNs);
    pace.chained = false;
}

}  // namespace

Pace startPace(double speed, std::int64_t logNs, std::int64_t nowNs) {
    Pace pace;
    pace.speed = speed;
    anchor(pace, logNs, nowNs);
    return pace;
}

std::int64_t logClock(const Pace& pace, std::int64_t nowNs) {
    if (pace.paused) return pace.anchorLogNs;
    return stampPlus(pace.anchorLogNs, scaled(stampStep(pace.anchorWallNs, nowNs), pace.speed));
}

std::int64_t dueAt(const Pace& pace, std::int64_t logNs) {
    if (pace.paused) return kNoDeadline;
    return stampPlus(pace.anchorWallNs, scaled(stampStep(pace.anchorLogNs, logNs), 1 / pace.speed));
}

bool isUnwaitedStep(std::int64_t previousLogNs, std::int64_t logNs) {
    return logNs < previousLogNs || stampStep(previousLogNs, logNs) > kLongestWaitNs;
}

void continueAt(Pace& pace, std::int64_t previousLogNs, std::int64_t logNs, std::int64_t gapNs) {
    if (pace.paused) {
        pace.anchorLogNs = stampStep(gapNs, logNs);
        return;
    }
    anchor(pace, logNs, stampPlus(dueAt(pace, previousLogNs), scaled(gapNs, 1 / pace.speed)));
}

void changeSpeed(Pace& pace, double speed, std::int64_t nowNs, std::int64_t nextLogNs) {
    if (!pace.paused) anchorByUser(pace, nowNs, nextLogNs);
    pace.speed = speed;
}

void pausePace(Pace& pace, std::int64_t nowNs, std::int64_t nextLogNs) {
    if (pace.paused) return;
    anchorByUser(pace, nowNs, nextLogNs);
    pace.paused = true;
}

void resumePace(Pace& pace, std::int64_t nowNs) {
    if (!pace.paused) return;
    pace.paused = false;
    anchor(pace, pace.anchorLogNs, nowNs);
    pace.chained = false;
}

void showRecordAt(Pace& pace, std::int64_t logNs, std::int64_t nowNs) {
    anchor(pace, logNs, nowNs);
    pace.chained = false;
}

void notePacedWrite(Pace& pace, std::int64_t logNs, std::int64_t dueNs, std::int64_t writtenNs, std::int64_t stalledNs) {
    pace.latestNs = std::max(pace.latestNs, writtenNs - dueNs - stalledNs);
    pace.stalledNs += stalledNs;
    if (pace.chained) {
        pace.intendedNs += dueNs - pace.lastDueNs;
        pace.takenNs += writtenNs - pace.lastWrittenNs - stalledNs;
    }
    // The time the reader held the record up is taken out of the schedule, as if paused.
    pace.anchorWallNs += stalledNs;
    pace.lastDueNs = dueNs + stalledNs;
    if (writtenNs - pace.lastDueNs > kCatchUpLimitNs) {
        anchor(pace, logNs, writtenNs);
        pace.lastDueNs = writtenNs;
    }
    pace.lastWrittenNs = writtenNs;
    pace.chained = true;
}

double paceKept(const Pace& pace) {
    if (pace.takenNs <= 0) return 1;
    return static_cast<double>(pace.intendedNs) / static_cast<double>(pace.takenNs);
}

double fasterSpeed(double speed) { return std::min(speed * 2, kFastestSpeed); }

double slowerSpeed(double speed) { return std::max(speed / 2, kSlowestSpeed); }
