#include "real_play.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "history.hpp"
#include "signals.hpp"
#include "summary.hpp"

namespace {

std::string systemError(int code) { return std::strerror(code); }

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

// The status line cut to the terminal's width: a line that wraps would leave its first row
// behind at every redraw.
std::string fittedToTerminal(const std::string& text) {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col < 2) return text;
    return text.substr(0, static_cast<std::size_t>(size.ws_col) - 1);
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
            writeAll(STDERR_FILENO, statusLine(fittedToTerminal(text)));
            io.statusShown = true;
        };
    }
    return playerIo;
}

}  // namespace

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
    const bool read = readPictureLog(input, options.log, options.picture, options.start, options.timed, sink, error);
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
