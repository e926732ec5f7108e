// The CARMEN log reader, on logs held in memory and served in chunks of any size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include "formats/format_reader.hpp"
#include "stream/log_source.hpp"
#include "stream/recognise.hpp"
#include "stream/records.hpp"

namespace {

constexpr double kPi = 3.141592653589793;

// Serves `text` in pieces of at most `chunk` bytes, failing with EIO at byte `failAt`.
struct TextSource {
    std::string text;
    std::size_t chunk, failAt, at = 0;
};

ssize_t readText(void* context, char* into, std::size_t size) {
    auto& s = *static_cast<TextSource*>(context);
    if (s.at == s.failAt) {
        errno = EIO;
        return -1;
    }
    const std::size_t n = s.text.copy(into, std::min({size, s.chunk, s.failAt - s.at}), s.at);
    s.at += n;
    return static_cast<ssize_t>(n);
}

struct Outcome {
    std::string error, topic;
    std::vector<RawScan> scans;
    std::size_t bytesRead = 0;
};

Outcome readCarmen(const std::string& text, const std::string& laser = "", std::size_t chunk = 1 << 16,
                   std::size_t failAt = std::string::npos, std::size_t stopAfter = 1000) {
    TextSource source{text, chunk, failAt};
    Outcome out;
    int begins = 0;
    RawScanSink sink;
    sink.begin = [&](const LogInfo& info) {
        EXPECT_EQ(info.format, LogFormat::carmen);
        out.topic = info.topic;
        ++begins;
    };
    sink.scan = [&](const RawScan& scan) {
        EXPECT_EQ(begins, 1) << "begin comes before the first scan";
        out.scans.push_back(scan);
        return out.scans.size() < stopAfter;
    };
    LogOptions options;
    options.laser = laser;
    const bool ok = readCarmenLog(ByteReader{readText, &source}, "log", options, sink, out.error);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ok, out.error.empty());
    out.bytesRead = source.at;
    return out;
}

std::string flaser(const std::vector<std::string>& ranges, const std::string& stamp = "1.5",
                   const std::string& kind = "FLASER") {
    std::string line = kind + " " + std::to_string(ranges.size());
    for (const std::string& range : ranges) line += " " + range;
    return line + " 0.1 0.2 0.3 0.4 0.5 0.6 " + stamp + " host 99.25\n";
}

// RAWLASERk, or ROBOTLASERk with its 11 pose and motion fields; two remissions.
std::string rawlaser(const std::string& kind, const std::string& config, const std::vector<std::string>& ranges,
                     const std::string& stamp) {
    std::string line = kind + " " + config + " " + std::to_string(ranges.size());
    for (const std::string& range : ranges) line += " " + range;
    line += " 2 17.0 18.0 ";
    if (kind.rfind("ROBOT", 0) == 0) line += "1 2 3 4 5 6 0.1 0.2 0.3 0.4 0.5 ";
    return line + stamp + " host 99.25\n";
}

// Beam i is 100 + i centimetres, so that every beam can be told apart after resampling.
std::vector<std::string> distinctRanges(int beams) {
    std::vector<std::string> ranges;
    for (int i = 0; i < beams; ++i) ranges.push_back(std::to_string(100 + i) + "e-2");
    return ranges;
}

ScanRecord resampled(const RawScan& scan) {
    ScanRecord record;
    resampleScan(scan, record);
    return record;
}

// Every field of every scan, to compare two readings of a log.
std::string describe(const Outcome& outcome) {
    std::string text = outcome.error;
    for (const RawScan& s : outcome.scans) {
        text += "|" + std::to_string(s.stampNs) + " " + std::to_string(s.angleMin) + " " +
                std::to_string(s.angleIncrement) + " " + std::to_string(s.rangeMax) + (s.rangeMaxIsNoReturn ? "!" : "");
        for (double range : s.ranges) text += " " + std::to_string(range);
    }
    return text;
}

