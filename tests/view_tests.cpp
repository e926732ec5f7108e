// `scanlog view` end to end, on a private virtual display (see with_virtual_display.sh): the
// bundled log played into the real viewer, driven through a pseudo-terminal as a user types.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "scan_display.hpp"
#include "scan_geometry.hpp"
#include "scan_reader.hpp"
#include "scanlog_test_support.hpp"
#include "window_support.hpp"

namespace {

using namespace std::chrono_literals;

// Becomes scanlog with `args` (in a child); 127 when it can't.
int execScanlog(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(SCANLOG_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(SCANLOG_PATH, argv.data());
    return 127;
}

// Runs scanlog with `args` and standard input from `input`; standard output is discarded.
Child startScanlog(const std::vector<std::string>& args, int input, bool withoutDisplay = false) {
    return startChild(
        [&] {
            dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
            if (withoutDisplay) unsetenv("DISPLAY");
            return execScanlog(args);
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

std::vector<ScanRecord> recordsIn(const std::string& path) {
    ScanInput input;
    EXPECT_TRUE(openScanInput(input, path));
    std::vector<ScanRecord> records;
    ScanRecord record;
    while (readScanRecord(input, record) == ReadResult::record) records.push_back(record);
    closeScanInput(input);
    return records;
}

// The records `scanlog play` writes with `options` (as fast as it goes) for `log`: what the
// viewer is to show when `view` is given the same options.
std::vector<ScanRecord> playedRecords(const std::vector<std::string>& options, const std::string& log) {
    std::vector<std::string> args{"play", "--speed", "100"};
    if (log.find(".scans") != std::string::npos) args = {"play", "--rate", "1000000"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(log);
    const int input = open("/dev/null", O_RDONLY);
    Child play = startChild(
        [&] {
            return execScanlog(args);
        },
        input);
    finish(play);
    close(input);
    EXPECT_EQ(play.status, 0) << play.errText;
    TempDir dir;
    return recordsIn(dir.file("played.scans", play.outText));
}

cv::Mat pictureOf(const ScanRecord& record) {
    cv::Mat picture = makeScanImage();
    drawScan(picture, record);
    return picture;
}

TEST(View, KeepsTheLastScanOnScreenUntilQ) {
    // The viewer gets what `play` writes with view's own defaults: zoom to fit, no return as 0.
    const std::vector<ScanRecord> records = playedRecords({"--zoom", "fit", "--no-return", "0"}, EXAMPLE_LOG);
    ASSERT_EQ(records.size(), 450u);
    const cv::Mat last = pictureOf(records.back());

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
    const std::vector<ScanRecord> records = playedRecords({"--zoom", "fit", "--no-return", "0"}, EXAMPLE_LOG);
    ASSERT_FALSE(records.empty());
    cv::Mat first = makeScanImage();
    drawScan(first, records.front());
    for (const bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce ? "closed as soon as it appears" : "closed with the first scan on screen");
        Terminal terminal;
        // A record every 20 seconds: the window is closed while it shows the first.
        Child view = startScanlog({"view", "--rate", "0.05", EXAMPLE_LOG}, terminal.slave);
        std::vector<std::string> ids;
        // While the toolkit makes the window, a search may see it twice for a moment: wait for one.
        for (auto deadline = std::chrono::steady_clock::now() + 60s;
             ids.size() != 1 && std::chrono::steady_clock::now() < deadline;) {
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

TEST(View, ZoomKeysChangeThePausedPictureAtOnce) {
    const std::string log = EXAMPLE_LOG;
    struct Step {
        const char* keys;
        std::size_t record;  // 1 for the first
        const char* zoom;
    };
    // The bundled log fits at 1x. Paused on record 1, + and - draw it again at once; a step
    // forward keeps the zoom.
    const Step steps[] = {{"", 1, "1"}, {" +", 1, "2"}, {"+", 1, "4"}, {"---", 1, "0.5"}, {"s", 2, "0.5"}};
    Terminal terminal;
    Child view = startScanlog({"view", "--rate", "0.05", log}, terminal.slave);
    for (const Step& step : steps) {
        terminal.type(step.keys);
        const ScanRecord record = playedRecords({"--zoom", step.zoom, "--no-return", "0"}, log).at(step.record - 1);
        EXPECT_TRUE(windowShows(pictureOf(record), 20s))
            << "after '" << step.keys << "' the window did not show record " << step.record << " at zoom " << step.zoom;
    }
    terminal.type("q");
    finish(view);
    EXPECT_EQ(view.status, 0) << view.errText;
    EXPECT_NE(view.errText.find("; zoom 0.5x: 160 m ahead, 80 m to each side"), std::string::npos) << view.errText;
}

// ---- real indoor logs ---------------------------------------------------------------------

std::string sharedData() {
    const char* given = std::getenv("RSI_SHARED_DATA");
    return given != nullptr ? given : SHARED_DATA_PATH;
}

// Over the play, the drawn points of the indoor logs span more than half the picture (turned,
// a sensor may see little behind or beside it), none is a no return, and the window at the last
// scan shows exactly what `play` writes with the same options.
TEST(View, RealIndoorLogsFillThePictureWithoutPhantoms) {
    const std::string formats = sharedData() + "/formats/";
    if (!std::filesystem::exists(formats + "README.md")) {
        GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    }
    struct Case {
        const char* log;
        std::vector<std::string> options;
        bool fills;
    };
    // The simulated corridor of mumble_straight fits at 4x and spans 48% of the picture's
    // height: the rule's powers of two leave up to half the picture free.
    const Case cases[] = {
        {"ros1/leg_tracker_positive_2.bag", {}, true},
        {"ros1/scan_tools_laser_scan_matcher_demo.bag", {}, true},
        {"ros2_db3/mehd1k_test_2026-02-19-11-53-31", {}, true},
        {"ros2_db3/mehd1k_test_2026-02-19-11-53-31", {"--facing", "180"}, false},
        {"ros2_db3/mumble_straight", {"--facing", "-90"}, false},
    };
    for (const Case& c : cases) {
        const std::string label = std::string(c.log) + (c.options.empty() ? "" : " " + c.options[1]);
        std::vector<std::string> viewDefaults{"--zoom", "fit", "--no-return", "0"};
        viewDefaults.insert(viewDefaults.end(), c.options.begin(), c.options.end());
        const std::vector<ScanRecord> records = playedRecords(viewDefaults, formats + c.log);
        ASSERT_FALSE(records.empty()) << label;
        int left = kImageSize, right = 0, top = kImageSize, bottom = 0;
        for (const ScanRecord& record : records) {
            for (int k = 0; k < kReadingCount; ++k) {
                ASSERT_NE(record.readings[k], 8191) << label << ": a no return drawn at 81.91 m";
                PixelPosition pixel;
                if (!projectReading(record.readings[k], k, pixel)) continue;
                left = std::min(left, pixel.column);
                right = std::max(right, pixel.column);
                top = std::min(top, pixel.row);
                bottom = std::max(bottom, pixel.row);
            }
        }
        EXPECT_TRUE(!c.fills || right - left > kImageSize / 2 || bottom - top > kImageSize / 2)
            << label << ": points span columns " << left << " to " << right << ", rows " << top << " to " << bottom;

        Terminal terminal;
        std::vector<std::string> args{"view", "--speed", "100"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(formats + c.log);
        Child view = startScanlog(args, terminal.slave);
        EXPECT_TRUE(windowShows(pictureOf(records.back()), 60s)) << label << ": the last scan is not what play writes";
        terminal.type("q");
        finish(view);
        EXPECT_EQ(view.status, 0) << label << ": " << view.errText;
    }
}

}  // namespace
