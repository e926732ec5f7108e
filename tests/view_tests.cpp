// `scanlog view` end to end, on a private virtual display (see with_virtual_display.sh): the
// bundled log played into the real viewer, driven through a pseudo-terminal as a user types.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"
#include "scan_reader.hpp"
#include "scanlog_test_support.hpp"
#include "window_support.hpp"

namespace {

using namespace std::chrono_literals;

// Runs scanlog with `args` and standard input from `input`; standard output is discarded.
Child startScanlog(const std::vector<std::string>& args, int input, bool withoutDisplay = false) {
    return startChild(
        [&] {
            dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
            if (withoutDisplay) unsetenv("DISPLAY");
            std::vector<char*> argv{const_cast<char*>(SCANLOG_PATH)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(SCANLOG_PATH, argv.data());
            return 127;
        },
        input);
}

// ---- the window ---------------------------------------------------------------------------

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

TEST(View, KeepsTheLastScanOnScreenUntilQ) {
    const std::vector<ScanRecord> records = bundledRecords();
    ASSERT_EQ(records.size(), 450u);
    cv::Mat last = makeScanImage();
    drawScan(last, records.back());

    TempDir dir;
    const std::string echo = dir.path + "/echo.txt";
    Terminal terminal;
    Child view = startScanlog({"view", "--speed", "10", "--echo", echo, EXAMPLE_LOG}, terminal.slave);
    EXPECT_TRUE(windowShows(last, 60s)) << "the window never showed the last scan";
    // At the end of the log the pipe stays open: the scan stays, the viewer runs on.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(windowShows(last, 5s)) << "the last scan did not stay";
    EXPECT_FALSE(terminal.cooked()) << "keys are read in raw mode";

    terminal.type("q");
    finish(view);
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

// Another client destroys the window (xdotool windowclose): once with the first scan on
// screen, and once as soon as the window appears, which lands anywhere in the viewer's making
// of it, before or after it starts watching the window. Either way the viewer stops with
// nothing from the window system before its message.
TEST(View, EndsWithTheViewerWhenItsWindowIsClosed) {
    const std::vector<ScanRecord> records = bundledRecords();
    ASSERT_FALSE(records.empty());
    cv::Mat first = makeScanImage();
    drawScan(first, records.front());
    for (const bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "closed as soon as it appears" : "closed with the first scan on screen");
        Terminal terminal;
        // A record every 20 seconds: the window is closed while it shows the first.
        Child view = startScanlog({"view", "--rate", "0.05", EXAMPLE_LOG}, terminal.slave);
        std::vector<std::string> ids;
        for (auto deadline = std::chrono::steady_clock::now() + 60s;
             ids.empty() && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(atOnce ? 5ms : 200ms);
            ids = windowIds();
        }
        const bool shown = ids.size() == 1 && (atOnce || windowShows(first, 15s));
        if (!shown) kill(view.pid, SIGKILL);
        if (shown) command("xdotool windowclose " + ids[0] + " 2>/dev/null");
        finish(view);
        ASSERT_TRUE(shown) << "the window never showed the first scan";
        EXPECT_EQ(view.status, 130) << view.errText;
        EXPECT_EQ(view.errText.rfind("Stopped: the window was closed after record 1\n", 0), 0u) << view.errText;
        EXPECT_NE(view.errText.find("\nscanlog: played "), std::string::npos) << view.errText;
        EXPECT_TRUE(terminal.cooked());
    }
}

TEST(View, WithoutADisplayTheViewersMessageIsPassedOn) {
    const int input = open("/dev/null", O_RDONLY);
    Child view = startScanlog({"view", "--speed", "100", EXAMPLE_LOG}, input, true);
    finish(view);
    close(input);
    EXPECT_EQ(view.status, 1);
    EXPECT_EQ(view.errText.rfind("Error opening display. Please ensure a graphical display is available\nscanlog: played ", 0),
              0u)
        << view.errText;
}

}  // namespace