TEST(CarmenLog, FlaserGeometryFollowsTheBeamCount) {
    // beams, step, readings from one beam to the next
    const std::tuple<int, double, int> cases[] = {{361, kPi / 360, 1}, {360, kPi / 360, 1}, {181, kPi / 180, 2},
                                                  {180, kPi / 180, 2}, {91, kPi / 90, 4},   {2, kPi, 360}};
    for (const auto& [beams, step, stride] : cases) {
        const Outcome out = readCarmen(flaser(distinctRanges(beams)));
        ASSERT_EQ(out.scans.size(), 1u) << out.error;
        EXPECT_EQ(out.scans[0].angleMin, -kPi / 2);
        EXPECT_EQ(out.scans[0].angleIncrement, step);
        const ScanRecord record = resampled(out.scans[0]);
        for (int k = 0; k < kReadingCount; ++k) {
            const bool hit = k % stride == 0 && k / stride < beams;
            ASSERT_EQ(record.readings[k], hit ? 100 + k / stride : kNoReturnCentimetres) << beams << " beams, " << k;
        }
    }
    std::vector<std::string> ranges(181, "81.91");
    ranges[0] = "1.234", ranges[1] = "0.0025", ranges[180] = "5";
    std::string line, expected = "1 123.4 8191 0.25";
    for (int k = 3; k < 360; ++k) expected += " 8191";
    appendScanLine("1", resampled(readCarmen(flaser(ranges)).scans.at(0)), line);
    EXPECT_EQ(line, expected + " 500\n");
}

TEST(CarmenLog, RawAndRobotLaserLinesGiveTheirOwnGeometry) {
    // CARMEN prints angles with 6 decimals: half a degree as 0.008727, a quarter as 0.004363.
    std::vector<std::string> half = distinctRanges(361);
    half[0] = "8.000", half[1] = "7.999", half[2] = "8.5", half[3] = "-0.5";  // maximum, just below, beyond
    const std::string halfConfig = "0 -1.570796 3.141593 0.008727 8.000 0.01 0";
    for (const std::string kind : {"RAWLASER1", "ROBOTLASER1"}) {
        const Outcome out = readCarmen(rawlaser(kind, halfConfig, half, "1771520011.719411"));
        ASSERT_EQ(out.scans.size(), 1u) << out.error;
        const RawScan& scan = out.scans[0];
        EXPECT_EQ(scan.angleMin, -1.570796);
        EXPECT_EQ(scan.angleIncrement, 0.008727);
        EXPECT_EQ(scan.rangeMax, 8);
        EXPECT_TRUE(scan.rangeMaxIsNoReturn);
        EXPECT_EQ(scan.stampNs, 1771520011719411000);
        const ScanRecord record = resampled(scan);
        EXPECT_EQ(std::vector<double>(record.readings.begin(), record.readings.begin() + 5),
                  (std::vector<double>{8191, 799.9, 8191, 8191, 104}));
        EXPECT_EQ(record.readings[360], 460);
    }
    // A 270-degree scanner at a quarter degree: beam 180 + 2k lands on reading k.
    const Outcome wide = readCarmen(rawlaser("ROBOTLASER2", "1 -2.356194 4.712389 0.004363 30 0.01 1",
                                             distinctRanges(1081), "3"), "ROBOTLASER2");
    ASSERT_EQ(wide.scans.size(), 1u) << wide.error;
    const ScanRecord record = resampled(wide.scans[0]);
    for (int k = 0; k < kReadingCount; k += 60) EXPECT_EQ(record.readings[k], 280 + 2 * k) << k;
}

