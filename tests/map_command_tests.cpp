// scanlog map as a user runs it: logs written here, the map files it leaves, its messages and
// exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <geometry_msgs/PoseStamped.h>
#include <opencv2/imgcodecs.hpp>
#include <rosbag/bag.h>
#include <sensor_msgs/LaserScan.h>
#include <sqlite3.h>
#include <string>
#include <tf2_msgs/TFMessage.h>
#include <vector>

#include "cdr_writer.hpp"
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

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

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

// ---- ROS 1 bags ---------------------------------------------------------------------------

namespace ros1 {

constexpr double kLaserX = 0.2;  // the laser 20 cm ahead of the robot's centre

ros::Time at(double seconds) { return ros::Time(1700000000.0 + seconds); }

// The robot's pose at `seconds`: driving along x and turning a little.
geometry_msgs::Pose robotPose(double seconds) {
    geometry_msgs::Pose pose;
    pose.position.x = 0.5 * seconds;
    pose.position.y = 0.1 * seconds;
    const double yaw = 0.3 * seconds;
    pose.orientation.z = std::sin(yaw / 2);
    pose.orientation.w = std::cos(yaw / 2);
    return pose;
}

geometry_msgs::TransformStamped transformOf(const std::string& parent, const std::string& child, double seconds,
                                          const geometry_msgs::Pose& pose) {
    geometry_msgs::TransformStamped t;
    t.header.stamp = at(seconds);
    t.header.frame_id = parent;
    t.child_frame_id = child;
    t.transform.translation.x = pose.position.x;
    t.transform.translation.y = pose.position.y;
    t.transform.rotation = pose.orientation;
    return t;
}

enum class Poses { topic, topicWithoutStaticTransform, transforms, none, twoTopics };

// Scans at 10 Hz, poses at 25 Hz, for 3 seconds; the laser's mounting on /tf_static.
void writeBag(const std::string& path, Poses poses) {
    rosbag::Bag bag(path, rosbag::bagmode::Write);
    if (poses != Poses::topicWithoutStaticTransform && poses != Poses::none) {
        geometry_msgs::Pose mounting;
        mounting.position.x = kLaserX;
        mounting.orientation.w = 1;
        tf2_msgs::TFMessage fixed;
        fixed.transforms.push_back(transformOf("base_link", "laser", 0, mounting));
        bag.write("/tf_static", at(0), fixed);
    }
    for (int k = 0; k <= 75; ++k) {
        const double t = k / 25.0;
        if (poses == Poses::transforms) {
            tf2_msgs::TFMessage moving;
            moving.transforms.push_back(transformOf("map", "base_link", t, robotPose(t)));
            bag.write("/tf", at(t), moving);
        } else if (poses != Poses::none) {
            geometry_msgs::PoseStamped pose;
            pose.header.stamp = at(t);
            pose.header.frame_id = "map";
            pose.pose = robotPose(t);
            bag.write("/robot_pose", at(t), pose);
            if (poses == Poses::twoTopics) bag.write("/other_pose", at(t), pose);
        }
    }
    for (int k = 0; k < 30; ++k) {
        const double t = 0.05 + k / 10.0;
        sensor_msgs::LaserScan scan;
        scan.header.stamp = at(t);
        scan.header.frame_id = "laser";
        scan.angle_min = -1.5f;
        scan.angle_increment = 0.01f;
        scan.range_min = 0.1f;
        scan.range_max = 30;
        for (int beam = 0; beam < 301; ++beam) scan.ranges.push_back(2.0f + 0.5f * std::sin(beam * 0.05f + k));
        bag.write("/scan", at(t), scan);
    }
    bag.close();
}

}  // namespace ros1

