// The child reads and writes frames into a pipe; the parent reads them back and calls the
// sink. A frame is a 12-byte header (kind as uint32, payload length as uint64) and its payload,
// in this machine's byte order, since both ends are this program. The pipe's own back-pressure
// bounds memory: a child ahead of its parent waits in write().
#include "isolated_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child_frames.hpp"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A number from this process's /proc/self/status ("Threads:", "VmData:" in kB); -1 when
// it is not there.
long statusNumber(const char* name) {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr) return -1;
    char line[256];
    long number = -1;
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0) number = std::strtol(line + length, nullptr, 10);
    }
    std::fclose(status);
    return number;
}

// ---- the child ----------------------------------------------------------------------------

// The parent stopped reading (it wants no more, or it is gone): nothing left to do. _exit, not
// exit: the parent's atexit handlers and stdio buffers are the parent's.
[[noreturn]] void leave() { _exit(0); }

void send(int fd, const std::vector<char>& frame) {
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t wrote = write(fd, frame.data() + done, frame.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            leave();
        }
    }
}

// The child is the parent's helper and ends with it. The terminal's signals (Ctrl-C, Ctrl-Z, a
// hang-up) and a SIGTERM sent to the whole group are the parent's to act on: it then stops
// reading and ends the child. The parent's own handlers (the player restores the terminal in
// them) are reset, so that a crash ends the child with its signal.
void childSignals(pid_t parent) {
    for (int s = 1; s < NSIG; ++s) {
        struct sigaction old {};
        if (s == SIGKILL || s == SIGSTOP || sigaction(s, nullptr, &old) != 0) continue;
        const bool handled = (old.sa_flags & SA_SIGINFO) != 0 || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN);
        if (handled) std::signal(s, SIG_DFL);
    }
    for (const int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE}) std::signal(s, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) leave();  // the parent ended before the line above
}

void closeRange(int first, int last) {
    if (first > last) return;
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) return;
    const long limit = std::min(sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = first; fd <= last && fd < limit; ++fd) close(fd);
}

// Standard input and output become /dev/null, so nothing the library does reaches the
// parent's output; standard error too, so that the parent's line is the only one the user
// sees (a sanitizer build keeps it: its reports are what that build is for). Every other
// descriptor is closed but the pipe and those the reader needs.
void childDescriptors(int pipeEnd, std::vector<int> keep) {
    const int nothing = open("/dev/null", O_RDWR);
    if (nothing >= 0) {
        dup2(nothing, STDIN_FILENO);
        dup2(nothing, STDOUT_FILENO);
        if (!kSanitized) dup2(nothing, STDERR_FILENO);
    }
    keep.push_back(pipeEnd);
    std::sort(keep.begin(), keep.end());
    int next = 3;
    for (const int fd : keep) {
        closeRange(next, fd - 1);
        next = std::max(next, fd + 1);
    }
    closeRange(next, INT32_MAX);
}

// The limit counts from what the child inherits, however much the parent holds.
void childMemory(std::uint64_t allowance) {
    const long inherited = statusNumber("VmData:");
    if (kSanitized || allowance == 0 || inherited < 0) return;
    const rlim_t limit = static_cast<rlim_t>(inherited) * 1024 + allowance;
    const rlimit data{limit, limit};
    setrlimit(RLIMIT_DATA, &data);
}

// noexcept: an exception must never unwind out of here into the parent's code, which the
// child shares; std::terminate ends the child instead, and the parent reports it.
[[noreturn]] void runChild(const ChildReading& how, const ChildRead& read, int pipeEnd, pid_t parent) noexcept {
    childSignals(parent);
    childDescriptors(pipeEnd, how.keepFds);
    childMemory(how.memoryAllowance);
    std::vector<char> frame;
    RawScanSink sink;
    sink.begin = [&frame, pipeEnd](const LogInfo& info) {
        infoFrame(frame, info);
        send(pipeEnd, frame);
    };
    std::string frameId;
    sink.scan = [&frame, &frameId, pipeEnd](const RawScan& scan) {
        if (scan.frameId != frameId) {
            frameId = scan.frameId;
            textFrame(frame, kFrameIdFrame, frameId);
            send(pipeEnd, frame);
        }
        scanFrame(frame, scan);
        send(pipeEnd, frame);
        return true;
    };
    sink.poseTopic = how.poseTopic;
    if (how.poses) {
        sink.pose = [&frame, pipeEnd](const PoseSample& sample) {
            poseFrame(frame, sample);
            send(pipeEnd, frame);
            return true;
        };
    }
    std::string error;
    if (read(sink, error)) {
        startFrame(frame, kDoneFrame, 0);
    } else {
        textFrame(frame, kErrorFrame, error);
    }
    send(pipeEnd, frame);
    _exit(0);
}

// ---- the parent ---------------------------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int from = -1;  // the pipe's reading end
};

// A copy of `fd` numbered 3 or above: the child turns 0, 1 and 2 into /dev/null.
int aboveStandard(int fd) {
    if (fd > STDERR_FILENO) return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int failure = errno;
    close(fd);
    errno = failure;
    return high;
}