// One line of every kind; each laser line's stamp tells which it was.
const std::string kMixedLog =
    "# CARMEN Logfile\nPARAM robot_front_laser_max 81.9 1.0 host 1.0\nODOM bad odometry never parsed\n\n   \t \n" +
    flaser(distinctRanges(3), "10") + flaser(distinctRanges(3), "11", "RLASER") +
    rawlaser("RAWLASER2", "0 -1.57 3.14 0.0087 8 0.01 0", {"1", "2"}, "12") +
    rawlaser("ROBOTLASER1", "0 -1.57 3.14 0.0087 8 0.01 0", {"1", "2"}, "13") +
    "NEFF 60\nSYNC tag 1 host 1\nTRUEPOS 1 2 3 4 5 6 7 host 7\n" + flaser({"1"}, "14") + "LASER3 2 1 1 15 host 15\n" +
    flaser({"1"}, "16", "FLASERX") + flaser({"x"}, "17", "flaser") + "  " + flaser({"1"}, "18");

std::vector<std::int64_t> seconds(const Outcome& out) {
    std::vector<std::int64_t> stamps;
    for (const RawScan& scan : out.scans) stamps.push_back(scan.stampNs / 1000000000);
    return stamps;
}

TEST(CarmenLog, TakesTheFrontLaserOrTheKindAskedFor) {
    const std::string config = "0 -1.57 3.14 0.0087 8 0.01 0";
    // The same scans logged twice: only the kind seen first is taken.
    const std::string robotThenRaw = rawlaser("ROBOTLASER1", config, {"1"}, "1") +
                                     rawlaser("RAWLASER1", config, {"1"}, "2") + flaser({"1"}, "3") +
                                     rawlaser("ROBOTLASER1", config, {"1"}, "4");
    const std::string front = "FLASER, ROBOTLASER1, RAWLASER1";
    const std::tuple<std::string, std::string, std::string, std::vector<std::int64_t>> cases[] = {
        {kMixedLog, "", "FLASER", {10, 14, 18}},        {kMixedLog, "RLASER", "RLASER", {11}},
        {kMixedLog, "RAWLASER2", "RAWLASER2", {12}},    {kMixedLog, "ROBOTLASER1", "ROBOTLASER1", {13}},
        {kMixedLog, "LASER3", "LASER3", {15}},          {kMixedLog, "RAWLASER7", "RAWLASER7", {}},
        {robotThenRaw, "", "ROBOTLASER1", {1, 4}},      {robotThenRaw, "RAWLASER1", "RAWLASER1", {2}},
        {"# comment\nODOM 1 2 3 4 5 6 7 h 7\n", "", front, {}}, {"", "", front, {}},
    };
    for (const auto& [log, laser, topic, stamps] : cases) {
        const Outcome out = readCarmen(log, laser);
        EXPECT_EQ(out.error, "");
        EXPECT_EQ(seconds(out), stamps) << "--laser " << laser;
        EXPECT_EQ(out.topic, topic);
    }
}

TEST(CarmenLog, StampsAreExactNanoseconds) {
    const std::pair<std::string, std::int64_t> cases[] = {
        {"1771520011.719411", 1771520011719411000}, {"1.13486e+09", 1134860000000000000},
        {"158.415", 158415000000},                  {"0", 0},
        {".5", 500000000},                          {"5.", 5000000000},
        {"1E-9", 1},                                {"4e-10", 0},
        {"5e-10", 1},                               {"5e-11", 0},
        {"1771520011.7194115", 1771520011719411500}, {"1.0000000015", 1000000002},
        {"-2.5", -2500000000},                      {"+3", 3000000000},
        {"0000000000000000000000001", 1000000000},  {"1000000000000000000000e-21", 1000000000},
        {"0e999999999", 0},                         {"9223372036.854775807", LLONG_MAX},
    };
    for (const auto& [text, ns] : cases) {
        const Outcome out = readCarmen(flaser({"1"}, text));
        ASSERT_EQ(out.scans.size(), 1u) << text << ": " << out.error;
        EXPECT_EQ(out.scans[0].stampNs, ns) << text;
    }
}

