// The ROS 1 bag reader, on bags written here with rosbag::Bag (then damaged byte by byte), and
// the choice of the LaserScan topic that all bag readers share.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <limits>
#include <rosbag/bag.h>
#include <sensor_msgs/Imu.h>
#include <sensor_msgs/LaserScan.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "formats/isolated_reader.hpp"
#include "stream/log_source.hpp"
#include "formats/topics.hpp"

namespace {

TEST(TopicChoice, ChoosesOrSaysWhy) {
    const TopicCount imu{"/imu", "sensor_msgs/Imu", 50}, front{"/front_scan", "sensor_msgs/LaserScan", 1200},
        rear{"/rear_scan", "sensor_msgs/LaserScan", 1187}, bare{"right_scan", "sensor_msgs/LaserScan", 1},
        ros2{"/scan", "sensor_msgs/msg/LaserScan", 7};
    const std::vector<TopicCount> many(11, {"/t", "std_msgs/String", 1});
    const std::string t = "/t (std_msgs/String), ";
    const std::string frontOnly = "LaserScan topics: /front_scan (1200 messages)";
    const std::vector<std::tuple<std::vector<TopicCount>, std::string, std::string>> cases{
        {{imu, front}, "", "/front_scan"},
        {{imu, ros2}, "", "/scan"},
        {{bare, imu}, "/right_scan", "right_scan"},
        {{front, rear}, "rear_scan", "/rear_scan"},
        {{bare, {"/right_scan", "sensor_msgs/LaserScan", 3}}, "right_scan", "right_scan"},
        {{front, imu, rear}, "",
         "error: several LaserScan topics; choose one with --topic: /front_scan (1200 messages), /rear_scan (1187 "
         "messages)"},
        {{imu}, "", "error: no sensor_msgs/LaserScan topic (topics: /imu (sensor_msgs/Imu))"},
        {{}, "", "error: no sensor_msgs/LaserScan topic (topics: the bag has none)"},
        {many, "", "error: no sensor_msgs/LaserScan topic (topics: " + t + t + t + t + t + t + t +
                       "/t (std_msgs/String) and 3 more)"},
        {{front, imu}, "/back", "error: no topic /back in the bag; " + frontOnly},
        {{bare, imu}, "//right_scan", "error: no topic //right_scan in the bag; LaserScan topics: right_scan (1 message)"},
        {{imu}, "/back", "error: no topic /back in the bag; the bag has no LaserScan topic"},
        {{front, imu}, "imu", "error: topic /imu holds sensor_msgs/Imu, not LaserScan; " + frontOnly}};
    for (const auto& [topics, wanted, expected] : cases) {
        std::string chosen, error;
        const bool ok = chooseLaserScanTopic(topics, wanted, chosen, error);
        EXPECT_EQ(ok ? chosen : "error: " + error, expected) << "wanted: " << wanted;
    }
}

// ---- bags ---------------------------------------------------------------------------------

// The bags are read in a child process: whatever the read's end, it must have been reaped.
void expectNoChildLeft() {
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

struct Collected {
    int begins = 0;
    LogInfo info;
    std::vector<RawScan> scans;
    std::size_t stopAfter = std::numeric_limits<std::size_t>::max();
};

bool readInto(const std::string& file, const std::string& topic, Collected& c, std::string& error) {
    RawScanSink sink;
    sink.begin = [&c](const LogInfo& info) { ++c.begins, c.info = info; };
    sink.scan = [&c](const RawScan& scan) {
        c.scans.push_back(scan);
        return c.scans.size() < c.stopAfter;
    };
    return readRos1Bag(file, file, LogOptions{topic, "", StampMode::relative}, sink, error);
}

// Scan i: 50 beams with a NaN and an infinity; every third has a zero header stamp and so takes
// its record time; seconds beyond 2^31 catch a signed conversion.
sensor_msgs::LaserScan laserScan(int i) {
    sensor_msgs::LaserScan m;
    if (i % 3 != 1) m.header.stamp = ros::Time(4000000000u + i, i);
    m.angle_min = -1.3f - i * 0.01f;
    m.angle_increment = i % 2 ? 0.0123f : -0.0123f;
    m.range_min = 0.05f;
    m.range_max = 30.5f + i;  // also marks scan i in the bag's bytes
    for (int k = 0; k < 50; ++k) m.ranges.push_back(0.001f * (k + 1) * (i + 1));
    m.ranges[7] = std::numeric_limits<float>::quiet_NaN();
    m.ranges[8] = std::numeric_limits<float>::infinity();
    m.intensities.assign(50, 1.5f);
    return m;
}

ros::Time recordTime(int i) { return ros::Time(2000000000u + i, 7); }

void expectScan(const RawScan& got, int i) {
    const sensor_msgs::LaserScan m = laserScan(i);
    const std::int64_t stamp = i % 3 == 1 ? 2000000000'000000007 + i * 1000000000LL : (4000000000LL + i) * 1000000000 + i;
    EXPECT_EQ(got.stampNs, stamp) << "scan " << i;
    EXPECT_EQ(got.angleMin, double(m.angle_min));
    EXPECT_EQ(got.angleIncrement, double(m.angle_increment));
    EXPECT_EQ(got.rangeMin, double(m.range_min));
    EXPECT_EQ(got.rangeMax, double(m.range_max));
    EXPECT_FALSE(got.rangeMaxIsNoReturn);
    ASSERT_EQ(got.ranges.size(), m.ranges.size());
    for (std::size_t k = 0; k < m.ranges.size(); ++k) {
        EXPECT_TRUE(got.ranges[k] == double(m.ranges[k]) || (k == 7 && std::isnan(got.ranges[k]))) << i << " " << k;
    }
}

TEST(Ros1BagFile, MissingIsOneLine) {
    Collected c;
    std::string error;
    EXPECT_FALSE(readInto("/nonexistent/none.bag", "", c, error));
    EXPECT_EQ(error, "cannot open /nonexistent/none.bag: No such file or directory");
    EXPECT_EQ(c.begins, 1);
}

class Ros1Bag : public testing::TestWithParam<rosbag::CompressionType> {
protected:
    void SetUp() override {
        char folder[] = "/tmp/ros1_bag_tests_XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir = folder;
        file = dir + "/test.bag";
    }
    void TearDown() override { unlink(file.c_str()), rmdir(dir.c_str()); }
    // `count` scans on /scan, with an Imu message on /imu after each; small chunks, so many.
    void write(rosbag::CompressionType compression, int count, bool imu = true, const char* extraScan = nullptr) {
        rosbag::Bag bag(file, rosbag::bagmode::Write);
        bag.setCompression(compression);
        bag.setChunkThreshold(2048);
        for (int i = 0; i < count; ++i) {
            bag.write("/scan", recordTime(i), laserScan(i));
            if (imu) bag.write("/imu", recordTime(i), sensor_msgs::Imu());
        }
        if (extraScan != nullptr) bag.write(extraScan, recordTime(0), laserScan(0));
    }
    std::string bytes() {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void replace(const std::string& content) { std::ofstream(file, std::ios::binary) << content; }
    void expectError(const std::string& expected, std::size_t scans, bool prefixOnly = false) {
        Collected c;
        std::string error;
        EXPECT_FALSE(readInto(file, "", c, error));
        EXPECT_EQ(prefixOnly ? error.substr(0, file.size() + 2 + expected.size()) : error, file + ": " + expected);
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        expectNoChildLeft();
        ASSERT_EQ(c.scans.size(), scans) << error;
        for (std::size_t i = 0; i < scans; ++i) expectScan(c.scans[i], int(i));
    }
    std::string dir, file;
};

TEST_P(Ros1Bag, ReadsEveryScanWithItsGeometryAndStamp) {
    write(GetParam(), 20);
    Collected c;
    std::string error;
    ASSERT_TRUE(readInto(file, "", c, error)) << error;
    EXPECT_EQ(c.begins, 1);
    EXPECT_EQ(c.info.format, "ROS 1 bag");
    EXPECT_EQ(c.info.topic, "/scan");
    EXPECT_EQ(c.info.scanCount, 20u);
    ASSERT_EQ(c.scans.size(), 20u);
    for (int i = 0; i < 20; ++i) expectScan(c.scans[i], i);
}

// The third chunk's compressed bytes overwritten: the scans of the first two are handed over.
class CompressedBag : public Ros1Bag {};

TEST_P(CompressedBag, DamagedChunkEndsAfterTheScansBeforeIt) {
    write(GetParam(), 40, false);
    const std::string whole = bytes();
    std::size_t chunk = 0;
    for (int n = 0; n < 3; ++n) chunk = whole.find("compression=", chunk + 1);
    ASSERT_NE(chunk, std::string::npos);
    for (std::size_t at : {100, 200}) {
        std::string content = whole;
        for (std::size_t k = 0; k < 64; ++k) content[chunk + at + k] ^= 0x5a;
        replace(content);
        Collected c;
        std::string error;
        EXPECT_FALSE(readInto(file, "", c, error));
        ASSERT_GT(c.scans.size(), 1u);  // then the same read, checked in full
        expectError("message " + std::to_string(c.scans.size() + 1) + ": damaged compressed chunk (", c.scans.size(), true);
    }
    // rosbag reads every chunk's header when it opens the bag.
    std::string content = whole;
    content[chunk + 30] ^= 0x5a;
    replace(content);
    expectError("damaged bag (", 0, true);
}

TEST_P(Ros1Bag, StopsWhenTheSinkWantsNoMore) {
    write(GetParam(), 10);
    Collected c;
    c.stopAfter = 3;
    std::string error;
    EXPECT_TRUE(readInto(file, "", c, error)) << error;
    EXPECT_EQ(c.scans.size(), 3u);
    expectNoChildLeft();
}

// rosbag trusts the offsets in a chunk's index: one pointing 4 GB past the chunk makes it read
// there and crash (it took scanlog down with it while rosbag ran in scanlog's own process).
// Scan 7's index entry is its record time followed by the offset; the same time inside the
// message's own record (and the chunk's compressed bytes) come before it.
TEST_P(Ros1Bag, CrashOfTheLibraryEndsAfterTheScansBeforeIt) {
    write(GetParam(), 40, false);
    std::string content = bytes();
    const ros::Time time = recordTime(7);
    const std::string entry(reinterpret_cast<const char*>(&time.sec), 4);
    const std::size_t at = content.rfind(entry + std::string(reinterpret_cast<const char*>(&time.nsec), 4));
    ASSERT_NE(at, std::string::npos);
    const std::uint32_t farAway = 0xffffff00;
    std::memcpy(&content[at + 8], &farAway, 4);
    replace(content);
    expectError("message 8: the bag is damaged: the ROS bag library crashed reading it (Segmentation fault)", 7);
}

// A scan larger than the pipe and the buffer it is read into, then a small one after it.
TEST_P(Ros1Bag, ScansLargerThanThePipeArriveWhole) {
    sensor_msgs::LaserScan large = laserScan(0);
    large.ranges.resize(400000);
    for (std::size_t k = 0; k < large.ranges.size(); ++k) large.ranges[k] = 0.25f + k;
    large.intensities.clear();
    {
        rosbag::Bag bag(file, rosbag::bagmode::Write);
        bag.setCompression(GetParam());
        bag.write("/scan", recordTime(0), large);
        bag.write("/scan", recordTime(1), laserScan(1));
    }
    Collected c;
    std::string error;
    ASSERT_TRUE(readInto(file, "", c, error)) << error;
    ASSERT_EQ(c.scans.size(), 2u);
    ASSERT_EQ(c.scans[0].ranges.size(), large.ranges.size());
    for (std::size_t k = 0; k < large.ranges.size(); k += 997) EXPECT_EQ(c.scans[0].ranges[k], 0.25 + k);
    expectScan(c.scans[1], 1);
}

TEST_P(Ros1Bag, TopicErrorsNameTheFileAndHandOverNothing) {
    write(GetParam(), 2, true, "rear");
    const std::string scans = "/scan (2 messages), rear (1 message)";
    for (const auto& [wanted, expected] :
         {std::pair<std::string, std::string>{"", "several LaserScan topics; choose one with --topic: " + scans},
          {"/imu", "topic /imu holds sensor_msgs/Imu, not LaserScan; LaserScan topics: " + scans}}) {
        Collected c;
        std::string error;
        EXPECT_FALSE(readInto(file, wanted, c, error));
        EXPECT_EQ(error, file + ": " + expected);
        EXPECT_EQ(c.begins, 1);
        EXPECT_EQ(c.info.format, "ROS 1 bag");
        // The LaserScan topics come across from the reading process, for a report on each.
        EXPECT_EQ(c.info.laserScanTopics, (std::vector<std::string>{"/scan", "rear"}));
        EXPECT_TRUE(c.scans.empty());
    }
}

// Fields of scan 2's serialised bytes overwritten in an uncompressed bag, found by its
// range_max; offsets from there: -44 the record's data length, -28 the frame name's length, 4
// the ranges' count, 208 the intensities' count.
class PlainBag : public Ros1Bag {};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST_P(PlainBag, DamagedMessagesAreReportedWithTheirNumber) {
    write(GetParam(), 4);
    const std::string whole = bytes();
    const float marker = 32.5f;
    const std::uint32_t beams = 50;
    const std::size_t at = whole.find(std::string(reinterpret_cast<const char*>(&marker), 4) +
                                      std::string(reinterpret_cast<const char*>(&beams), 4));
    ASSERT_NE(at, std::string::npos);
    std::vector<std::tuple<int, std::uint32_t, std::string>> cases{
        {4, 0xffffffff, "LaserScan ranges end after 101 of 4294967295 values"},
        {4, 102, "LaserScan ranges end after 101 of 102 values"},
        {208, 51, "LaserScan intensities end after 50 of 51 values"},
        {-28, 1000, "LaserScan message of 452 bytes ends inside its fixed fields"}};
    // rosbag asks for 2 GB for the message (and then reads past its own buffer); the child's
    // memory limit refuses it at once. A sanitizer build has no limit.
    if (!kSanitized) cases.push_back({-44, 0x7ffffff0, "damaged chunk (it asks for more memory than there is)"});
    for (const auto& [offset, value, expected] : cases) {
        std::string content = whole;
        std::memcpy(&content[at + offset], &value, 4);
        replace(content);
        expectError("message 3: " + expected, 2);
    }
    std::string content = whole;
    for (std::size_t md5 = 0; (md5 = content.find("90c7ef2dc6895d81024acba2ac42f369", md5)) != std::string::npos;) {
        content.replace(md5, 32, "0123456789abcdef0123456789abcdef");
    }
    replace(content);
    expectError("message 1: sensor_msgs/LaserScan of another definition (md5sum 0123456789abcdef0123456789abcdef)", 0);
}

// Cut copies: in the file's header, inside a chunk, at and inside the index. rosbag needs the
// index before it reads any message, so they fail when the bag is opened.
TEST_P(Ros1Bag, CutBagsFailInOneLine) {
    write(GetParam(), 40);
    const std::string whole = bytes();
    const std::size_t indexPos = whole.find("index_pos=") + 10;
    std::uint64_t index = 0;
    std::memcpy(&index, &whole[indexPos], 8);
    for (std::size_t size : {std::size_t(0), std::size_t(13), std::size_t(20), whole.size() / 2, std::size_t(index),
                             std::size_t(index + 30), whole.size() - 5}) {
        replace(whole.substr(0, size));
        expectError("cannot read the bag's header and index; the file may be cut short (Error reading ", 0, true);
    }
    // Stopped before it was closed: no index, and the header still says so.
    replace(whole.substr(0, indexPos) + std::string(8, '\0') + whole.substr(indexPos + 8, whole.size() / 2));
    expectError("the bag has no index (recording stopped before it was closed); rebuild it with `rosbag reindex`", 0);
}

INSTANTIATE_TEST_SUITE_P(Compressions, Ros1Bag,
                         testing::Values(rosbag::compression::Uncompressed, rosbag::compression::LZ4,
                                         rosbag::compression::BZ2));
INSTANTIATE_TEST_SUITE_P(Compressions, CompressedBag,
                         testing::Values(rosbag::compression::LZ4, rosbag::compression::BZ2));
INSTANTIATE_TEST_SUITE_P(Plain, PlainBag, testing::Values(rosbag::compression::Uncompressed));

// ---- the child process --------------------------------------------------------------------

// What the child reads is relayed as it was; however the child ends, the sink hears of it
// once, after the scans before it.
TEST(ReadInChild, RelaysScansAndReportsHowTheChildEnded) {
    const double awkward[] = {0.1, 1e300, -std::numeric_limits<double>::infinity(), 3.25f};
    const auto scans = [&awkward](int count, const RawScanSink& sink) {
        LogInfo info;
        info.format = "test log", info.topic = "/t", info.scanCount = 5;
        sink.begin(info);
        for (int i = 0; i < count; ++i) {
            RawScan scan;
            scan.stampNs = -i, scan.angleMin = 0.3, scan.rangeMaxIsNoReturn = true;
            scan.ranges.assign(std::begin(awkward), std::begin(awkward) + (i == 0 ? 4 : 1));  // doubles, then floats
            sink.scan(scan);
        }
    };
    const std::string crash = "log: message 3: the log is damaged: it crashed";
    const std::vector<std::tuple<std::function<bool(const RawScanSink&, std::string&)>, int, std::string>> cases{
        {[&](const RawScanSink& sink, std::string&) { return scans(2, sink), true; }, 2, ""},
        {[&](const RawScanSink& sink, std::string& e) { return scans(1, sink), e = "log: its own words", false; }, 1,
         "log: its own words"},
        {[&](const RawScanSink& sink, std::string&) { return scans(2, sink), raise(SIGSEGV), true; }, 2,
         crash + " (Segmentation fault)"},
        {[&](const RawScanSink& sink, std::string&) { return scans(2, sink), _exit(3), true; }, 2,
         crash + " (exit status 3)"},
        {[&](const RawScanSink& sink, std::string&) -> bool { scans(2, sink), throw std::runtime_error("x"); }, 2,
         crash + " (Aborted)"},
        {[&](const RawScanSink& sink, std::string&) { return scans(5, sink), abort(), true; }, 5,
         "log: the log is damaged: it crashed (Aborted)"},
        {[](const RawScanSink&, std::string&) { return raise(SIGSEGV), true; }, 0,
         "log: the log is damaged: it crashed (Segmentation fault)"}};
    for (const auto& [read, count, expected] : cases) {
        ChildReading how{"log", {}, "the log is damaged: it crashed", {}};
        how.before.format = "before";
        std::vector<LogInfo> begins;
        std::vector<RawScan> got;
        RawScanSink sink;
        sink.begin = [&begins](const LogInfo& info) { begins.push_back(info); };
        sink.scan = [&got](const RawScan& scan) { return got.push_back(scan), true; };
        std::string error;
        EXPECT_EQ(readInChild(how, read, sink, error), expected.empty()) << expected;
        EXPECT_EQ(error, expected);
        expectNoChildLeft();
        ASSERT_EQ(begins.size(), 1u) << expected;
        EXPECT_EQ(begins[0].format + " " + begins[0].topic, count == 0 ? "before " : "test log /t");
        ASSERT_EQ(got.size(), std::size_t(count)) << expected;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(got[i].stampNs, -i);
            EXPECT_EQ(got[i].angleMin, 0.3);
            EXPECT_TRUE(got[i].rangeMaxIsNoReturn);
            EXPECT_EQ(got[i].ranges, std::vector<double>(std::begin(awkward), std::begin(awkward) + (i == 0 ? 4 : 1)));
        }
    }
}

// A lock held by another thread stays held in a forked child: a process with threads reads in
// its own process.
TEST(ReadInChild, OnlyASingleThreadedProcessForks) {
    EXPECT_TRUE(canReadInChild());
    std::promise<void> release;
    std::thread other([future = release.get_future()]() mutable { future.wait(); });
    EXPECT_FALSE(canReadInChild());
    release.set_value();
    other.join();
    EXPECT_TRUE(canReadInChild());
}

}  // namespace
