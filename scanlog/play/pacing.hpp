// When each record of a played log is due, as pure functions of the log's times and of a
// wall clock that the caller reads (the tests drive it with a clock of their own).
//
// The schedule is a log clock: it shows log time, running at `speed` times the wall clock
// while playing and standing still while paused, and a record is due when the clock reaches
// its time. Every due time is worked out from one anchor (a wall time and the log time the
// clock showed then), never by sleeping after each record, so waits do not add up: 750
// records at 75 Hz take 10 s however long each write took. The anchor moves when the user
// asks for it (speed, pause, steps) and by the time the output's reader kept a record
// waiting (its pipe was full), so that the records after a stall keep their pace instead of
// rushing out to catch up. Lateness of the player's own (a busy machine) is caught up by the
// schedule, unless it grows so long that catching up would be a rush.
#pragma once

#include <cstdint>
#include <limits>

constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();
// A step between two records' times longer than this, or backwards, is played without a
// wait: a log that was paused or whose clock was reset is not replayed as a long blank.
constexpr std::int64_t kLongestWaitNs = 5'000'000'000;
// A wait for room in the output shorter than this is the player's own time, not a stall.
constexpr std::int64_t kShortestStallNs = 1'000'000;
// Lateness of the player's own beyond this is not caught up: the anchor moves to the record.
constexpr std::int64_t kCatchUpLimitNs = 500'000'000;
constexpr double kSlowestSpeed = 0.1;
constexpr double kFastestSpeed = 100;

struct Pace {
    double speed = 1;
    bool paused = false;
    std::int64_t anchorWallNs = 0;  // the wall time at which the log clock showed anchorLogNs
    std::int64_t anchorLogNs = 0;   // while paused: the log time the clock stands at

    // For the summary. A chain is a run of records written by the schedule with nothing but
    // stalls moving the anchor in between; only its intervals say whether the pace was kept.
    // The time a stalled reader took is the reader's, and counted apart.
    std::int64_t latestNs = 0;         // the player's largest lateness with a record, stalls aside
    std::int64_t intendedNs = 0;       // chained intervals as the schedule wanted them
    std::int64_t takenNs = 0;          // the same intervals as they were written, stalls aside
    std::int64_t stalledNs = 0;        // all the time records waited for room in the output
    bool chained = false;
    std::int64_t lastDueNs = 0;        // the last scheduled record's due time, as the anchor moved
    std::int64_t lastWrittenNs = 0;
};

// A schedule whose clock shows `logNs` at `nowNs`, playing.
Pace startPace(double speed, std::int64_t logNs, std::int64_t nowNs);

// The log time the clock shows at `nowNs`.
std::int64_t logClock(const Pace& pace, std::int64_t nowNs);

// The wall time at which the clock reaches `logNs`; kNoDeadline while paused.
std::int64_t dueAt(const Pace& pace, std::int64_t logNs);

// Whether the step from one record's time to the next is played without a wait.
bool isUnwaitedStep(std::int64_t previousLogNs, std::int64_t logNs);

// The log goes on from the record at `previousLogNs` to one at `logNs` (not its usual
// successor: the first record again after a loop, or a time that jumps) after `gapNs` of log
// time: the new record is due gapNs / speed after the previous one was.
void continueAt(Pace& pace, std::int64_t previousLogNs, std::int64_t logNs, std::int64_t gapNs);

// The user's controls. `nextLogNs` is the time of the next record to be played: the clock is
// never left past it, so that no record is overdue the moment play goes on.
void changeSpeed(Pace& pace, double speed, std::int64_t nowNs, std::int64_t nextLogNs);
void pausePace(Pace& pace, std::int64_t nowNs, std::int64_t nextLogNs);
void resumePace(Pace& pace, std::int64_t nowNs);
// A record was written by a key (a step): the clock now shows its time.
void showRecordAt(Pace& pace, std::int64_t logNs, std::int64_t nowNs);

// A record due at `dueNs` by the schedule went out at `writtenNs`, `stalledNs` of that spent
// waiting for room in the output.
void notePacedWrite(Pace& pace, std::int64_t logNs, std::int64_t dueNs, std::int64_t writtenNs, std::int64_t stalledNs);

// Chained intervals as wanted over as taken: 1 when the pace was kept exactly, and 1 when
// there was nothing to judge by.
double paceKept(const Pace& pace);

// Speed keys: twice and half as fast, within kSlowestSpeed..kFastestSpeed.
double fasterSpeed(double speed);
double slowerSpeed(double speed);