TEST(CarmenLog, LineEndsAndChunkSizesNeverChangeTheResult) {
    auto withEnds = [](const std::string& end) {
        std::string text;
        for (char c : kMixedLog) text += c == '\n' ? end : std::string(1, c);
        return text;
    };
    const std::string expected = describe(readCarmen(kMixedLog));
    const std::string damaged = "A\r\r\n\n\r" + flaser({"1", "2"}) + "\r" + flaser({"x"});
    for (const std::string& text : {kMixedLog, withEnds("\r\n"), withEnds("\r"), damaged}) {
        const std::string whole = describe(readCarmen(text));
        if (text != damaged) {
            EXPECT_EQ(whole, expected);
        }
        for (std::size_t chunk : {1, 2, 3, 7, 100}) EXPECT_EQ(describe(readCarmen(text, "", chunk)), whole) << chunk;
    }
    std::string unterminated = flaser({"1"}, "22");
    unterminated.pop_back();
    EXPECT_EQ(seconds(readCarmen(unterminated)), std::vector<std::int64_t>{22});
    // Line numbers count CRLF once and a lone CR as a line end.
    EXPECT_EQ(readCarmen("ODOM\r\n\r\rPARAM\r\n\rFLASER x\r").error,
              "log: line 6: FLASER beam count \"x\" is not a whole number from 0 to 1048576");
}

TEST(CarmenLog, DamageIsReportedWithItsLine) {
    const std::string good = flaser({"1", "2", "3"}), config = "0 -1.57 3.14 0.0087 8 0.01 0";
    const std::string count = " is not a whole number from 0 to 1048576", raw = "RAWLASER1 " + config;
    const std::string notLaser = " is not a laser line kind (FLASER, RLASER, LASER3, LASER4, RAWLASERn or ROBOTLASERn)";
    const std::string range = "ipc_timestamp \"1e10\" is out of range (more than 9223372036 seconds from 1970)";
    // log, --laser, scans handed over before the damage, message
    const std::tuple<std::string, std::string, std::size_t, std::string> cases[] = {
        {"FLASER 3 1 2\n", "", 0, "line 1: FLASER line with 3 ranges needs 14 fields, but it has 4"},
        {good + "FLASER 3 1 2 3 0 0 0 0 0 0 1.5 h 2 more\n", "", 1,
         "line 2: FLASER line with 3 ranges needs 14 fields, but it has 15"},
        {"PARAM a\n" + good + good + "FLASER\n", "", 2, "line 4: FLASER line ends before its beam count"},
        {"FLASER -3 1\n", "", 0, "line 1: FLASER beam count \"-3\"" + count},
        {"FLASER 3.0 1\n", "", 0, "line 1: FLASER beam count \"3.0\"" + count},
        {"FLASER 1048577 1\n", "", 0, "line 1: FLASER beam count \"1048577\"" + count},
        {"FLASER 99999999999999999999 1\n", "", 0, "line 1: FLASER beam count \"99999999999999999999\"" + count},
        {flaser({"1", "x1", "2"}), "", 0, "line 1: FLASER range 2 of 3 is not a number: \"x1\""},
        {flaser({"1", "nan"}), "", 0, "line 1: FLASER range 2 of 2 is not a number: \"nan\""},
        {flaser({"1\xff"}), "", 0, "line 1: FLASER range 1 of 1 is not a number: \"1\\xff\""},
        {flaser({"1\x01"}), "", 0, "line 1: a control byte in the line (\\x01)"},
        {"NEFF 30.5\x7f" + good + good, "", 0, "line 1: a control byte in the line (\\x7f)"},
        {flaser({std::string(40, '7') + "x"}), "", 0,
         "line 1: FLASER range 1 of 1 is not a number: \"" + std::string(32, '7') + "...\""},
        {flaser({"1"}, "12:30"), "", 0, "line 1: FLASER ipc_timestamp is not a number: \"12:30\""},
        {flaser({"1"}, "1e10"), "", 0, "line 1: FLASER " + range},
        {raw + " 2 1 1\n", "", 0, "line 1: RAWLASER1 line with 2 ranges needs at least 15 fields, but it has 11"},
        {raw + " 2 1 1 x 1 2 3\n", "", 0, "line 1: RAWLASER1 remission count \"x\"" + count},
        {raw + " 2 1 1 1 5 2 h\n", "", 0,
         "line 1: RAWLASER1 line with 2 ranges and 1 remissions needs 16 fields, but it has 15"},
        {"ROBOTLASER1 " + config + " 1 1 0 1 2 3 4 5 6 7 8 9 10 2 h 2\n", "", 0,
         "line 1: ROBOTLASER1 line with 1 ranges and 0 remissions needs 25 fields, but it has 24"},
        {rawlaser("RAWLASER1", "0 left 3.14 0.0087 8 0.01 0", {"1"}, "1"), "", 0,
         "line 1: RAWLASER1 start_angle is not a number: \"left\""},
        {rawlaser("RAWLASER1", "0 -1.57 3.14 inf 8 0.01 0", {"1"}, "1"), "", 0,
         "line 1: RAWLASER1 angular_resolution is not a number: \"inf\""},
        {rawlaser("ROBOTLASER2", "0 -1.57 3.14 0.0087 8m 0.01 0", {"1"}, "1"), "ROBOTLASER2", 0,
         "line 1: ROBOTLASER2 maximum_range is not a number: \"8m\""},
        {good, "ODOM", 0, "--laser \"ODOM\"" + notLaser},
        {good, "flaser", 0, "--laser \"flaser\"" + notLaser},
        {good, "RAWLASER", 0, "--laser \"RAWLASER\"" + notLaser},
    };
    for (const auto& [log, laser, scansBefore, message] : cases) {
        const Outcome out = readCarmen(log, laser);
        EXPECT_EQ(out.error, "log: " + message);
        EXPECT_EQ(out.scans.size(), scansBefore) << message;
    }
}