bool startChild(const ChildReading& how, const ChildRead& read, Child& child, std::string& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = how.path + ": cannot make a pipe to read it through: " + std::strerror(errno);
        return false;
    }
    const int from = aboveStandard(ends[0]), to = aboveStandard(ends[1]);
    if (from < 0 || to < 0) {
        error = how.path + ": cannot make a pipe to read it through: " + std::strerror(errno);
        if (from >= 0) close(from);
        if (to >= 0) close(to);
        return false;
    }
    // Room for many scans, so that the two processes run side by side rather than in turns.
    fcntl(to, F_SETPIPE_SZ, 1 << 20);
    const pid_t parent = getpid();
    child.pid = fork();
    if (child.pid == 0) {
        close(from);
        runChild(how, read, to, parent);
    }
    const int forkErrno = errno;
    close(to);
    if (child.pid < 0) {
        close(from);
        error = how.path + ": cannot start a process to read it: " + std::strerror(forkErrno);
        return false;
    }
    child.from = from;
    return true;
}

// What has come through the pipe and not been used yet: bytes [start, end) of `bytes`.
struct Incoming {
    std::vector<char> bytes = std::vector<char>(1 << 20);
    std::size_t start = 0, end = 0;
};

// Reads until `size` bytes are waiting; false when the pipe ends first. The buffer grows to
// the largest frame, one scan.
bool await(int fd, Incoming& in, std::size_t size) {
    while (in.end - in.start < size) {
        if (in.start + size > in.bytes.size()) {
            std::memmove(in.bytes.data(), in.bytes.data() + in.start, in.end - in.start);
            in.end -= in.start;
            in.start = 0;
            if (size > in.bytes.size()) in.bytes.resize(size);
        }
        const ssize_t got = read(fd, in.bytes.data() + in.end, in.bytes.size() - in.end);
        if (got > 0) {
            in.end += static_cast<std::size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

int reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

std::string howItEnded(int status) {
    if (status == -1) return "its exit status is unknown";
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return name != nullptr ? name : "signal " + std::to_string(WTERMSIG(status));
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// How the relay ended: `reading` only while it goes on.
enum class Ending { reading, done, failed, stopped, cut, garbled };

struct Relay {
    const RawScanSink& sink;
    std::string& error;
    bool begun = false;
    std::uint64_t scanCount = 0;
    std::uint64_t scans = 0;  // handed to the sink
    RawScan scan;             // keeps the frame id last sent
    PoseSample pose;
};

// Hands one frame's content to the sink.
Ending relayFrame(Relay& r, std::uint32_t kind, const char* payload, std::uint64_t length) {
    if (kind == kDoneFrame) return Ending::done;
    if (kind == kErrorFrame) {
        r.error.assign(payload, length);
        return Ending::failed;
    }
    if (kind == kInfoFrame) {
        LogInfo info;
        if (!readInfo(payload, length, info)) return Ending::garbled;
        r.begun = true;
        r.scanCount = info.scanCount;
        if (r.sink.begin) r.sink.begin(info);
        return Ending::reading;
    }
    if (kind == kFrameIdFrame) {
        r.scan.frameId.assign(payload, length);
        return Ending::reading;
    }
    if (kind == kPoseFrame) {
        if (!r.sink.pose || !readPose(payload, length, r.pose)) return Ending::garbled;
        return r.sink.pose(r.pose) ? Ending::reading : Ending::stopped;
    }
    if (kind != kScanFrame || !readScan(payload, length, r.scan)) return Ending::garbled;
    ++r.scans;
    return r.sink.scan(r.scan) ? Ending::reading : Ending::stopped;
}

Ending relay(int fd, Relay& r) {
    Incoming in;
    for (;;) {
        if (!await(fd, in, kHeaderSize)) return Ending::cut;
        std::uint32_t kind = 0;
        std::uint64_t length = 0;
        std::memcpy(&kind, in.bytes.data() + in.start, 4);
        std::memcpy(&length, in.bytes.data() + in.start + 4, 8);
        if (length > (std::uint64_t{1} << 40)) return Ending::garbled;
        if (!await(fd, in, kHeaderSize + length)) return Ending::cut;
        const char* payload = in.bytes.data() + in.start + kHeaderSize;
        in.start += kHeaderSize + length;
        const Ending ending = relayFrame(r, kind, payload, length);
        if (ending != Ending::reading) return ending;
    }
}

}  // namespace

int openForChild(const std::string& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? fd : aboveStandard(fd);
}

bool canReadInChild() { return statusNumber("Threads:") == 1; }

bool readInChild(const ChildReading& how, const ChildRead& read, const RawScanSink& sink, std::string& error) {
    Child child;
    if (!startChild(how, read, child, error)) return false;
    Relay r{sink, error, false, 0, 0, {}, {}};
    const Ending ending = relay(child.from, r);
    // A child that has said its last word or closed the pipe by dying ends by itself.
    if (ending == Ending::stopped || ending == Ending::garbled) kill(child.pid, SIGKILL);
    close(child.from);
    const int status = reap(child.pid);
    if (ending == Ending::done || ending == Ending::stopped) return true;
    if (ending == Ending::failed) return false;
    const std::string place = r.begun && r.scans < r.scanCount ? ": message " + std::to_string(r.scans + 1) : "";
    const std::string why = ending == Ending::garbled ? "its report was garbled" : howItEnded(status);
    error = how.path + place + ": " + how.crashText + " (" + why + ")";
    return false;
}