TEST(MapCommandRos1, APoseTopicAndTheSameTransformsGiveTheSameMap) {
    TempDir folder;
    struct Case {
        ros1::Poses poses;
        std::vector<std::string> options;
        std::string source;  // in the summary
    } cases[] = {
        {ros1::Poses::topic, {}, "poses from /robot_pose (76 samples, interpolated); the laser's offset from /tf_static "
                                 "(base_link to laser)"},
        {ros1::Poses::transforms, {}, "poses from /tf, map to laser through 2 transforms (1 moving) (76 samples"},
        {ros1::Poses::topicWithoutStaticTransform, {"--laser-pose", "0.2,0,0"},
         "poses from /robot_pose (76 samples, interpolated); the laser's offset from --laser-pose"},
        {ros1::Poses::twoTopics, {"--pose", "robot_pose"}, "poses from /robot_pose"},
    };
    std::string first;
    for (const Case& c : cases) {
        const std::string bag = folder.path + "/poses.bag";
        ros1::writeBag(bag, c.poses);
        std::vector<std::string> arguments{"map", bag, "-o", folder.path + "/poses.yaml"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProgramResult run = scanlog(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("30 scans mapped, 0 left out; " + c.source), std::string::npos) << run.err;
        const std::string pgm = readFile(folder.path + "/poses.pgm");
        if (first.empty()) {
            first = pgm;
            // Walls 1.5 to 2.5 m around a path of 1.5 m: some of each kind of cell.
            EXPECT_NE(pgm.find('\x00', 15), std::string::npos);
            EXPECT_NE(pgm.find('\xfe'), std::string::npos);
        }
        EXPECT_TRUE(pgm == first) << "the map differs with " << run.err;
    }
}

TEST(MapCommandRos1, WithoutAChoiceOfPosesOneLineSaysWhatThereIs) {
    TempDir folder;
    struct Case {
        ros1::Poses poses;
        std::string message;
    } cases[] = {
        {ros1::Poses::none, "no poses for the scans in frame \"laser\": /tf does not reach it from odom (frames: none), "
                            "and pose topics: none; choose with --pose TOPIC or --fixed-frame FRAME"},
        {ros1::Poses::twoTopics, "no poses for the scans in frame \"laser\": /tf does not reach it from odom (frames: "
                                 "base_link, laser), and pose topics: /other_pose, /robot_pose; choose with --pose"},
    };
    for (const Case& c : cases) {
        const std::string bag = folder.path + "/poses.bag";
        ros1::writeBag(bag, c.poses);
        const ProgramResult run = scanlog({"map", bag, "-o", folder.path + "/poses.png"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(lastLine(run.err).rfind("scanlog: " + bag + ": " + c.message, 0), 0u) << run.err;
        EXPECT_EQ(lineCount(run.err), 1u) << run.err;
        EXPECT_FALSE(std::filesystem::exists(folder.path + "/poses.png"));
    }
}

// ---- ROS 2 bags (SQLite) ------------------------------------------------------------------

namespace ros2 {

using Bytes = std::vector<unsigned char>;

struct Row {
    std::int64_t topicId;
    std::uint64_t timestamp;
    Bytes data;
};

Bytes bytesOf(const CdrWriter& w) { return Bytes(w.bytes.begin(), w.bytes.end()); }

void header(CdrWriter& w, double seconds, const std::string& frame) {
    const ros::Time stamp = ros1::at(seconds);
    cdrUint32(w, stamp.sec);
    cdrUint32(w, stamp.nsec);
    cdrString(w, frame);
}

void pose(CdrWriter& w, const geometry_msgs::Pose& p) {
    for (const double value : {p.position.x, p.position.y, p.position.z, p.orientation.x, p.orientation.y,
                               p.orientation.z, p.orientation.w})
        cdrDouble(w, value);
}

Bytes poseStamped(double seconds) {
    CdrWriter w = startCdr(false);
    header(w, seconds, "map");
    pose(w, ros1::robotPose(seconds));
    return bytesOf(w);
}

Bytes transforms(double seconds, const std::string& parent, const std::string& child, const geometry_msgs::Pose& p) {
    CdrWriter w = startCdr(true);
    cdrUint32(w, 1);
    header(w, seconds, parent);
    cdrString(w, child);
    pose(w, p);
    return bytesOf(w);
}

Bytes scan(double seconds, int k) {
    CdrWriter w = startCdr(false);
    header(w, seconds, "laser");
    std::vector<float> ranges;
    for (int beam = 0; beam < 301; ++beam) ranges.push_back(2.0f + 0.5f * std::sin(beam * 0.05f + k));
    for (const float value : {-1.5f, 1.5f, 0.01f, 0.0f, 0.1f, 0.1f, 30.0f}) cdrFloat(w, value);
    cdrFloats(w, ranges);
    cdrFloats(w, {});
    return bytesOf(w);
}

void exec(sqlite3* db, const std::string& sql) { ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }

// The scenario of the ROS 1 bags, as rosbag2 stores it: topics 1 /scan, 2 /robot_pose,
// 3 /tf, 4 /tf_static.
void writeBag(const std::string& file, bool withTransforms) {
    std::vector<Row> rows;
    geometry_msgs::Pose mounting;
    mounting.position.x = ros1::kLaserX;
    mounting.orientation.w = 1;
    rows.push_back({4, ros1::at(0).toNSec(), transforms(0, "base_link", "laser", mounting)});
    for (int k = 0; k <= 75; ++k) {
        const double t = k / 25.0;
        if (withTransforms) {
            rows.push_back({3, ros1::at(t).toNSec(), transforms(t, "map", "base_link", ros1::robotPose(t))});
        } else {
            rows.push_back({2, ros1::at(t).toNSec(), poseStamped(t)});
        }
    }
    for (int k = 0; k < 30; ++k) rows.push_back({1, ros1::at(0.05 + k / 10.0).toNSec(), scan(0.05 + k / 10.0, k)});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    exec(db, "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
             "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL);"
             "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, timestamp INTEGER NOT NULL, "
             "data BLOB NOT NULL); CREATE INDEX timestamp_idx ON messages (timestamp ASC); BEGIN;"
             "INSERT INTO topics VALUES (1, '/scan', 'sensor_msgs/msg/LaserScan', 'cdr', ''),"
             "(2, '/robot_pose', 'geometry_msgs/msg/PoseStamped', 'cdr', ''),"
             "(3, '/tf', 'tf2_msgs/msg/TFMessage', 'cdr', ''), (4, '/tf_static', 'tf2_msgs/msg/TFMessage', 'cdr', '')");
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO messages (topic_id, timestamp, data) VALUES (?, ?, ?)", -1, &insert,
                                 nullptr),
              SQLITE_OK);
    for (const Row& row : rows) {
        sqlite3_bind_int64(insert, 1, row.topicId);
        sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(row.timestamp));
        sqlite3_bind_blob(insert, 3, row.data.data(), static_cast<int>(row.data.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    exec(db, "COMMIT");
    ASSERT_EQ(sqlite3_close(db), SQLITE_OK);
}

}  // namespace ros2

TEST(MapCommandRos2, SqliteBagsGiveTheMapOfTheSameRos1Bag) {
    TempDir folder;
    ros1::writeBag(folder.path + "/one.bag", ros1::Poses::topic);
    ASSERT_EQ(scanlog({"map", folder.path + "/one.bag", "-o", folder.path + "/one.yaml"}).status, 0);
    const std::string expected = readFile(folder.path + "/one.pgm");
    for (const bool withTransforms : {false, true}) {
        const std::string bag = folder.path + (withTransforms ? "/tf.db3" : "/pose.db3");
        ros2::writeBag(bag, withTransforms);
        const ProgramResult run = scanlog({"map", bag, "-o", folder.path + "/two.yaml"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("30 scans mapped, 0 left out; poses from " +
                               std::string(withTransforms ? "/tf, map to laser" : "/robot_pose")),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(readFile(folder.path + "/two.pgm") == expected) << run.err;
    }
}

}  // namespace

