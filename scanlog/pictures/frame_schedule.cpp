#include "frame_schedule.hpp"

#include <cmath>

FrameSchedule makeFrameSchedule(double framesPerSecond, double speed) {
    FrameSchedule schedule;
    schedule.intervalNs = 1e9 * speed / framesPerSecond;
    return schedule;
}

std::int64_t frameTimeNs(const FrameSchedule& schedule, std::uint64_t frame) {
    // Rounded like the player's own times, so that a record due exactly at a frame's time
    // is on that frame.
    return schedule.firstNs +
           static_cast<std::int64_t>(std::llround(static_cast<long double>(frame) * schedule.intervalNs));
}

bool scheduleRecord(FrameSchedule& s, const FramedRecord& record, const FrameWriter& write) {
    if (!s.started) {
        s.started = true;
        s.firstNs = record.timeNs;
        s.shown = record;
        s.newest = record;
        return true;
    }
    // Frame `next` is not the last one once a record comes after the following frame's
    // time, and it shows what it showed before this record came. Every record before this
    // one is due by the following frame's time, so the newest of them is the next to show.
    while (frameTimeNs(s, s.next + 1) < record.timeNs) {
        if (!write(s.next, s.shown)) return false;
        ++s.next;
        s.shown = s.newest;
    }
    if (record.timeNs <= frameTimeNs(s, s.next)) s.shown = record;
    s.newest = record;
    return true;
}

bool scheduleEnd(FrameSchedule& s, const FrameWriter& write) {
    if (!s.started) return true;
    if (!write(s.next, s.newest)) return false;
    ++s.next;
    return true;
}
