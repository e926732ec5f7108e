// `scanlog view` end to end, on a private virtual display (see with_virtual_display.sh): the
// bundled log played into the real viewer, driven through a pseudo-terminal as a user types.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"
#include "scan_reader.hpp"

namespace {

using namespace std::chrono_literals;

struct Running {
    pid_t pid = -1;
    int err = -1;
    std::string errText;
    int status = -1;  // exit status, or -signal
};

// Starts scanlog with `args`, standard input from `input`, standard output discarded.
Running startScanlog(const std::vector<std::string>& args, int input, bool withoutDisplay = false) {
    int err[2];
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    Running running;
    running.pid = fork();
    if (running.pid == 0) {
        dup2(input, STDIN_FILENO);
        const int nothing = open("/dev/null", O_WRONLY);
        dup2(nothing, STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (withoutDisplay) {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("QT_QPA_PLATFORM");
        }
        std::vector<char*> argv{const_cast<char*>(SCANLOG_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(SCANLOG_PATH, argv.data());
        _exit(127);
    }
    close(err[1]);
    running.err = err[0];
    return running;
}

void readErrors(Running& running, int waitMs) {
    pollfd fd{running.err, POLLIN, 0};
    while (running.err >= 0 && poll(&fd, 1, waitMs) > 0) {
        char chunk[4096];
        const ssize_t got = read(running.err, chunk, sizeof chunk);
        if (got <= 0) {
            close(running.err);
            running.err = -1;
            break;
        }
        running.errText.append(chunk, static_cast<std::size_t>(got));
        waitMs = 0;
    }
}

void waitForExit(Running& running) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (running.err >= 0 && std::chrono::steady_clock::now() < deadline) readErrors(running, 100);
    int status = 0;
    if (std::chrono::steady_clock::now() >= deadline) kill(running.pid, SIGKILL);
    waitpid(running.pid, &status, 0);
    running.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

struct Terminal {
    int master = -1, slave = -1;
    Terminal() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
    ~Terminal() {
        close(master);
        close(slave);
    }
    bool cooked() const {
        termios settings{};
        tcgetattr(slave, &settings);
        return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
    }
};

// ---- the window ---------------------------------------------------------------------------

std::string command(const std::string& line) {
    std::string output;
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char chunk[4096];
        std::size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
        pclose(pipe);
    }
    return output;
}

std::vector<std::string> windowIds() {
    std::istringstream lines(command("xdotool search --name '^rangeScanInspector$' 2>/dev/null"));
    std::vector<std::string> ids;
    for (std::string id; std::getline(lines, id);) ids.push_back(id);
    return ids;
}

// The window's picture as RGB rows, taken by ImageMagick as a binary PPM.
cv::Mat screenshot(const std::string& id) {
    const std::string ppm = command("import -window " + id + " -depth 8 ppm:- 2>/dev/null");
    std::istringstream in(ppm);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    in >> magic >> width >> height >> maximum;
    in.get();
    if (magic != "P6" || maximum != 255 || width <= 0 || height <= 0) return {};
    cv::Mat rgb(height, width, CV_8UC3);
    in.read(reinterpret_cast<char*>(rgb.data), static_cast<std::streamsize>(rgb.total() * 3));
    return in ? rgb : cv::Mat();
}

// Whether `picture` (BGR) appears pixel for pixel somewhere in the screenshot (RGB). Only
// places that line up the picture's first marked pixel with a marked pixel are tried.
bool showsExactly(const cv::Mat& shot, const cv::Mat& picture) {
    if (shot.empty() || shot.cols < picture.cols || shot.rows < picture.rows) return false;
    cv::Mat expected;
    cv::cvtColor(picture, expected, cv::COLOR_BGR2RGB);
    cv::Point first(-1, -1);
    for (int y = 0; y < expected.rows && first.x < 0; ++y)
        for (int x = 0; x < expected.cols && first.x < 0; ++x)
            if (expected.at<cv::Vec3b>(y, x) != cv::Vec3b(0, 0, 0)) first = cv::Point(x, y);
    if (first.x < 0) return false;
    const cv::Vec3b colour = expected.at<cv::Vec3b>(first);
    for (int y = first.y; y + picture.rows - first.y <= shot.rows; ++y) {
        for (int x = first.x; x + picture.cols - first.x <= shot.cols; ++x) {
            if (shot.at<cv::Vec3b>(y, x) != colour) continue;
            const cv::Mat area = shot(cv::Rect(x - first.x, y - first.y, picture.cols, picture.rows));
            if (cv::countNonZero(area.reshape(1) != expected.reshape(1)) == 0) return true;
        }
    }
    return false;
}

// Polls the one window until it shows `picture` exactly, for up to `limit`.
bool windowShows(const cv::Mat& picture, std::chrono::seconds limit) {
    for (auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;) {
        const std::vector<std::string> ids = windowIds();
        if (ids.size() == 1 && showsExactly(screenshot(ids[0]), picture)) return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

std::vector<ScanRecord> bundledRecords() {
    ScanInput input;
    EXPECT_TRUE(openScanInput(input, EXAMPLE_LOG));
    std::vector<ScanRecord> records;
    ScanRecord record;
    while (readScanRecord(input, record) == ReadResult::record) records.push_back(record);
    closeScanInput(input);
    return records;
}

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/scanlog-view-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(View, KeepsTheLastScanOnScreenUntilQ) {
    const std::vector<ScanRecord> records = bundledRecords();
    ASSERT_EQ(records.size(), 450u);
    cv::Mat last = makeScanImage();
    drawScan(last, records.back());

    TempDir dir;
    const std::string echo = dir.path + "/echo.txt";
    Terminal terminal;
    Running view = startScanlog({"view", "--speed", "10", "--echo", echo, EXAMPLE_LOG}, terminal.slave);
    EXPECT_TRUE(windowShows(last, 60s)) << "the window never showed the last scan";
    // At the end of the log the pipe stays open: the scan stays, the viewer runs on.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(windowShows(last, 5s)) << "the last scan did not stay";
    EXPECT_FALSE(terminal.cooked()) << "keys are read in raw mode";

    ASSERT_EQ(write(terminal.master, "q", 1), 1);
    waitForExit(view);
    EXPECT_EQ(view.status, 0) << view.errText;
    EXPECT_EQ(view.errText.rfind("scanlog: played 450 records in ", 0), 0u) << view.errText;
    EXPECT_TRUE(windowIds().empty()) << "the window stayed after q";
    EXPECT_TRUE(terminal.cooked()) << "the terminal was left in raw mode";

    // The viewer read every record exactly: its transcript is the echo of the log itself.
    std::string transcript;
    for (const ScanRecord& record : records) appendEcho(record, transcript);
    const std::string written = readFile(echo);
    ASSERT_GE(written.size(), transcript.size());
    EXPECT_TRUE(written.compare(written.size() - transcript.size(), transcript.size(), transcript) == 0)
        << "the transcript differs from the log's echo";
}

TEST(View, EndsWithTheViewerWhenItsWindowIsClosed) {
    Terminal terminal;
    // 1 record a second: the window is closed long before the log's end.
    Running view = startScanlog({"view", "--rate", "1", EXAMPLE_LOG}, terminal.slave);
    std::vector<std::string> ids;
    for (auto deadline = std::chrono::steady_clock::now() + 60s; ids.empty() && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(200ms);
        ids = windowIds();
    }
    ASSERT_EQ(ids.size(), 1u);
    command("xdotool windowclose " + ids[0] + " 2>/dev/null");
    waitForExit(view);
    EXPECT_EQ(view.status, 130) << view.errText;
    EXPECT_EQ(view.errText.rfind("Stopped: the window was closed after record ", 0), 0u) << view.errText;
    EXPECT_NE(view.errText.find("\nscanlog: played "), std::string::npos) << view.errText;
    EXPECT_TRUE(terminal.cooked());
}

TEST(View, WithoutADisplayTheViewersMessageIsPassedOn) {
    const int input = open("/dev/null", O_RDONLY);
    Running view = startScanlog({"view", "--speed", "100", EXAMPLE_LOG}, input, true);
    waitForExit(view);
    close(input);
    EXPECT_EQ(view.status, 1);
    EXPECT_EQ(view.errText.rfind("Error opening display. Please ensure a graphical display is available\nscanlog: played ", 0),
              0u)
        << view.errText;
}

}  // namespace
