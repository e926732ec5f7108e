// The built program as a user runs it: command line, messages, exit status, transcript and
// window. Runs on a private virtual display (see with_virtual_display.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;

struct Launch {
    std::vector<std::string> argv{PROGRAM_PATH};
    bool withoutDisplay = false;
    bool closeStandardOutput = false;
    std::string standardOutputFile;  // empty: captured
};

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
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        if (launch.closeStandardOutput) {
            close(STDOUT_FILENO);
        } else if (!launch.standardOutputFile.empty()) {
            const int fd = open(launch.standardOutputFile.c_str(), O_WRONLY);
            dup2(fd, STDOUT_FILENO);
        } else {
            dup2(out[1], STDOUT_FILENO);
        }
        if (launch.withoutDisplay) {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("QT_QPA_PLATFORM");
        }
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
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done(finished) && (running.out >= 0 || running.err >= 0)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the program stopped answering";
        pollfd fds[2] = {{running.out, POLLIN, 0}, {running.err, POLLIN, 0}};
        poll(fds, 2, 100);
        int* ends[2] = {&running.out, &running.err};
        std::string* texts[2] = {&finished.out, &finished.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            char chunk[65536];
            const ssize_t got = read(*ends[i], chunk, sizeof chunk);
            if (got > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(got));
            } else {
                close(*ends[i]);
                *ends[i] = -1;
            }
        }
    }
}

void waitForExit(Running& running, Finished& finished) {
    collect(running, finished, [](const Finished&) { return false; });
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

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/rsi-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& name, const std::string& contents) const {
        std::ofstream(path + "/" + name, std::ios::binary) << contents;
        return path + "/" + name;
    }
};

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
        launch.closeStandardOutput = c.close;
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
    Launch launch;
    launch.argv.push_back(dir.file("log.scans", logText(numbers)));
    launch.withoutDisplay = true;
    const Finished finished = run(launch);
    EXPECT_EQ(finished.status, 1);
    EXPECT_EQ(finished.out, kBanner + streamEcho(first));
    EXPECT_EQ(finished.err, "Error opening display. Please ensure a graphical display is available\n");

    // A log without records never needs the display.
    launch.argv.back() = dir.file("empty.scans", "\n");
    const Finished empty = run(launch);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.err, "");
}

// ---- the real window, fed through a named pipe that stays open --------------------------

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
    ScanRecord last;
    std::copy(numbers.end() - kReadingCount, numbers.end(), last.readings.begin());
    cv::Mat picture = makeScanImage();
    drawScan(picture, last);
    bool shown = false;
    std::vector<std::string> ids;
    for (auto deadline = std::chrono::steady_clock::now() + 20s; !shown && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(200ms);
        ids = windowIds();
        shown = ids.size() == 1 && showsExactly(screenshot(ids[0]), picture);
    }
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_TRUE(shown) << "the window never showed the last scan";

    close(feed);
    waitForExit(running, finished);
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(finished.out, expectedOut);
}

}  // namespace
