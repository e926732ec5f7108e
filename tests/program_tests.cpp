// The built program as a user runs it: command line, messages, exit status, transcript and
// window. Runs on a private virtual display (see with_virtual_display.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"
#include "test_support.hpp"
#include "window_support.hpp"

#include <X11/Xlib.h>  // last: its macros clash with the headers above

namespace {

using namespace std::chrono_literals;

// Room for the arguments a test adds, made up front: GCC 14 warns, wrongly, that adding to a
// vector made with one string writes past it.
std::vector<std::string> programArguments() {
    std::vector<std::string> argv;
    argv.reserve(4);
    argv.push_back(PROGRAM_PATH);
    return argv;
}

struct Launch {
    std::vector<std::string> argv = programArguments();
    std::vector<std::string> environment;  // "NAME=value" is set, "NAME" removed
    std::vector<int> closedDescriptors;
    std::string standardOutputFile;  // empty: captured
    int outputPipeSize = 0;          // 0: the system's default
};

const std::vector<std::string> kWithoutDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

struct Running {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

struct Finished {
    int status = -1;  // exit status, or -signal
    std::string out;
    std::string err;
};

Running start(const Launch& launch) {
    int out[2], err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (launch.outputPipeSize > 0) {
        EXPECT_GE(fcntl(out[1], F_SETPIPE_SZ, launch.outputPipeSize), 0);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        if (!launch.standardOutputFile.empty()) {
            const int fd = open(launch.standardOutputFile.c_str(), O_WRONLY);
            dup2(fd, STDOUT_FILENO);
        } else {
            dup2(out[1], STDOUT_FILENO);
        }
        for (int fd : launch.closedDescriptors) close(fd);
        for (const std::string& e : launch.environment) {
            e.find('=') == std::string::npos ? unsetenv(e.c_str()) : putenv(const_cast<char*>(e.c_str()));
        }
        signal(SIGPIPE, SIG_DFL);  // a test that feeds a pipe ignores it
        std::vector<char*> argv;
        for (const std::string& a : launch.argv) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execve(PROGRAM_PATH, argv.data(), environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

// Reads from the program's output pipes until `done` says enough or the pipes close.
template <typename Done>
void collect(Running& running, Finished& finished, Done done, std::chrono::seconds limit = 30s) {
    const bool inTime = drainPipes(running.out, running.err, finished.out, finished.err, [&] { return done(finished); },
                                   std::chrono::steady_clock::now() + limit);
    ASSERT_TRUE(inTime) << "the program stopped answering";
}

void waitForExit(Running& running, Finished& finished) {
    collect(running, finished, [](const Finished&) { return false; });
    if (running.out >= 0 || running.err >= 0) kill(running.pid, SIGKILL);  // it hung: collect failed the test
    int status = 0;
    waitpid(running.pid, &status, 0);
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

Finished run(const Launch& launch) {
    Running running = start(launch);
    Finished finished;
    waitForExit(running, finished);
    return finished;
}

Finished runOn(const std::string& path) {
    Launch launch;
    launch.argv.push_back(path);
    return run(launch);
}


std::vector<double> twoRecords() {
    std::vector<double> numbers = sampleRecord(1, 412.5);
    const std::vector<double> second = sampleRecord(0.013333, 7.25e6);
    numbers.insert(numbers.end(), second.begin(), second.end());
    return numbers;
}

std::string logText(const std::vector<double>& numbers) {
    std::ostringstream text;
    text.precision(17);
    for (std::size_t i = 0; i < numbers.size(); ++i) text << numbers[i] << ((i + 1) % kNumbersPerRecord ? ' ' : '\n');
    return text.str();
}

const std::string kBanner = "Starting feature extractor\n";

TEST(CommandLine, WrongArgumentCountsPrintUsage) {
    struct Case {
        std::vector<std::string> argv;
        std::string usage;
    };
    const Case cases[] = {
        {{"./some/dir/rsi"}, "USAGE: ./some/dir/rsi <laserFile>\n"},
        {{PROGRAM_PATH, "a.scans", "b.scans"}, std::string("USAGE: ") + PROGRAM_PATH + " <laserFile>\n"},
        {{}, "USAGE: rangeScanInspector <laserFile>\n"},  // an empty argument vector
    };
    for (const Case& c : cases) {
        Launch launch;
        launch.argv = c.argv;
        const Finished finished = run(launch);
        EXPECT_EQ(finished.status, 1);
        EXPECT_EQ(finished.out, c.usage);
        EXPECT_EQ(finished.err, "");
    }
}

TEST(CommandLine, FilesThatCannotBeOpenedAreReported) {
    TempDir dir;
    const std::string unreadable = dir.file("locked.scans", "1 2 3");
    chmod(unreadable.c_str(), 0);
    std::vector<std::string> names = {dir.path + "/missing.scans", ""};
    if (geteuid() != 0) names.push_back(unreadable);  // root reads anything
    for (const std::string& name : names) {
        const Finished finished = runOn(name);
        EXPECT_EQ(finished.status, 1);
        EXPECT_EQ(finished.out, "");
        EXPECT_EQ(finished.err, "Error opening laser file " + name + ". Please ensure file exists\n");
    }
}

TEST(Transcript, EchoesEveryRecordOnceAndEndsWithStatusZero) {
    TempDir dir;
    const std::vector<double> numbers = twoRecords();
    struct Case {
        const char* name;
        std::string text;
        std::string out;
    };
    const Case cases[] = {
        {"final line end", logText(numbers), kBanner + streamEcho(numbers)},
        {"no final line end", logText(numbers).substr(0, logText(numbers).size() - 1), kBanner + streamEcho(numbers)},
        {"empty", "", kBanner},
        {"whitespace only", " \n\t\r\n", kBanner},
    };
    for (const Case& c : cases) {
        const Finished finished = runOn(dir.file("log.scans", c.text));
        EXPECT_EQ(finished.status, 0) << c.name << ": " << finished.err;
        EXPECT_EQ(finished.out, c.out) << c.name;
        EXPECT_EQ(finished.err, "") << c.name;
    }
}

TEST(Transcript, DamagedLogsEndWithAMessageAndStatusOne) {
    TempDir dir;
    const std::vector<double> numbers = twoRecords();
    const std::vector<double> first(numbers.begin(), numbers.begin() + kNumbersPerRecord);
    const std::string firstText = logText(first);
    struct Case {
        const char* name;
        std::string text;  // empty: the folder itself
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"cut short", firstText + "5 6\n", kBanner + streamEcho(first), "record 2 ends after 2 of 362 numbers"},
        {"bad number", firstText + "\n\n5 x12", kBanner + streamEcho(first), "bad number \"x12\" at line 4 (record 2)"},
        {"a folder", "", kBanner, "Is a directory"},
    };
    for (const Case& c : cases) {
        const std::string path = c.text.empty() ? dir.path : dir.file("log.scans", c.text);
        const Finished finished = runOn(path);
        EXPECT_EQ(finished.status, 1) << c.name;
        EXPECT_EQ(finished.out, c.out) << c.name;
        EXPECT_EQ(finished.err, "Error reading laser file " + path + ": " + c.err + "\n") << c.name;
    }
}

TEST(Transcript, LostStandardOutputIsAFailure) {
    TempDir dir;
    const std::string log = dir.file("log.scans", logText(twoRecords()));
    struct Case {
        const char* name;
        bool close;
        std::string file;
        std::string reason;
    };
    const Case cases[] = {
        {"closed", true, "", "Bad file descriptor"},
        {"full disk", false, "/dev/full", "No space left on device"},
    };
    for (const Case& c : cases) {
        Launch launch;
        launch.argv.push_back(log);
        if (c.close) launch.closedDescriptors = {STDOUT_FILENO};
        launch.standardOutputFile = c.file;
        const Finished finished = run(launch);
        EXPECT_EQ(finished.status, 1) << c.name;
        EXPECT_EQ(finished.err, "Error writing standard output: " + c.reason + "\n") << c.name;
    }
}

TEST(Window, WithoutADisplayTheProgramSaysSoInsteadOfAborting) {
    TempDir dir;
    const std::vector<double> numbers = twoRecords();
    const std::vector<double> first(numbers.begin(), numbers.begin() + kNumbersPerRecord);
    // Whatever platform Qt is asked for; eglfs and linuxfb are pointed at devices that don't
    // exist, as a developer's machine may have a GPU or a framebuffer they would start on.
    const std::string kms = "QT_QPA_EGLFS_KMS_CONFIG=" + dir.file("kms.json", R"({"device": "/nonexistent/card0"})");
    for (const char* platform : {"", "xcb", "XCB", "wayland", "wayland;xcb", "eglfs", "linuxfb:fb=/none/fb0", "wayland-eglx"}) {
        Launch launch;
        launch.argv.push_back(dir.file("log.scans", logText(numbers)));
        launch.environment = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=" + std::string(platform), kms};
        const Finished finished = run(launch);
        EXPECT_EQ(finished.status, 1) << platform;
        EXPECT_EQ(finished.out, kBanner + streamEcho(first)) << platform;
        EXPECT_EQ(finished.err, "Error opening display. Please ensure a graphical display is available\n") << platform;
    }

    // A log without records never needs the display.
    Launch launch;
    launch.argv.push_back(dir.file("empty.scans", "\n"));
    launch.environment = kWithoutDisplay;
    const Finished empty = run(launch);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.err, "");
}

// ---- the real window, fed through a named pipe that stays open --------------------------

cv::Mat pictureOf(const std::vector<double>& record) {
    ScanRecord scan;
    std::copy(record.begin() + 1, record.end(), scan.readings.begin());
    cv::Mat picture = makeScanImage();
    drawScan(picture, scan);
    return picture;
}

// The id of the one window once it shows `picture`; empty if it never does.
std::string windowShowing(const cv::Mat& picture) {
    for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(200ms);
        const std::vector<std::string> ids = windowIds();
        if (ids.size() == 1 && showsExactly(screenshot(ids[0]), picture)) return ids[0];
    }
    return "";
}

TEST(Window, ALiveLogIsShownScanByScanInOneWindow) {
    TempDir dir;
    const std::string fifo = dir.path + "/live.scans";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Launch launch;
    launch.argv.push_back(fifo);
    Running running = start(launch);
    const int feed = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(feed, 0);

    std::vector<double> numbers;
    for (int r = 0; r < 5; ++r) {
        const std::vector<double> record = sampleRecord(r, 400 + 150 * r);
        numbers.insert(numbers.end(), record.begin(), record.end());
    }
    writeAll(feed, logText(numbers));
    const std::string expectedOut = kBanner + streamEcho(numbers);
    Finished finished;
    collect(running, finished, [&](const Finished& f) { return f.out.size() >= expectedOut.size(); });
    EXPECT_EQ(finished.out, expectedOut);

    // The program now waits for more input, with the last scan on screen.
    EXPECT_NE(windowShowing(pictureOf({numbers.end() - kNumbersPerRecord, numbers.end()})), "")
        << "the window never showed the last scan";

    close(feed);
    waitForExit(running, finished);
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out, expectedOut);
}

// ---- hostile surroundings and careless users --------------------------------------------

TEST(StandardDescriptors, ClosedOnesNeitherHangTheProgramNorTakeTheLogsPlace) {
    TempDir dir;
    const std::vector<double> numbers = twoRecords();
    const std::vector<double> first(numbers.begin(), numbers.begin() + kNumbersPerRecord);
    struct Case {
        std::vector<int> closed;
        std::string log;
        int status;
        std::string out;
    };
    const Case cases[] = {{{STDIN_FILENO, STDERR_FILENO}, logText(numbers), 0, kBanner + streamEcho(numbers)},
                          {{STDERR_FILENO}, logText(first) + "5 x", 1, kBanner + streamEcho(first)}};
    for (const Case& c : cases) {
        Launch launch;
        launch.argv.push_back(dir.file("log.scans", c.log));
        launch.closedDescriptors = c.closed;
        launch.environment = {"XDG_RUNTIME_DIR"};  // so that Qt has a warning to write
        const Finished finished = run(launch);
        EXPECT_EQ(finished.status, c.status);
        EXPECT_EQ(finished.out, c.out);
    }
}

TEST(Messages, ControlBytesOfNamesAreEscapedAndEverythingElseIsKept) {
    TempDir dir;
    const std::pair<std::string, std::string> names[] = {
        {"a\nb", "a\\x0ab"}, {"\x1b[31mred\x7f", "\\x1b[31mred\\x7f"}, {"tab\there", "tab\\x09here"},
        {"caf\xc3\xa9 \\x41 \"q\"", "caf\xc3\xa9 \\x41 \"q\""}};
    for (const auto& [name, shown] : names) {
        EXPECT_EQ(runOn(dir.path + "/no " + name).err,
                  "Error opening laser file " + dir.path + "/no " + shown + ". Please ensure file exists\n");
        EXPECT_EQ(runOn(dir.file(name, "1 2")).err,
                  "Error reading laser file " + dir.path + "/" + shown + ": record 1 ends after 2 of 362 numbers\n");
        Launch launch;
        launch.argv = {name};
        EXPECT_EQ(run(launch).out, "USAGE: " + shown + " <laserFile>\n");
    }
}

TEST(Window, RepaintsWhileTheTranscriptsReaderStalls) {
    TempDir dir;
    const std::vector<double> record = sampleRecord(1, 900);
    std::vector<double> numbers;
    for (int r = 0; r < 300; ++r) numbers.insert(numbers.end(), record.begin(), record.end());
    // Two pages: the smallest pipe in which the first records fit before the reader stalls.
    for (int pipeSize : {8192, 65536}) {
        Launch launch;
        launch.argv.push_back(dir.file("log.scans", logText(numbers)));
        launch.outputPipeSize = pipeSize;
        Running running = start(launch);  // standard output is not read until the end
        const std::string id = windowShowing(pictureOf(record));
        EXPECT_NE(id, "");
        if (!id.empty()) {
            command("xdotool windowunmap --sync " + id + " windowmap --sync " + id);
            EXPECT_NE(windowShowing(pictureOf(record)), "") << "hidden and shown again, the window stayed black";
        }
        Finished finished;
        waitForExit(running, finished);
        EXPECT_EQ(finished.status, 0) << finished.err;
        EXPECT_EQ(finished.out, kBanner + streamEcho(numbers));
    }
}

// Asks the window to close, as a window manager does when its close button is clicked.
void requestClose(const std::string& id) {
    Display* display = XOpenDisplay(nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(id);
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(display);
}

TEST(Window, ClosingItStopsTheProgramAfterAWholeRecord) {
    std::signal(SIGPIPE, SIG_IGN);  // the feed learns from EPIPE that the program has gone
    const std::vector<double> record = sampleRecord(1, 900);
    // busy: the log keeps coming (else it pauses after 5 records); stalled: the transcript is read
    // only once the window is closed; destroyed: by xdotool windowclose (else the close button).
    struct Case {
        bool busy, stalled, destroyed;
    };
    for (const Case c : {Case{1, 0, 0}, Case{1, 0, 1}, Case{0, 0, 0}, Case{0, 0, 1}, Case{1, 1, 0}}) {
        SCOPED_TRACE(testing::Message() << "busy " << c.busy << ", stalled " << c.stalled << ", destroyed " << c.destroyed);
        TempDir dir;
        const std::string fifo = dir.path + "/live.scans";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        Launch launch;
        launch.argv.push_back(fifo);
        Running running = start(launch);
        const int feed = open(fifo.c_str(), O_WRONLY);
        std::thread feeder([&] { for (int r = 0; (c.busy || r < 5) && writeAll(feed, logText(record)); ++r) {} });
        Finished finished;
        const auto readAll = [&] { waitForExit(running, finished); };
        std::thread reader(c.stalled ? [] {} : std::function<void()>(readAll));
        const std::string id = windowShowing(pictureOf(record));
        EXPECT_NE(id, "");
        if (id.empty()) kill(running.pid, SIGKILL);
        else if (c.destroyed) command("xdotool windowclose " + id);
        else requestClose(id);
        reader.join();
        if (c.stalled) readAll();
        close(feed);
        feeder.join();

        const std::string stopped = "Stopped: the window was closed after record ";
        const std::size_t records = std::strtoull(finished.err.c_str() + std::min(stopped.size(), finished.err.size()), nullptr, 10);
        EXPECT_EQ(finished.status, 130) << finished.err;
        EXPECT_EQ(finished.err, stopped + std::to_string(records) + "\n");
        EXPECT_TRUE(c.busy || records == 5) << records;
        std::string transcript = kBanner;
        for (std::size_t r = 0; r < records; ++r) transcript += streamEcho(record);
        EXPECT_EQ(finished.out, transcript);
    }
}

}  // namespace
