#include "player.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "stream/records.hpp"

namespace {

constexpr double kSecondNs = 1e9;

// Record `number` as kept, or null (with player.end set) when it can't be found again.
const KeptRecord* keptRecordOf(Player& p, std::uint64_t number) {
    if (number == p.liveNumber) return &p.live;
    const bool found = p.history.sourcePath.empty() ? findKeptRecord(p.history, number, p.found, p.error)
                                                    : rereadScanRecord(p.history, number, p.found, p.error);
    if (!found) {
        p.end = PlayEnd::keepFailed;
        return nullptr;
    }
    return &p.found;
}

// The line of record `number` at the present zoom, or null as for keptRecordOf.
const std::string* lineOf(Player& p, std::uint64_t number) {
    const KeptRecord* kept = keptRecordOf(p, number);
    if (kept == nullptr) return nullptr;
    ScanRecord record;
    prepareRecord(kept->record, p.scanFile, p.options.picture, p.zoom, record);
    p.line.clear();
    appendScanLine(kept->leadingText, record, p.line);
    return &p.line;
}

// ---- times --------------------------------------------------------------------------------

std::int64_t logTimeOf(const Player& p, std::uint64_t number) { return p.history.logTimes[number - 1]; }

std::int64_t nextLogTime(const Player& p) { return p.next <= p.known ? logTimeOf(p, p.next) : kNoDeadline; }

std::int64_t rateTime(const Player& p, std::uint64_t number) {
    return std::llround(static_cast<double>(number - 1) * kSecondNs / p.options.rate);
}

// How long after the last record the first comes again in a loop: the log's own mean step.
std::int64_t loopGap(const Player& p) {
    const std::int64_t period = std::llround(kSecondNs / p.options.rate);
    if (!p.timed || p.known < 2) return period;
    const std::int64_t mean = (logTimeOf(p, p.known) - logTimeOf(p, 1)) / static_cast<std::int64_t>(p.known - 1);
    return mean > 0 ? mean : period;
}

// ---- the loop -----------------------------------------------------------------------------

enum class Want { nothing, moreRecords, record };

struct Target {
    Want want = Want::nothing;
    std::uint64_t number = 0;
    bool paced = false;   // by the schedule; otherwise a step, written at once
    bool redraw = false;  // the shown record again, at a new zoom
};

void ensurePace(Player& p, std::int64_t logNs, std::int64_t nowNs) {
    if (p.paceStarted) return;
    const bool paused = p.pace.paused;
    p.pace = startPace(p.pace.speed, logNs, nowNs);
    p.pace.paused = paused;
    p.paceStarted = true;
}

void pauseIfPlaying(Player& p, std::int64_t nowNs) {
    if (p.state != PlayState::playing) return;
    p.state = PlayState::paused;
    pausePace(p.pace, nowNs, nextLogTime(p));
}

void applyKey(Player& p, Key key, std::int64_t nowNs) {
    switch (key) {
        case Key::pauseOrResume:
            if (p.state == PlayState::playing) {
                pauseIfPlaying(p, nowNs);
            } else {
                p.state = PlayState::playing;
                resumePace(p.pace, nowNs);
            }
            break;
        case Key::stepForward:
        case Key::stepBack:
            pauseIfPlaying(p, nowNs);
            p.stepPending = true;
            p.stepBackwards = key == Key::stepBack;
            break;
        case Key::faster: changeSpeed(p.pace, fasterSpeed(p.pace.speed), nowNs, nextLogTime(p)); break;
        case Key::slower: changeSpeed(p.pace, slowerSpeed(p.pace.speed), nowNs, nextLogTime(p)); break;
        case Key::zoomIn:
        case Key::zoomOut: {
            const double zoom = key == Key::zoomIn ? p.zoom * 2 : p.zoom / 2;
            if (zoom < kSmallestZoom || zoom > kLargestZoom) break;
            p.zoom = zoom;
            p.zoomChosen = true;
            // Playing, the next record shows it; otherwise the picture would wait for a key.
            if (p.state != PlayState::playing && p.shown > 0) p.redrawPending = true;
            break;
        }
        case Key::quit: p.end = PlayEnd::quit; break;
    }
}

bool canLoop(const Player& p) { return p.options.loop && p.known >= p.options.start; }

Target chooseStep(Player& p) {
    if (p.stepBackwards) {
        if (p.shown > 1) return {Want::record, p.shown - 1, false};
    } else if (p.next <= p.known) {
        return {Want::record, p.next, false};
    } else if (!p.logEnded) {
        return {Want::moreRecords};
    } else if (canLoop(p)) {
        p.next = p.options.start;
        return {Want::record, p.next, false};
    }
    p.stepPending = false;  // nothing there to step to
    return {};
}

Target chooseTarget(Player& p, std::int64_t nowNs) {
    if (p.stepPending) return chooseStep(p);
    if (p.redrawPending) return {Want::record, p.shown, false, true};
    if (p.state != PlayState::playing) return {};
    if (p.next <= p.known) return {Want::record, p.next, true};
    if (!p.logEnded) return {Want::moreRecords};
    if (p.known == 0) {
        p.end = PlayEnd::endOfLog;  // nothing to play, and nothing wrong with that
    } else if (p.known < p.options.start) {
        p.end = PlayEnd::startPastEnd;
    } else if (canLoop(p)) {
        p.next = p.options.start;
        p.wrapping = true;
        p.nextPrepared = false;
        return {Want::record, p.next, true};
    } else if (p.holdAtEnd) {
        pauseIfPlaying(p, nowNs);
        p.state = PlayState::atEnd;
    } else {
        p.end = PlayEnd::endOfLog;
    }
    return {};
}

// Tells the schedule how the next record follows the one shown: the first of all, the first
// again after a loop, or a time that goes backwards or jumps, which is played without a wait.
void prepareNext(Player& p, std::int64_t nowNs) {
    if (p.nextPrepared) return;
    p.nextPrepared = true;
    const std::int64_t logNs = logTimeOf(p, p.next);
    if (!p.paceStarted || p.shown == 0) {
        ensurePace(p, logNs, nowNs);
    } else if (p.wrapping) {
        continueAt(p.pace, logTimeOf(p, p.shown), logNs, loopGap(p));
    } else if (p.timed && p.next == p.shown + 1 && isUnwaitedStep(logTimeOf(p, p.shown), logNs)) {
        continueAt(p.pace, logTimeOf(p, p.shown), logNs, 0);
        ++p.unwaitedSteps;
    }
    p.wrapping = false;
}

void noteWritten(Player& p, std::uint64_t number, std::int64_t nowNs) {
    if (p.written == 0) p.firstWriteNs = nowNs;
    ++p.written;
    p.lastWriteNs = nowNs;
    if (p.shown > 0 && number == p.shown + 1) {
        const std::int64_t step = logTimeOf(p, number) - logTimeOf(p, p.shown);
        if (!isUnwaitedStep(0, step)) p.logCoveredNs += step;
    }
    p.shown = number;
    p.next = number + 1;
    p.nextPrepared = false;
    p.wrapping = false;
}

void writeRecord(Player& p, const Target& target, std::int64_t dueNs) {
    const std::string* line = lineOf(p, target.number);
    if (line == nullptr) return;
    std::int64_t stalledNs = p.io.now() - p.roomAskedAt;
    if (stalledNs < kShortestStallNs) stalledNs = 0;
    p.roomAskedFor = 0;
    const int failure = p.io.write(*line);
    const std::int64_t nowNs = p.io.now();
    if (failure != 0) {
        p.end = failure == EPIPE ? PlayEnd::readerGone : PlayEnd::writeFailed;
        p.writeErrno = failure;
        return;
    }
    if (target.redraw) {
        p.redrawPending = false;  // the same record: nothing played, nothing moves on
        return;
    }
    const std::int64_t logNs = logTimeOf(p, target.number);
    if (target.paced) {
        notePacedWrite(p.pace, logNs, dueNs, nowNs, stalledNs);
    } else {
        ensurePace(p, logNs, nowNs);
        showRecordAt(p.pace, logNs, nowNs);
        p.stepPending = false;
        if (p.state == PlayState::atEnd) p.state = PlayState::paused;
    }
    noteWritten(p, target.number, nowNs);
}

StatusView statusView(const Player& p) {
    StatusView view;
    view.state = p.state == PlayState::playing ? "playing" : p.state == PlayState::paused ? "paused" : "end of log";
    view.record = p.shown;
    view.total = p.total != 0 ? p.total : p.logEnded ? p.known : 0;
    if (p.shown > 0) view.logSeconds = static_cast<double>(logTimeOf(p, p.shown) - logTimeOf(p, 1)) / kSecondNs;
    view.speed = p.pace.speed;
    view.heldAtEnd = p.state == PlayState::atEnd;
    view.zoom = p.zoom;
    return view;
}

// Draws the status line if it changed and may be drawn again; returns when it wants to be
// drawn next (kNoDeadline: only once something changes).
std::int64_t refreshStatus(Player& p, std::int64_t nowNs) {
    if (!p.io.showStatus) return kNoDeadline;
    const std::string text = statusText(statusView(p));
    if (text == p.statusDrawn) return kNoDeadline;
    if (!p.statusDrawn.empty() && nowNs - p.statusDrawnAt < kStatusIntervalNs) {
        return p.statusDrawnAt + kStatusIntervalNs;
    }
    p.io.showStatus(text);
    p.statusDrawn = text;
    p.statusDrawnAt = nowNs;
    return kNoDeadline;
}

void takeWaitResult(Player& p, const WaitResult& result) {
    if (!result.keys.empty()) {
        std::vector<Key> keys;
        decodeKeys(p.decoder, result.keys, keys);
        p.keys.insert(p.keys.end(), keys.begin(), keys.end());
    }
    if (result.statusCleared) p.statusDrawn.clear();
    if (result.outputGone) p.end = PlayEnd::readerGone;
    if (result.signal != 0) {
        p.end = PlayEnd::signal;
        p.signal = result.signal;
    }
}

// Plays until the player wants the log's next record (true) or has finished (false).
bool runPlayer(Player& p) {
    for (;;) {
        if (p.end != PlayEnd::none) return false;
        const std::int64_t nowNs = p.io.now();
        if (!p.stepPending && !p.keys.empty()) {
            const Key key = p.keys.front();
            p.keys.pop_front();
            applyKey(p, key, nowNs);
            continue;
        }
        const Target target = chooseTarget(p, nowNs);
        if (p.end != PlayEnd::none) return false;
        if (target.want == Want::moreRecords) return true;
        if (target.want == Want::nothing && !p.stepPending && !p.keys.empty()) continue;
        std::int64_t dueNs = kNoDeadline;
        if (target.want == Want::record) {
            if (target.paced) prepareNext(p, nowNs);
            dueNs = target.paced ? dueAt(p.pace, logTimeOf(p, target.number)) : nowNs;
        }
        const bool wantRoom = dueNs <= nowNs;
        if (!wantRoom) {
            p.roomAskedFor = 0;
        } else if (p.roomAskedFor != target.number) {
            p.roomAskedFor = target.number;
            p.roomAskedAt = nowNs;
        }
        const std::int64_t statusDue = refreshStatus(p, nowNs);
        const WaitResult result = p.io.wait(wantRoom ? statusDue : std::min(dueNs, statusDue), wantRoom);
        takeWaitResult(p, result);
        // A step waiting for a reader that does not read would hold q up behind it.
        const bool stuck = wantRoom && !result.room && p.stepPending;
        if (stuck && std::find(p.keys.begin(), p.keys.end(), Key::quit) != p.keys.end()) p.end = PlayEnd::quit;
        if (p.end == PlayEnd::none && wantRoom && result.room) writeRecord(p, target, dueNs);
    }
}

}  // namespace

