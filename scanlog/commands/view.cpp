// scanlog view: plays a log into rangeScanInspector, started on a pipe of its own.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commands.hpp"
#include "play/find_viewer.hpp"
#include "play/real_play.hpp"

namespace {

// The viewer reads its log from this descriptor, by the name /dev/fd/3: a pipe it inherits
// needs no file anywhere, and nothing is left behind however scanlog ends.
constexpr int kViewerLogFd = 3;

// The folder scanlog was started from, where an installed viewer lives beside it.
std::string ownFolder(const std::string& self) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string exe = length > 0 ? std::string(path, static_cast<std::size_t>(length)) : self;
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash == 0 ? 1 : slash);
}

// A copy of `fd` numbered 10 or above (closed on exec), so that the child's dup2 calls onto
// 0 to 3 never overwrite a descriptor still to be moved.
int movedHigh(int fd) {
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return high;
}

struct Viewer {
    pid_t pid = -1;
    int log = -1;       // where the records go
    int messages = -1;  // the viewer's standard error
};

[[noreturn]] void execViewer(const std::string& program, int echo, int logEnd, int messageEnd) {
    std::signal(SIGPIPE, SIG_DFL);  // ignored here; the viewer expects the usual
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing != STDIN_FILENO) {
        dup2(nothing, STDIN_FILENO);
        close(nothing);
    }
    dup2(echo, STDOUT_FILENO);
    dup2(messageEnd, STDERR_FILENO);
    dup2(logEnd, kViewerLogFd);
    const std::string logName = "/dev/fd/" + std::to_string(kViewerLogFd);
    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(logName.c_str()), nullptr};
    execv(program.c_str(), argv);
    const std::string message = "scanlog: cannot start " + program + ": " + std::strerror(errno) + "\n";
    writeAll(STDERR_FILENO, message);
    _exit(127);
}

bool startViewer(const std::string& program, int echo, Viewer& viewer, std::string& error) {
    int logPipe[2], messagePipe[2];
    if (pipe2(logPipe, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(echo);
        return false;
    }
    if (pipe2(messagePipe, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        close(echo);
        close(logPipe[0]);
        close(logPipe[1]);
        return false;
    }
    const int logEnd = movedHigh(logPipe[0]);
    const int messageEnd = movedHigh(messagePipe[1]);
    const int echoEnd = movedHigh(echo);
    viewer.pid = fork();
    if (viewer.pid == 0) execViewer(program, echoEnd, logEnd, messageEnd);
    const int forkErrno = errno;
    close(logEnd);
    close(messageEnd);
    close(echoEnd);
    if (viewer.pid < 0) {
        error = std::strerror(forkErrno);
        close(logPipe[1]);
        close(messagePipe[0]);
        return false;
    }
    viewer.log = logPipe[1];
    viewer.messages = messagePipe[0];
    return true;
}

// Passes on whatever the viewer still has to say, then its exit status (128 + the signal
// that ended it, as shells report it).
int finishViewer(Viewer& viewer) {
    char bytes[4096];
    for (;;) {
        const ssize_t got = read(viewer.messages, bytes, sizeof bytes);
        if (got > 0) {
            writeAll(STDERR_FILENO, std::string_view(bytes, static_cast<std::size_t>(got)));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(viewer.messages);
    int status = 0;
    while (waitpid(viewer.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int runView(const std::string& input, const PlayOptions& options, const std::string& echoFile, const std::string& self) {
    const std::string folder = ownFolder(self);
    const char* searchPath = std::getenv("PATH");
    const std::string program = findViewer(folder, searchPath != nullptr ? searchPath : "");
    if (program.empty()) {
        std::fprintf(stderr, "scanlog: cannot find rangeScanInspector, neither beside scanlog (in %s) nor on PATH\n",
                     folder.c_str());
        return 1;
    }
    const std::string echoPath = echoFile.empty() ? "/dev/null" : echoFile;
    const int echo = open(echoPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (echo < 0) {
        std::fprintf(stderr, "scanlog: cannot open %s: %s\n", echoPath.c_str(), std::strerror(errno));
        return 1;
    }
    Viewer viewer;
    std::string error;
    if (!startViewer(program, echo, viewer, error)) {
        std::fprintf(stderr, "scanlog: cannot start %s: %s\n", program.c_str(), error.c_str());
        return 1;
    }

    const PlayOutcome outcome = playLog(input, options, viewer.log, viewer.messages, true);
    close(viewer.log);  // the viewer reads to the end and ends by itself
    if (outcome.end == PlayEnd::signal) kill(viewer.pid, SIGTERM);
    const int viewerStatus = finishViewer(viewer);

    const std::string message = outcomeMessage(outcome, input, options, "to the viewer");
    if (outcome.written > 0 || message.empty()) std::fprintf(stderr, "%s\n", outcome.summary.c_str());
    if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    if (outcome.end == PlayEnd::signal) endBySignal(outcome.signal);
    return message.empty() ? viewerStatus : isUsageError(message) ? kUsageStatus : 1;
}