TEST(CarmenLog, LongLinesAreRefusedAfterABoundedRead) {
    const std::size_t limit = 1 << 20;
    const std::string good = flaser({"1"}), tooLong = "log: line 2: the line is longer than 1048576 bytes";
    EXPECT_EQ(readCarmen(good + "#" + std::string(limit - 1, 'x') + "\n" + good).scans.size(), 2u);
    for (const char* end : {"\n", "\r\n", ""}) EXPECT_EQ(readCarmen(good + std::string(limit + 1, 'x') + end).error, tooLong);
    const Outcome endless = readCarmen(good + std::string(16 * limit, 'x'));
    EXPECT_EQ(endless.error, tooLong);
    EXPECT_LE(endless.bytesRead, 2 * limit);
}

TEST(CarmenLog, ReadErrorsAndEarlyStops) {
    const std::string text = flaser({"1"}) + flaser({"2"}) + "FLASER damaged\n";
    const Outcome failed = readCarmen(text, "", 1 << 16, 60);
    EXPECT_EQ(failed.error, "log: line 2: cannot read: Input/output error");
    EXPECT_EQ(failed.scans.size(), 1u);
    const Outcome stopped = readCarmen(text, "", 1 << 16, std::string::npos, 1);
    EXPECT_EQ(stopped.error, "");
    EXPECT_EQ(stopped.scans.size(), 1u);
}

