// scanlog map as a user runs it: logs written here, the map files it leaves, its messages and
// exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "run_program.hpp"
#include "test_support.hpp"

namespace {

const std::string kScanlog = SCANLOG_PATH;
const std::string kShared = SHARED_DATA_PATH;

ProgramResult scanlog(std::vector<std::string> arguments) {
    ProgramRun run;
    run.argv = {kScanlog};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    return runProgram(run);
}

std::string lastLine(const std::string& text) {
    const std::size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    const std::size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// A FLASER line: `beams` beams over 180 degrees all reading `range`, the laser at x y theta.
std::string flaser(int beams, const std::string& range, const std::string& pose, const std::string& stamp) {
    std::string line = "FLASER " + std::to_string(beams);
    for (int k = 0; k < beams; ++k) line += " " + range;
    return line + " " + pose + " " + pose + " " + stamp + " host " + stamp + "\n";
}

// A robot in a round room of radius 2 m, seen from two places.
std::string roomLog() {
    return "PARAM robot_front_laser_max 50 0 host 0\n" + flaser(181, "2.0", "0 0 0", "1.0") + "ODOM 0 0 0 0 0 0 1 h 1\n" +
           flaser(181, "2.0", "0 0 3.141592653589793", "2.0");
}

TEST(MapCommand, PngAndRosMapHoldTheSameMap) {
    TempDir folder;
    const std::string log = folder.file("room.log", roomLog());
    const ProgramResult png = scanlog({"map", log, "-o", folder.path + "/room.png"});
    ASSERT_EQ(png.status, 0) << png.err;
    const ProgramResult yaml = scanlog({"map", "--resolution", "0.1", log, "-o", folder.path + "/room.yaml"});
    ASSERT_EQ(yaml.status, 0) << yaml.err;
    EXPECT_NE(png.err.find("2 scans mapped, 0 left out; poses from the FLASER lines"), std::string::npos) << png.err;

    // At 0.1 m: the walls 2 m away in every direction, 20 cells from the middle, in a map of
    // 41 cells plus 10 of border each side.
    EXPECT_EQ(readFile(folder.path + "/room.yaml"), "image: room.pgm\nresolution: 0.1\norigin: [-3, -3, 0.0]\n"
                                                    "negate: 0\noccupied_thresh: 0.65\nfree_thresh: 0.196\n");
    const std::string pgm = readFile(folder.path + "/room.pgm");
    const std::string header = "P5\n61 61\n255\n";
    ASSERT_EQ(pgm.substr(0, header.size()), header);
    ASSERT_EQ(pgm.size(), header.size() + 61 * 61);
    const auto at = [&](int i, int j) { return static_cast<unsigned char>(pgm[header.size() + (30 - j) * 61 + (i + 30)]); };
    EXPECT_EQ(at(0, 0), 254);
    EXPECT_EQ(at(20, 0), 0) << "east wall";
    EXPECT_EQ(at(-20, 0), 0) << "west wall";
    EXPECT_EQ(at(0, 20), 0) << "north wall";
    EXPECT_EQ(at(0, -20), 0) << "south wall";
    EXPECT_EQ(at(21, 0), 205);
    EXPECT_EQ(at(0, 10), 254);

    // The same map as a picture at the same resolution: 0, 255, 205 for 0, 254, 205.
    ASSERT_EQ(scanlog({"map", "--resolution", "0.1", log, "-o", folder.path + "/same.png"}).status, 0);
    const cv::Mat picture = cv::imread(folder.path + "/same.png", cv::IMREAD_UNCHANGED);
    ASSERT_EQ(picture.cols, 61);
    ASSERT_EQ(picture.rows, 61);
    for (int row = 0; row < 61; ++row) {
        for (int column = 0; column < 61; ++column) {
            const unsigned char p = pgm[header.size() + row * 61 + column];
            const unsigned char expected = p == 254 ? 255 : p;
            ASSERT_EQ(picture.at<unsigned char>(row, column), expected) << row << ", " << column;
        }
    }
}

TEST(MapCommand, ADamagedLogGivesTheMapOfTheScansBeforeTheDamage) {
    TempDir folder;
    const std::string whole = flaser(181, "2.0", "0 0 0", "1.0");
    const std::string log = folder.file("cut.log", whole + whole + whole.substr(0, 200) + "\n" + whole);
    const ProgramResult run = scanlog({"map", log, "-o", folder.path + "/cut.png"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(std::filesystem::exists(folder.path + "/cut.png"));
    EXPECT_NE(run.err.find("2 scans mapped"), std::string::npos) << run.err;
    EXPECT_EQ(lastLine(run.err).rfind("scanlog: " + log + ": line 3: FLASER line with 181 ranges needs", 0), 0u)
        << run.err;
}

TEST(MapCommand, RefusalsAndMistakes) {
    TempDir folder;
    const std::string log = folder.file("room.log", roomLog());
    const std::string noScans = folder.file("plain.log", "LASER3 3 1 1 1 1.0 host 1.0\n");
    const std::string noPoses =
        folder.file("raw.log", "RAWLASER1 0 -1.5 3.1 0.01 8.0 0.01 0 3 1 1 1 0 1.0 host 1.0\n");
    const std::string scanFile = folder.file("scans", "1 100 100\n");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;  // the last line starts so
        std::string output;   // must not be written
    } cases[] = {
        {{"map", log, "-o", folder.path + "/m.jpg"}, 2, "scanlog: -o " + folder.path + "/m.jpg: the map is", "m.jpg"},
        {{"map", log}, 2, "scanlog: --output is required", ""},
        {{"map", "--laser-pose", "1,2", log, "-o", folder.path + "/m.png"}, 2, "scanlog: --laser-pose 1,2:", "m.png"},
        {{"map", "--resolution", "0", log, "-o", folder.path + "/m.png"}, 2, "scanlog: --resolution", "m.png"},
        {{"map", "--resolution", "0.0001", log, "-o", folder.path + "/m.png"}, 1,
         "scanlog: " + log + ": the map would be 60001 cells on a side at 0.0001 m a cell, more than 20000; "
         "try --resolution 0.0004", "m.png"},
        {{"map", noPoses, "-o", folder.path + "/m.png"}, 1, "scanlog: " + noPoses + ": the log holds no poses for its scans",
         "m.png"},
        {{"map", noScans, "-o", folder.path + "/m.png"}, 1, "scanlog: " + noScans + ": no scan could be placed", "m.png"},
        {{"map", scanFile, "-o", folder.path + "/m.png"}, 1, "scanlog: " + scanFile + ": a scan file holds no poses",
         "m.png"},
    };
    for (const Case& c : cases) {
        const ProgramResult run = scanlog(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(lastLine(run.err).rfind(c.message, 0), 0u) << run.err;
        if (!c.output.empty()) {
            EXPECT_FALSE(std::filesystem::exists(folder.path + "/" + c.output)) << run.err;
        }
    }
}

TEST(MapCommand, RawLaserScansArePlacedByTheOdometryAroundThem) {
    TempDir folder;
    std::string ranges;
    for (int k = 0; k < 181; ++k) ranges += " 2.0";
    const auto raw = [&](const std::string& stamp) {
        return "RAWLASER1 0 -1.570796 3.141593 0.017453 8.0 0.01 0 181" + ranges + " 0 " + stamp + " host " + stamp + "\n";
    };
    const auto odom = [](const std::string& x, const std::string& stamp) {
        return "ODOM " + x + " 0 0 0 0 0 " + stamp + " host " + stamp + "\n";
    };
    // Scans at 0.5 s (before the odometry), 1.5 s and 2.5 s (between samples), 3.9 s (0.9 s from
    // the nearest sample) and 5.5 s (after the last).
    const std::string log = folder.file("raw.log", raw("0.5") + odom("0", "1.0") + raw("1.5") + odom("1", "2.0") +
                                                       raw("2.5") + odom("2", "3.0") + raw("3.9") + odom("4", "5.0") +
                                                       raw("5.5"));
    const ProgramResult run = scanlog({"map", log, "-o", folder.path + "/raw.yaml", "--laser-pose", "0.5,0,0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("2 scans mapped, 3 left out (2 outside the poses' time span, 1 more than 0.5 s from a "
                           "pose); poses from odometry (4 samples, interpolated); the laser's offset from --laser-pose"),
              std::string::npos)
        << run.err;
    // The laser at x 1.0 and 2.0 (the robot at 0.5 and 1.5, the laser half a metre ahead),
    // its beams from -90 to +90 degrees: the map starts 20 cells (1 m) left of cell 20 (x 1.0),
    // and 20 cells below the lowest wall, 2 m below the laser (cell -40).
    EXPECT_NE(readFile(folder.path + "/raw.yaml").find("origin: [0, -3, 0.0]"), std::string::npos)
        << readFile(folder.path + "/raw.yaml");
}

bool haveShared() { return std::filesystem::exists(kShared + "/formats/README.md"); }

TEST(MapCommand, RealCorrectedLogs) {
    if (!haveShared()) GTEST_SKIP() << "../shared/data is not beside the project: the real samples are not checked";
    TempDir folder;
    for (const std::string name : {"csail", "freiburg-101", "orebro"}) {
        const std::string log = kShared + "/formats/carmen/ple_" + name + "-corrected.log.gz";
        const ProgramResult run = scanlog({"map", log, "-o", folder.path + "/" + name + ".png"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(" 0 left out; poses from the FLASER lines"), std::string::npos) << run.err;
    }
}

}  // namespace
