// Which record each frame of a video shows: frame i shows the latest record whose time is at
// most the first record's time plus i frame intervals (an interval is `speed` / fps seconds
// of log time), and the last frame shows the last record, so that a log of D seconds makes a
// video of D / speed seconds, within one frame.
//
// Records come one at a time and frames are settled as soon as the records say what they
// show, so a log of any length needs only the record on screen and the newest one.
#pragma once

#include <cstdint>
#include <functional>

#include "scan_reader.hpp"

// A record as a frame shows it: its readings, its number in the log and its time.
struct FramedRecord {
    ScanRecord record;
    std::uint64_t number = 0;
    std::int64_t timeNs = 0;  // log time as the video runs through it
    std::int64_t logNs = 0;   // log time since the log's first record, as the log tells it
    double zoom = 1;          // what the record's readings were multiplied by
};

struct FrameSchedule {
    double intervalNs = 0;      // log time from one frame to the next
    std::int64_t firstNs = 0;   // the first record's time: frame 0's
    bool started = false;
    std::uint64_t next = 0;     // the first frame not yet settled
    FramedRecord shown;         // what frame `next` shows, as far as the records so far tell
    FramedRecord newest;        // the last record taken
};

// `write` is handed each settled frame's number (from 0) and record; false stops the
// schedule (a write failed).
using FrameWriter = std::function<bool(std::uint64_t frame, const FramedRecord& record)>;

FrameSchedule makeFrameSchedule(double framesPerSecond, double speed);

// The log time at which frame `frame` begins.
std::int64_t frameTimeNs(const FrameSchedule& schedule, std::uint64_t frame);

// Takes the next record (times never go backwards) and writes every frame it settles.
bool scheduleRecord(FrameSchedule& schedule, const FramedRecord& record, const FrameWriter& write);

// The log has ended: writes the last frame, which shows the last record. Nothing when no
// record came.
bool scheduleEnd(FrameSchedule& schedule, const FrameWriter& write);