// A log is recognised by its first line: a NUL or control byte later on is damage to its own
// line, not a reason to refuse the whole log.
TEST(Recognise, TakesTheFirstLineAndEveryMagic) {
    using namespace std::string_literals;
    const auto recognised = [](const std::string& head) -> std::string {
        LogFormat format = LogFormat::scanFile;
        const Head what = recognise(head, format);
        return what == Head::empty ? "empty" : what == Head::unknown ? "unknown" : formatName(format);
    };
    const struct {
        std::string head;
        std::string format;
    } cases[] = {
        {"FLASER 3 1 1 1 0 0 0 0 0 0 1 h 0\nFLASER 3 1 \0 1\n"s, "CARMEN log"},
        {"# a comment\n\x01\x02\n"s, "CARMEN log"},
        {"FLA\0SER 3\n"s, "unknown"},
        {"\x7f" "ELF\x02\x01\x01"s, "unknown"},
        {"0.5 100 100\n\0"s, "scan file"},
        {"#ROSBAG V2.0\n\x04\0\0\0"s, "ROS 1 bag"},
        {"#ROSRECORD V1.2\n\x04\0\0\0"s, "ROS 1 bag"},
        {"SQLite format 3\0\x10\0"s, "ROS 2 bag (SQLite)"},
        {"\x89MCAP0\r\n\x01"s, "MCAP"},
        {"\x1f\x8b\x08"s, "unknown"},  // gzip inside gzip
        {""s, "empty"},
    };
    for (const auto& c : cases) EXPECT_EQ(recognised(c.head), c.format) << printableName(c.head);
}

// Messages name the log and quote its text; a control byte in either would split the line or
// reach the terminal, so both are escaped, and the line stays one line. Damage right after the
// first scan leaves that scan's leading value unknown (a second time equal to the first would
// have made the log untimed), so it is written only when leading values are scan numbers.
TEST(ReadLog, DamageEndsInOneEscapedLineAfterTheRecordsKnownExactly) {
    char folder[] = "/tmp/carmen_tests_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/line\nend\x1b[2J.log";
    const std::string good = "FLASER 3 1 1 1 0 0 0 0 0 0 1 h 0\n", bad = "FLASER 3 1 \x07 1 0 0 0 0 0 0 2 h 0\n";
    const struct {
        std::string log;
        StampMode stamp;
        std::vector<std::string> leading;
    } cases[] = {
        {good + good + bad, StampMode::relative, {"1", "2"}},  // equal times: untimed, scan numbers
        {good + bad, StampMode::relative, {}},
        {good + bad, StampMode::absolute, {}},
        {good + bad, StampMode::index, {"1"}},
    };
    for (const auto& c : cases) {
        std::FILE* out = std::fopen(file.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs(c.log.c_str(), out);
        std::fclose(out);
        LogSink sink;
        std::vector<std::string> leading;
        sink.scan = [&leading](const LogScan& scan) { return leading.push_back(scan.leadingText), true; };
        std::string error;
        LogOptions options;
        options.stamp = c.stamp;
        EXPECT_FALSE(readLog(file, options, false, sink, error));
        EXPECT_EQ(leading, c.leading);
        EXPECT_EQ(error.find_first_of("\n\x1b\x07"), std::string::npos) << error;
        const std::string line = c.leading.size() == 2 ? "3" : "2";
        EXPECT_EQ(error.rfind("scanlog: " + std::string(folder) + "/line\\x0aend\\x1b[2J.log: line " + line + ": ", 0), 0u)
            << error;
    }
    std::remove(file.c_str());
    rmdir(folder);
}

}  // namespace

// ---- what maps take from a CARMEN log -----------------------------------------------------

struct PosedOutcome {
    Outcome out;
    std::vector<PoseSample> poses;
};

PosedOutcome readWithPoses(const std::string& text, const std::string& laser = "") {
    TextSource source{text, 7, std::string::npos};
    PosedOutcome result;
    RawScanSink sink;
    sink.scan = [&](const RawScan& scan) {
        result.out.scans.push_back(scan);
        return true;
    };
    sink.pose = [&](const PoseSample& sample) {
        result.poses.push_back(sample);
        return true;
    };
    LogOptions options;
    options.laser = laser;
    readCarmenLog(ByteReader{readText, &source}, "log", options, sink, result.out.error);
    return result;
}