Player makePlayer(const PlayOptions& options, const PlayerIo& io, bool holdAtEnd) {
    Player p;
    p.options = options;
    p.io = io;
    p.holdAtEnd = holdAtEnd;
    p.next = options.start;
    p.pace.speed = options.speed;
    p.zoom = options.picture.zoom;
    return p;
}

void startHistory(Player& p, const LogInfo& info, const std::string& path) {
    p.total = info.scanCount;
    if (info.format == "scan file" && !info.compressed && isRegularFile(path)) p.history.sourcePath = path;
}

bool playerTakes(Player& p, const LogScan& scan) {
    if (p.end != PlayEnd::none) return false;
    if (p.known == 0) p.timed = scan.timed;
    p.history.logTimes.push_back(p.timed ? scan.stampNs : rateTime(p, scan.number));
    if (!p.zoomChosen && scan.number >= p.options.start) {
        p.zoom = scan.zoom;
        p.zoomChosen = true;
    }
    p.scanFile = scan.scanFile;
    p.live.leadingText = scan.leadingText;
    p.live.record = scan.record;
    p.liveNumber = scan.number;
    if (!p.history.sourcePath.empty()) {
        p.history.offsets.push_back(scan.offset);
    } else if (!keepRecord(p.history, p.live, p.error)) {
        p.end = PlayEnd::keepFailed;
        return false;
    }
    p.known = scan.number;
    return runPlayer(p);
}

void playerTakesEnd(Player& p, const std::string& error) {
    p.logEnded = true;
    if (p.end != PlayEnd::none) return;
    if (error.empty()) {
        runPlayer(p);
        return;
    }
    // What was read before the damage is played, and then the damage ends the play.
    p.options.loop = false;
    p.holdAtEnd = false;
    if (p.known >= p.options.start) runPlayer(p);
    if (p.end == PlayEnd::none || p.end == PlayEnd::endOfLog || p.end == PlayEnd::quit ||
        p.end == PlayEnd::startPastEnd) {
        p.end = PlayEnd::logFailed;
        p.error = error;
    }
}
