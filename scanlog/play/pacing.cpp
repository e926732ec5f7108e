#include "pacing.hpp"

#include <algorithm>
#include <cmath>

namespace {

std::int64_t scaled(std::int64_t nanoseconds, double factor) {
    return std::llround(static_cast<double>(nanoseconds) * factor);
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
    return pace.anchorLogNs + scaled(nowNs - pace.anchorWallNs, pace.speed);
}

std::int64_t dueAt(const Pace& pace, std::int64_t logNs) {
    if (pace.paused) return kNoDeadline;
    return pace.anchorWallNs + scaled(logNs - pace.anchorLogNs, 1 / pace.speed);
}

bool isUnwaitedStep(std::int64_t previousLogNs, std::int64_t logNs) {
    return logNs < previousLogNs || logNs - previousLogNs > kLongestWaitNs;
}

void continueAt(Pace& pace, std::int64_t previousLogNs, std::int64_t logNs, std::int64_t gapNs) {
    if (pace.paused) {
        pace.anchorLogNs = logNs - gapNs;
        return;
    }
    anchor(pace, logNs, dueAt(pace, previousLogNs) + scaled(gapNs, 1 / pace.speed));
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
