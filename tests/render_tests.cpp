// `scanlog render` run as a user runs it, with no display at all: every frame the viewer's
// own picture, videos whole and playable, and failures that leave nothing half-written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <sys/stat.h>

#include "run_program.hpp"
#include "scan_display.hpp"
#include "test_support.hpp"
#include "window_support.hpp"

namespace {

const std::string kScanlog = SCANLOG_PATH;
const std::string kShared = SHARED_DATA_PATH;

// Whatever the machine has, the command must not look for a display.
ProgramResult scanlog(const std::vector<std::string>& arguments) {
    ProgramRun run;
    run.argv = {kScanlog};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    run.unsetVariables = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"};
    return runProgram(run);
}

// Records whose markers move from one to the next, some on the picture's edges (column 1 and
// 639, row 639) and some beyond it, so that a frame showing the wrong record shows it.
std::vector<ScanRecord> sampleRecords(int count) {
    std::vector<ScanRecord> records(static_cast<std::size_t>(count));
    for (int r = 0; r < count; ++r) {
        ScanRecord& record = records[static_cast<std::size_t>(r)];
        record.leadingValue = r + 1;
        for (int i = 0; i < kReadingCount; ++i) record.readings[i] = 200 + 37 * ((i * 7 + r * 13) % 160);
        record.readings[180] = r % 2 ? 7999 : 12.5;
        record.readings[1] = 4000;
        record.readings[90] = 8191;
    }
    return records;
}

std::string scanFileOf(const std::vector<ScanRecord>& records) {
    std::string text;
    for (const ScanRecord& record : records) appendEcho(record, text);
    return text;
}

cv::Mat viewerPicture(const ScanRecord& record) {
    cv::Mat picture = makeScanImage();
    drawScan(picture, record);
    return picture;
}

bool samePicture(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a.reshape(1) != b.reshape(1)) == 0;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string lineOf(const ProgramResult& result, std::size_t index) {
    std::istringstream lines(result.err);
    std::string line;
    for (std::size_t i = 0; i <= index && std::getline(lines, line);) ++i;
    return line;
}

bool haveFfprobe() { return std::system("ffprobe -version > /dev/null 2>&1") == 0; }

// ffprobe's word on a video: its codec, frames, and frames that decode.
std::string probe(const std::string& video) {
    return command("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                   "stream=codec_name,nb_frames,nb_read_frames,width,height -of compact=p=0:nk=1 '" +
                   video + "' 2>&1");
}

TEST(RenderFrames, EveryPngFrameIsTheViewersPictureOfItsRecord) {
    TempDir folder;
    const std::vector<ScanRecord> records = sampleRecords(12);
    const std::string log = folder.file("log.scans", scanFileOf(records));
    std::filesystem::create_directory(folder.path + "/frames");
    // The scan file's records as they are: zoom 1, and the no-return value kept.
    const std::vector<std::string> asTheyAre{"--zoom", "1", "--no-return", "8191"};
    std::vector<std::string> arguments{"render", "--every-record", log, "-o", folder.path + "/frames/f-%03d.png"};
    arguments.insert(arguments.end(), asTheyAre.begin(), asTheyAre.end());
    const ProgramResult result = scanlog(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(filesIn(folder.path + "/frames").size(), records.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
        char name[48];
        std::snprintf(name, sizeof name, "/frames/f-%03zu.png", r + 1);
        const cv::Mat frame = cv::imread(folder.path + name, cv::IMREAD_UNCHANGED);
        EXPECT_TRUE(samePicture(frame, viewerPicture(records[r]))) << name;
    }
    EXPECT_EQ(result.err, "scanlog: rendered 12 frames of 12 records to " + folder.path +
                              "/frames/f-%03d.png: 0.400 s at 30 fps, zoom 1, PNG\n");

    // One picture: of the last record, or of --at N; with a caption strip under it.
    struct Case {
        std::vector<std::string> options;
        std::size_t record;
        int rows;
    };
    const Case pictures[] = {{{}, 12, kImageSize}, {{"--at", "5"}, 5, kImageSize}, {{"--caption"}, 12, kImageSize + 24}};
    for (const Case& c : pictures) {
        std::vector<std::string> arguments{"render", log, "-o", folder.path + "/one.png"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.insert(arguments.end(), asTheyAre.begin(), asTheyAre.end());
        const ProgramResult one = scanlog(arguments);
        ASSERT_EQ(one.status, 0) << one.err;
        const cv::Mat picture = cv::imread(folder.path + "/one.png", cv::IMREAD_UNCHANGED);
        ASSERT_EQ(picture.rows, c.rows);
        EXPECT_TRUE(samePicture(picture(cv::Rect(0, 0, kImageSize, kImageSize)), viewerPicture(records[c.record - 1])))
            << c.record;
    }
}

// 150 records at 75 a second last 149/75 s: 60 frames at 30 fps (2 s), whatever the output.
TEST(RenderVideos, LastAsLongAsTheLogAndEveryFrameDecodes) {
    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe is not installed (make test installs it): videos are not checked";
    TempDir folder;
    const std::string log = folder.file("log.scans", scanFileOf(sampleRecords(150)));
    struct Case {
        std::string out;
        std::vector<std::string> options;
        std::string probed;  // codec|width|height|frames|decoded
    };
    const Case cases[] = {
        {"a.mp4", {}, "h264|640|640|60|60"},
        {"a.avi", {}, "mjpeg|640|640|60|60"},
        {"fast.mp4", {"--speed", "2"}, "h264|640|640|30|30"},
        {"slow.avi", {"--fps", "10", "--caption"}, "mjpeg|640|664|20|20"},
        {"each.mp4", {"--every-record"}, "h264|640|640|150|150"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"render", log, "-o", folder.path + "/" + c.out};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProgramResult result = scanlog(arguments);
        ASSERT_EQ(result.status, 0) << result.err;
        std::string probed = probe(folder.path + "/" + c.out);
        probed.erase(std::remove(probed.begin(), probed.end(), '\n'), probed.end());
        EXPECT_EQ(probed, c.probed) << c.out;
    }
    EXPECT_EQ(filesIn(folder.path).size(), 1 + std::size(cases)) << "a temporary file was left behind";
}

TEST(RenderCommandLine, OutputsOfNoKnownKindAreUsageErrors) {
    TempDir folder;
    const std::string log = folder.file("log.scans", scanFileOf(sampleRecords(2)));
    const std::vector<std::vector<std::string>> cases = {
        {"render", log, "-o", folder.path + "/a.gif"},
        {"render", log, "-o", folder.path + "/a"},
        {"render", log, "-o", folder.path + "/f-%s.png"},
        {"render", log, "-o", folder.path + "/f-%d-%d.png"},
        {"render", log},
        {"render", log, "-o", folder.path + "/a.mp4", "--at", "1"},
        {"render", log, "-o", folder.path + "/a.mp4", "--fps", "0"},
        {"render", log, "-o", folder.path + "/a.mp4", "--loop"},
    };
    for (const auto& arguments : cases) {
        const ProgramResult result = scanlog(arguments);
        EXPECT_EQ(result.status, 2) << arguments.back();
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_EQ(filesIn(folder.path), std::vector<std::string>{"log.scans"});
}

// Runs scanlog with files limited to `limitBlocks` of 512 bytes, as a full disk would stop it.
ProgramResult scanlogWithFileLimit(int limitBlocks, const std::vector<std::string>& arguments) {
    ProgramRun run;
    std::string line = "trap '' XFSZ; ulimit -f " + std::to_string(limitBlocks) + "; exec '" + kScanlog + "'";
    for (const std::string& a : arguments) line += " '" + a + "'";
    run.argv = {"/bin/sh", "-c", line};
    run.unsetVariables = {"DISPLAY", "WAYLAND_DISPLAY"};
    return runProgram(run);
}

TEST(RenderErrors, AnOutputThatCantBeWrittenIsOneLineAndLeavesNothingBehind) {
    TempDir folder;
    const std::string log = folder.file("log.scans", scanFileOf(sampleRecords(150)));
    const std::string plain = folder.file("plain", "x");
    std::filesystem::create_directory(folder.path + "/taken.mp4");
    std::filesystem::create_directory(folder.path + "/out");
    struct Case {
        std::string out;
        int limitBlocks;    // 0: none
        std::string named;  // the file the message names: OUT, or the frame that failed
        std::string why;    // the end of the message
    };
    const std::string out = folder.path + "/out/";
    const Case cases[] = {
        {folder.path + "/missing/a.mp4", 0, folder.path + "/missing/a.mp4", ": No such file or directory"},
        {folder.path + "/missing/f-%d.png", 0, folder.path + "/missing/f-1.png", ": No such file or directory"},
        {plain + "/a.avi", 0, plain + "/a.avi", ": Not a directory"},
        {folder.path + "/taken.mp4", 0, folder.path + "/taken.mp4", ": Is a directory"},
        {out + "a.mp4", 8, out + "a.mp4", "(is the disk full?)"},
        {out + "a.avi", 8, out + "a.avi", "(is the disk full?)"},
        {out + "f-%d.png", 1, out + "f-1.png", ": File too large"},
        {out + "old.png", 1, out + "old.png", ": File too large"},
    };
    for (const Case& c : cases) {
        // What was there before stays as it was.
        const std::string old = folder.file("out/old.png", "old");
        const std::vector<std::string> arguments{"render", log, "-o", c.out};
        const ProgramResult result = c.limitBlocks ? scanlogWithFileLimit(c.limitBlocks, arguments) : scanlog(arguments);
        EXPECT_EQ(result.status, 1) << c.out;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        const std::string message = lineOf(result, 0);
        EXPECT_EQ(message.rfind("scanlog: ", 0), 0u) << result.err;
        EXPECT_NE(message.find(c.named + ":"), std::string::npos) << result.err;
        EXPECT_TRUE(message.size() >= c.why.size() && message.compare(message.size() - c.why.size(), c.why.size(), c.why) == 0)
            << result.err;
        EXPECT_EQ(filesIn(folder.path + "/out"), std::vector<std::string>{"old.png"}) << c.out;
        EXPECT_EQ(readFile(old), "old") << c.out;
    }
}

TEST(RenderErrors, ADamagedLogGivesEveryFrameBeforeTheDamageThenItsError) {
    TempDir folder;
    const std::vector<ScanRecord> records = sampleRecords(20);
    const std::string log = folder.file("damaged.scans", scanFileOf(records) + "21 5 x\n");
    const std::string damage = "Error reading laser file " + log + ": bad number \"x\" at line 41 (record 21)";
    struct Case {
        std::string out;
        std::vector<std::string> options;
        std::string probed;
    };
    const Case cases[] = {
        {"a.mp4", {"--every-record"}, "h264|640|640|20|20"},
        {"a.avi", {"--fps", "75"}, "mjpeg|640|640|19|19"},  // 20 records at 75 a second: 19/75 s
        {"f-%02d.png", {"--every-record", "--zoom", "1", "--no-return", "8191"}, ""},
        {"last.png", {"--zoom", "1", "--no-return", "8191"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> arguments{"render", log, "-o", folder.path + "/" + c.out};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProgramResult result = scanlog(arguments);
        EXPECT_EQ(result.status, 1) << c.out;
        EXPECT_EQ(lineOf(result, 0).rfind("scanlog: rendered ", 0), 0u) << result.err;
        EXPECT_EQ(lineOf(result, 1), damage) << result.err;
        if (!c.probed.empty() && haveFfprobe()) {
            std::string probed = probe(folder.path + "/" + c.out);
            probed.erase(std::remove(probed.begin(), probed.end(), '\n'), probed.end());
            EXPECT_EQ(probed, c.probed);
        }
    }
    EXPECT_TRUE(samePicture(cv::imread(folder.path + "/f-20.png", cv::IMREAD_UNCHANGED), viewerPicture(records[19])));
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/f-21.png"));
    EXPECT_TRUE(samePicture(cv::imread(folder.path + "/last.png", cv::IMREAD_UNCHANGED), viewerPicture(records[19])));

    // A log that gives nothing to render: its reason, and no output at all.
    const std::string empty = folder.file("empty.scans", "");
    const std::pair<std::vector<std::string>, std::string> nothing[] = {
        {{"render", folder.path + "/none.scans", "-o", folder.path + "/n.mp4"}, "scanlog: cannot open"},
        {{"render", empty, "-o", folder.path + "/n.mp4"}, "the file is empty"},
        {{"render", log, "-o", folder.path + "/n.png", "--at", "30"}, damage},
        {{"render", log, "-o", folder.path + "/n.mp4", "--start", "30"}, damage},
    };
    for (const auto& [arguments, why] : nothing) {
        const ProgramResult result = scanlog(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find(why), std::string::npos) << result.err << " should say " << why;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/n.mp4"));
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/n.png"));
}

}  // namespace

// ---- the real samples beside the project ---------------------------------------------------

bool haveShared() { return std::filesystem::exists(kShared + "/formats/README.md"); }

// The number after "zoom " in a summary line.
std::string zoomIn(const std::string& summary) {
    const std::size_t at = summary.find("zoom ");
    return at == std::string::npos ? "" : summary.substr(at + 5, summary.find(',', at) - at - 5);
}

// With view's own picture options, every frame of a real bag is the viewer's picture of the
// record `scanlog play` writes at the same zoom; a video lasts as long as the bag, to a frame.
TEST(RenderRealBags, FramesAreThePicturesOfWhatPlayWritesAndVideosLastAsLongAsTheBag) {
    if (!haveShared()) GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    TempDir folder;
    const std::string bag = kShared + "/formats/ros1/leg_tracker_positive_2.bag";
    const ProgramResult frames = scanlog({"render", "--every-record", bag, "-o", folder.path + "/f-%03d.png"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    const std::string zoom = zoomIn(frames.err);
    ASSERT_NE(zoom, "") << frames.err;

    ProgramRun play;
    play.argv = {kScanlog, "play", "--speed", "100", "--zoom", zoom, "--no-return", "0", bag};
    play.standardOutputFile = folder.path + "/played.scans";
    ASSERT_EQ(runProgram(play).status, 0);
    ScanInput input;
    ASSERT_TRUE(openScanInput(input, play.standardOutputFile));
    ScanRecord record;
    std::size_t count = 0;
    while (readScanRecord(input, record) == ReadResult::record) {
        ++count;
        char name[32];
        std::snprintf(name, sizeof name, "/f-%03zu.png", count);
        ASSERT_TRUE(samePicture(cv::imread(folder.path + name, cv::IMREAD_UNCHANGED), viewerPicture(record))) << name;
    }
    closeScanInput(input);
    EXPECT_EQ(count, 243u);
    EXPECT_FALSE(std::filesystem::exists(folder.path + "/f-244.png"));

    if (!haveFfprobe()) GTEST_SKIP() << "ffprobe is not installed: the bag's video is not checked";
    // The bag's duration: the last record's time since the first, as convert writes it.
    ProgramRun convert;
    convert.argv = {kScanlog, "convert", bag};
    convert.standardOutputFile = folder.path + "/converted.scans";
    ASSERT_EQ(runProgram(convert).status, 0);
    ASSERT_TRUE(openScanInput(input, convert.standardOutputFile));
    double duration = 0;
    while (readScanRecord(input, record) == ReadResult::record) duration = record.leadingValue;
    closeScanInput(input);
    for (const char* video : {"/bag.mp4", "/bag.avi"}) {
        ASSERT_EQ(scanlog({"render", bag, "-o", folder.path + video}).status, 0);
        const double seconds = std::atof(command("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                                 folder.path + video + "'").c_str());
        EXPECT_GE(seconds, duration - 1e-6) << video;
        EXPECT_LT(seconds, duration + 1.0 / 30) << video;
        // codec|width|height|frames|decoded: every frame decodes.
        std::istringstream fields(probe(folder.path + video));
        std::vector<std::string> field;
        for (std::string f; std::getline(fields, f, '|');) field.push_back(f);
        ASSERT_EQ(field.size(), 5u);
        EXPECT_EQ(std::stod(field[3]), std::stod(field[4])) << video;
        EXPECT_EQ(std::stod(field[3]), std::ceil(duration * 30 - 1e-9)) << video;
    }
}