TEST(CarmenLogPoses, LaserLinesCarryTheLaserPoseAndTheirNoReturnRange) {
    const std::string robot = "ROBOTLASER1 0 -1.5708 3.1416 0.0174 8.0 0.01 0 2 1.0 2.0 0 "
                              "1.5 -2.5 0.75 9 9 9 0 0 0 0 0 5.0 host 5.0\n";
    struct Case {
        std::string log, laser;
        bool hasPose;
        Pose2D pose;
        double noReturnFrom;
    } cases[] = {
        {flaser({"1.0", "2.0"}), "", true, {0.1, 0.2, 0.3}, 81.91},
        {"PARAM robot_front_laser_max 50 1 h 1\n" + flaser({"1.0"}), "", true, {0.1, 0.2, 0.3}, 50},
        {"PARAM robot_rear_laser_max 20 1 h 1\n" + flaser({"1.0"}), "", true, {0.1, 0.2, 0.3}, 81.91},
        {"PARAM robot_rear_laser_max 20 1 h 1\n" + flaser({"1.0"}, "1.5", "RLASER"), "RLASER", true, {0.1, 0.2, 0.3}, 20},
        {"PARAM robot_front_laser_max fifty 1 h 1\n" + flaser({"1.0"}), "", true, {0.1, 0.2, 0.3}, 81.91},
        {"FLASER 1 1.0 0.1 y 0.3 0 0 0 1.5 host 1.5\n", "", false, {}, 81.91},
        {robot, "", true, {1.5, -2.5, 0.75}, std::numeric_limits<double>::infinity()},
        {rawlaser("RAWLASER1", "0 -1.5708 3.1416 0.0174 8.0 0.01 0", {"1.0"}, "5.0"), "", false, {},
         std::numeric_limits<double>::infinity()},
    };
    for (const Case& c : cases) {
        const PosedOutcome result = readWithPoses(c.log, c.laser);
        ASSERT_EQ(result.out.scans.size(), 1u) << result.out.error << c.log;
        const RawScan& scan = result.out.scans[0];
        EXPECT_EQ(scan.hasPose, c.hasPose) << c.log;
        if (c.hasPose) {
            EXPECT_EQ(scan.pose.x, c.pose.x);
            EXPECT_EQ(scan.pose.y, c.pose.y);
            EXPECT_EQ(scan.pose.yaw, c.pose.yaw);
        }
        EXPECT_EQ(scan.noReturnFrom, c.noReturnFrom) << c.log;
    }
}

TEST(CarmenLogPoses, OdometryGoesToMapsOfScansWithoutAPoseOfTheirOwn) {
    const std::string odometry = "ODOM 1 2 0.5 0 0 0 4.25 host 4.25\n";
    const std::string raw = rawlaser("RAWLASER1", "0 -1.5708 3.1416 0.0174 8.0 0.01 0", {"1.0"}, "5.0");
    struct Case {
        std::string log;
        std::size_t poses;
    } cases[] = {
        {odometry + raw + odometry, 2}, {odometry + flaser({"1.0"}) + odometry, 1},  // before the kind was known
        {"LASER3 1 1.0 5.0 host 5.0\n" + odometry, 1}, {raw + "# ODOM 1 2 3\n", 0},
    };
    for (const Case& c : cases) {
        const PosedOutcome result = readWithPoses(c.log);
        EXPECT_TRUE(result.out.error.empty()) << result.out.error;
        ASSERT_EQ(result.poses.size(), c.poses) << c.log;
        if (c.poses == 0) continue;
        EXPECT_EQ(result.poses[0].stampNs, 4250000000);
        EXPECT_EQ(result.poses[0].pose.x, 1);
        EXPECT_EQ(result.poses[0].pose.y, 2);
        EXPECT_EQ(result.poses[0].pose.yaw, 0.5);
    }
    // Without a consumer of poses, odometry is not even read: damage in it stops nothing.
    EXPECT_EQ(readCarmen("ODOM 1 2\n" + raw).scans.size(), 1u);
    const PosedOutcome damaged = readWithPoses(raw + "ODOM 1 2\n" + raw);
    EXPECT_EQ(damaged.out.scans.size(), 1u);
    EXPECT_EQ(damaged.out.error, "log: line 2: ODOM line needs 10 fields, but it has 3");
}
