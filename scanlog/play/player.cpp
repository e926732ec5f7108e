#include "player.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "stream/records.hpp"

namespace {

constexpr double kSecondNs = 1e9;

std::string systemError(int code) { return std::strerror(code); }

// ---- history ------------------------------------------------------------------------------

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool keepLine(History& history, const std::string& line, std::string& error) {
    if (history.keptFd < 0) {
        const char* tmp = std::getenv("TMPDIR");
        const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        history.keptFd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (history.keptFd < 0) {
            error = "scanlog: cannot keep the played records (for stepping back) in " + folder + ": " +
                    systemError(errno);
            return false;
        }
    }
    history.offsets.push_back(history.keptBytes);
    if (!writeAll(history.keptFd, line)) {
        error = "scanlog: cannot keep the played records (for stepping back): " + systemError(errno);
        return false;
    }
    history.keptBytes += line.size();
    return true;
}

bool findKeptLine(const History& history, std::uint64_t number, std::string& line, std::string& error) {
    const std::uint64_t begin = history.offsets[number - 1];
    const std::uint64_t end = number < history.offsets.size() ? history.offsets[number] : history.keptBytes;
    line.resize(end - begin);
    std::size_t have = 0;
    while (have < line.size()) {
        const ssize_t got = pread(history.keptFd, line.data() + have, line.size() - have,
                                  static_cast<off_t>(begin + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = "scanlog: cannot read back the kept record " + std::to_string(number) + ": " +
                    systemError(got < 0 ? errno : EIO);
            return false;
        }
        have += static_cast<std::size_t>(got);
    }
    return true;
}

void closeRereader(History& history) {
    closeScanInput(history.rereader);
    history.rereaderNext = 0;
}

// Reads record `number` of the scan file again with the viewer's reader: on from where it
// stopped when it is the following record (a loop replays the file in order), else from
// the record's offset.
bool rereadScanRecord(History& history, std::uint64_t number, std::string& line, std::string& error) {
    if (history.rereaderNext != number) {
        closeRereader(history);
        const int fd = open(history.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || lseek(fd, static_cast<off_t>(history.offsets[number - 1]), SEEK_SET) < 0) {
            error = "Error reading laser file " + history.sourcePath + ": " + systemError(errno);
            if (fd >= 0) close(fd);
            return false;
        }
        history.rereader = scanInputFromDescriptor(fd, history.sourcePath);
        history.rereaderNext = number;
    }
    ScanRecord record;
    const ReadResult result = readScanRecord(history.rereader, record);
    if (result != ReadResult::record) {
        error = result == ReadResult::failed ? history.rereader.error
                                             : "Error reading laser file " + history.sourcePath + ": record " +
                                                   std::to_string(number) + " is gone (the file was cut short)";
        closeRereader(history);
        return false;
    }
    ++history.rereaderNext;
    char text[32];
    line.clear();
    appendScanLine(std::string_view(text, static_cast<std::size_t>(formatShortest(record.leadingValue, text) - text)),
                   record, line);
    return true;
}

// The line of record `number`, or null (with player.end set) when it can't be found again.
const std::string* lineOf(Player& p, std::uint64_t number) {
    if (number == p.liveNumber) return &p.liveLine;
    const bool found = p.history.sourcePath.empty() ? findKeptLine(p.history, number, p.foundLine, p.error)
                                                    : rereadScanRecord(p.history, number, p.foundLine, p.error);
    if (!found) {
        p.end = PlayEnd::keepFailed;
        return nullptr;
    }
    return &p.foundLine;
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
    bool paced = false;  // by the schedule; otherwise a step, written at once
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

// ---- the real world -----------------------------------------------------------------------

struct RealIo {
    int outFd = -1;
    int keysFd = -1;        // -1: no keys
    int relayFd = -1;       // -1: nothing to relay, or it has ended
    bool outClosed = false;
    bool statusShown = false;
    bool relayMidLine = false;  // the relayed text has not ended its line yet
};

std::int64_t steadyNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void relay(RealIo& io, WaitResult& result) {
    char bytes[4096];
    const ssize_t got = read(io.relayFd, bytes, sizeof bytes);
    if (got <= 0) {
        if (got == 0 || errno != EINTR) io.relayFd = -1;
        return;
    }
    if (io.statusShown) {
        writeAll(STDERR_FILENO, kClearStatus);
        io.statusShown = false;
        result.statusCleared = true;
    }
    writeAll(STDERR_FILENO, std::string_view(bytes, static_cast<std::size_t>(got)));
    io.relayMidLine = bytes[got - 1] != '\n';
}

WaitResult realWait(RealIo& io, std::int64_t deadline, bool wantRoom) {
    WaitResult result;
    if (wantRoom && io.outClosed) {
        result.room = true;  // the write says what is wrong
        return result;
    }
    pollfd fds[4];
    nfds_t count = 0;
    fds[count++] = {signalPipe(), POLLIN, 0};
    const nfds_t keysAt = count;
    if (io.keysFd >= 0) fds[count++] = {io.keysFd, POLLIN, 0};
    const nfds_t outAt = count;
    fds[count++] = {io.outClosed ? -1 : io.outFd, static_cast<short>(wantRoom ? POLLOUT : 0), 0};
    const nfds_t relayAt = count;
    if (io.relayFd >= 0) fds[count++] = {io.relayFd, POLLIN, 0};

    timespec timeout{};
    timespec* limit = nullptr;
    if (deadline != kNoDeadline) {
        const std::int64_t left = std::max<std::int64_t>(0, deadline - steadyNow());
        timeout.tv_sec = static_cast<time_t>(left / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(left % 1'000'000'000);
        limit = &timeout;
    }
    if (ppoll(fds, count, limit, nullptr) <= 0) return result;  // time is up, or a signal (its pipe tells)

    if (fds[0].revents != 0) result.signal = takeCaughtSignal();
    if (io.keysFd >= 0 && fds[keysAt].revents != 0) {
        char bytes[256];
        const ssize_t got = read(io.keysFd, bytes, sizeof bytes);
        if (got > 0) {
            result.keys.assign(bytes, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            io.keysFd = -1;  // the terminal is gone; SIGHUP says the rest
        }
    }
    const short out = fds[outAt].revents;
    if ((out & POLLNVAL) != 0) {
        io.outClosed = true;
        result.room = wantRoom;
    } else if ((out & (POLLERR | POLLHUP)) != 0) {
        result.outputGone = true;
    } else if ((out & POLLOUT) != 0) {
        result.room = wantRoom;
    }
    if (io.relayFd >= 0 && relayAt < count && fds[relayAt].revents != 0) relay(io, result);
    return result;
}

// 0, or the errno of the failure. An output that someone else made non-blocking is waited for.
int writeLine(int fd, std::string_view line) {
    while (!line.empty()) {
        const ssize_t written = write(fd, line.data(), line.size());
        if (written >= 0) {
            line.remove_prefix(static_cast<std::size_t>(written));
        } else if (errno == EAGAIN) {
            pollfd room{fd, POLLOUT, 0};
            poll(&room, 1, -1);
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

PlayerIo realPlayerIo(RealIo& io, bool statusLineOn) {
    PlayerIo playerIo;
    playerIo.now = steadyNow;
    playerIo.wait = [&io](std::int64_t deadline, bool wantRoom) { return realWait(io, deadline, wantRoom); };
    // A line is shorter than PIPE_BUF unless its numbers are extraordinarily long, and the
    // pipe has room for it, so it goes out whole in one write.
    playerIo.write = [&io](std::string_view line) { return writeLine(io.outFd, line); };
    if (statusLineOn) {
        playerIo.showStatus = [&io](const std::string& text) {
            if (io.relayMidLine) return;
            writeAll(STDERR_FILENO, statusLine(text));
            io.statusShown = true;
        };
    }
    return playerIo;
}

void closeHistory(History& history) {
    closeRereader(history);
    if (history.keptFd >= 0) close(history.keptFd);
    history.keptFd = -1;
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", value);
    return text;
}

}  // namespace

Player makePlayer(const PlayOptions& options, const PlayerIo& io, bool holdAtEnd) {
    Player p;
    p.options = options;
    p.io = io;
    p.holdAtEnd = holdAtEnd;
    p.next = options.start;
    p.pace.speed = options.speed;
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
    p.liveLine.clear();
    appendScanLine(scan.leadingText, scan.record, p.liveLine);
    p.liveNumber = scan.number;
    if (!p.history.sourcePath.empty()) {
        p.history.offsets.push_back(scan.offset);
    } else if (!keepLine(p.history, p.liveLine, p.error)) {
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

std::string summaryLine(const Player& p) {
    if (p.written == 0) return "scanlog: played no records";
    std::string line = "scanlog: played " + std::to_string(p.written) + (p.written == 1 ? " record" : " records") +
                       " in " + seconds(static_cast<double>(p.lastWriteNs - p.firstWriteNs) / kSecondNs) + " (" +
                       seconds(static_cast<double>(p.logCoveredNs) / kSecondNs) + " of log)";
    if (p.pace.takenNs > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "; pace kept %.2f%%, latest record %.2f ms late", 100 * paceKept(p.pace),
                      static_cast<double>(p.pace.latestNs) / 1e6);
        line += text;
    }
    if (p.pace.stalledNs > 0) line += "; the reader held records up for " + seconds(static_cast<double>(p.pace.stalledNs) / kSecondNs);
    if (p.unwaitedSteps > 0) {
        line += "; " + std::to_string(p.unwaitedSteps) +
                (p.unwaitedSteps == 1 ? " time step" : " time steps") +
                " backwards or longer than 5 s played without a wait";
    }
    return line;
}

PlayOutcome playLog(const std::string& input, const PlayOptions& options, int outFd, int relayFd, bool holdAtEnd) {
    RealIo io;
    io.outFd = outFd;
    io.relayFd = relayFd;
    const bool signalsCaught = catchSignals();
    const bool keys = signalsCaught && enterRawMode(STDIN_FILENO);
    if (keys) io.keysFd = STDIN_FILENO;
    Player player = makePlayer(options, realPlayerIo(io, keys && isatty(STDERR_FILENO)), holdAtEnd && keys);

    LogSink sink;
    sink.begin = [&player, &input](const LogInfo& info) { startHistory(player, info, input); };
    sink.scan = [&player](const LogScan& scan) {
        setSignalsToLoop(true);
        const bool more = playerTakes(player, scan);
        setSignalsToLoop(false);
        return more;
    };
    std::string error;
    const bool read = readLog(input, options.log, options.timed, sink, error);
    setSignalsToLoop(true);
    playerTakesEnd(player, read ? std::string() : error);
    setSignalsToLoop(false);

    if (io.statusShown) writeAll(STDERR_FILENO, kClearStatus);
    leaveRawMode();
    closeHistory(player.history);
    PlayOutcome outcome;
    outcome.end = player.end;
    outcome.signal = player.signal;
    outcome.writeErrno = player.writeErrno;
    outcome.error = player.error;
    outcome.records = player.known;
    outcome.written = player.written;
    outcome.summary = summaryLine(player);
    return outcome;
}

std::string outcomeMessage(const PlayOutcome& outcome, const std::string& input, const PlayOptions& options,
                           const std::string& output) {
    switch (outcome.end) {
        case PlayEnd::logFailed:
        case PlayEnd::keepFailed: return outcome.error;
        case PlayEnd::writeFailed: return "scanlog: error writing " + output + ": " + systemError(outcome.writeErrno);
        case PlayEnd::startPastEnd:
            return "scanlog: " + input + " has " + std::to_string(outcome.records) +
                   (outcome.records == 1 ? " record" : " records") + "; --start " + std::to_string(options.start) +
                   " is past its end";
        default: return "";
    }
}

std::string findViewer(const std::string& ownFolder, const std::string& searchPath) {
    const auto runnable = [](const std::string& path) {
        struct stat status {};
        return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
    };
    const std::string name = "rangeScanInspector";
    if (!ownFolder.empty() && runnable(ownFolder + "/" + name)) return ownFolder + "/" + name;
    if (searchPath.empty()) return "";
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = searchPath.find(':', start);
        std::string folder = searchPath.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (folder.empty()) folder = ".";  // an empty entry means the current folder
        if (runnable(folder + "/" + name)) return folder + "/" + name;
        if (colon == std::string::npos) return "";
        start = colon + 1;
    }
}
