// scanlog info: the figures on small logs made here, whose every figure is known, and the
// picture share against the viewer's own projection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sqlite3.h>

#include "commands/commands.hpp"
#include "commands/info.hpp"
#include "scan_display.hpp"
#include "scanlog_test_support.hpp"

namespace {

constexpr std::int64_t kMs = 1'000'000;

// How many of `record`'s readings the viewer's own projection puts in the picture.
std::uint64_t drawnByTheViewer(const ScanRecord& record) {
    std::uint64_t drawn = 0;
    for (int i = 0; i < kReadingCount; ++i) {
        PixelPosition pixel;
        const double metres = static_cast<double>(static_cast<long double>(record.readings[i]) / 100.0L);
        drawn += projectPoint(metres, std::cos(bearingOf(i)), std::sin(bearingOf(i)), pixel);
    }
    return drawn;
}

LogScan scanWith(std::uint64_t number, std::int64_t stampNs, double every) {
    LogScan scan;
    scan.number = number;
    scan.stampNs = stampNs;
    scan.timed = true;
    scan.record.readings.fill(every);
    return scan;
}

InfoTally bagTally() {
    InfoTally tally;
    tally.log.format = "ROS 1 bag";
    tally.log.topic = "/scan";
    tally.begun = true;
    tally.timesRead = true;
    return tally;
}

TEST(Info, TimesRangesAndFrozenScansOfALog) {
    InfoTally tally = bagTally();
    // Steps of 100 ms, with a stall (scan 4), a step back (scan 5), and a 1 s gap (before
    // scan 7). Scans 3 and 4 read alike, as a frozen sensor does.
    const std::int64_t stamps[] = {0, 100, 200, 200, 150, 250, 1250, 1350};
    std::uint64_t drawn = 0;
    for (std::uint64_t n = 1; n <= 8; ++n) {
        LogScan scan = scanWith(n, stamps[n - 1] * kMs, 100.0 * static_cast<double>(n == 4 ? 3 : n));
        if (n == 1) {
            scan.record.readings[0] = 8191;  // no return
            scan.record.readings[1] = 9000;  // no return too
            scan.record.readings[2] = 0;
            scan.record.readings[3] = -5;
        }
        drawn += drawnByTheViewer(scan.record);
        tallyScan(tally, scan);
    }
    ASSERT_EQ(drawn, 2800u);  // not the four odd ones above, nor those near 90 degrees
    // 2888 readings, of which 2 no return and 2 zero; the median is the 1442nd of the other
    // 2884: 357 readings of 1 m, 361 of 2 m, 722 of 3 m, then 5 m.
    EXPECT_EQ(formatInfo(tally, "run.bag"),
              "log             run.bag\n"
              "format          ROS 1 bag\n"
              "topic           /scan\n"
              "scans           8\n"
              "times           usable for pacing\n"
              "duration        1.350 s\n"
              "median rate     10.00 Hz (a scan every 100.00 ms)\n"
              "backward steps  1, the first at scan 5\n"
              "stalls          1, the first at scan 4 (the same time twice)\n"
              "gaps            1 longer than 300.00 ms (3 median steps); the longest 1.000 s, before scan 7\n"
              "no return       2 readings (0.1%), 81.91 m or more\n"
              "zero            2 readings (0.1%), 0 or below\n"
              "ranges          shortest 1.00 m, median 5.00 m, longest 8.00 m\n"
              "in the picture  2800 readings (97.0%), drawn by the viewer\n"
              "frozen scans    1, the first at scan 4 (all readings as in the scan before)\n");
}

TEST(Info, LogsWithoutUsableTimesSaySo) {
    struct Case {
        const char* name;
        bool timesRead;
        std::vector<std::int64_t> stamps;
        std::string timeLines;
    };
    const Case cases[] = {
        {"scan file", false, {0, 0, 0}, "times           none read (scan file: give --timed if the leading values are seconds)\n"},
        {"all-zero stamps", true, {0, 0, 0},
         "times           not usable for pacing (the first two scans' times do not increase)\n"
         "duration        0.000 s\n"
         "median rate     none (no time step goes forward)\n"
         "backward steps  0\n"
         "stalls          2, the first at scan 2 (the same time twice)\n"},
    };
    for (const Case& c : cases) {
        InfoTally tally = bagTally();
        tally.log.format = "CARMEN log";
        tally.log.topic = "FLASER";
        tally.log.compressed = true;
        tally.timesRead = c.timesRead;
        for (std::uint64_t n = 1; n <= c.stamps.size(); ++n) {
            LogScan scan = scanWith(n, c.stamps[n - 1], 250);
            scan.timed = false;
            scan.record.readings[7] = 300;  // no scan repeats the one before
            scan.record.readings[8] = static_cast<double>(n);
            tallyScan(tally, scan);
        }
        const std::string report = formatInfo(tally, "x.clf.gz");
        EXPECT_NE(report.find("format          CARMEN log (gzip-compressed)\nlaser           FLASER\nscans           3\n" +
                              c.timeLines + "no return"),
                  std::string::npos)
            << c.name << ":\n"
            << report;
        EXPECT_NE(report.find("median 2.50 m"), std::string::npos) << c.name;
        EXPECT_NE(report.find("frozen scans    0\n"), std::string::npos) << c.name;
    }
}

// The share in the picture counts exactly the readings that the viewer's projection puts in
// it, along every bearing and over the whole span of ranges, boundaries included.
TEST(Info, ThePictureShareIsWhatTheViewerDraws) {
    std::vector<double> ranges = {12.5, 12.49, 7999.99, 8000, 8191, 3987.5, 4000, 5639.1, 5639.3, 5656.85, 5657};
    for (double cm = 0; cm < 9000; cm += 1.37) ranges.push_back(cm);
    InfoTally tally;
    for (const double cm : ranges) {
        const std::uint64_t before = tally.inPicture;
        LogScan scan;
        scan.record.readings.fill(cm);
        tallyScan(tally, scan);
        ASSERT_EQ(tally.inPicture - before, drawnByTheViewer(scan.record)) << cm << " cm";
    }
}

// ---- the command, on files ---------------------------------------------------------------

std::string recordLine(const std::string& lead, double every) {
    std::string text = lead;
    for (int i = 0; i < kReadingCount; ++i) text += " " + std::to_string(every);
    return text + "\n";
}

TEST(InfoCommand, ReportsScanFilesAndWhatCameBeforeTheDamage) {
    TempDir dir;
    const std::string good = dir.file("good.scans", recordLine("0", 500) + recordLine("0.05", 500) + recordLine("0.1", 600));
    const std::string damaged = dir.file("damaged.scans", recordLine("0", 500) + recordLine("0.05", 600) + "7 8 9\n");
    struct Case {
        const char* name;
        std::string path;
        bool timed;
        int status;
        std::vector<std::string> out;  // lines the report holds
        std::string err;
    };
    const Case cases[] = {
        {"untimed", good, false, 0,
         {"scans           3\n", "times           none read", "frozen scans    1, the first at scan 2"}, ""},
        {"timed", good, true, 0, {"duration        0.100 s\n", "median rate     20.00 Hz (a scan every 50.00 ms)\n"}, ""},
        {"damaged", damaged, true, 1, {"scans           2\n", "ranges          shortest 5.00 m, median 5.00 m, longest 6.00 m\n"},
         "Error reading laser file " + damaged + ": record 3 ends after 3 of 362 numbers\n"},
        {"missing", dir.path + "/none.scans", false, 1, {}, "scanlog: cannot open " + dir.path + "/none.scans: No such file or directory\n"},
    };
    for (const Case& c : cases) {
        Child result = startChild([&] { return runInfo(c.path, LogOptions{}, c.timed); }, STDIN_FILENO);
        finish(result);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.errText, c.err) << c.name;
        if (c.out.empty()) {
            EXPECT_EQ(result.outText, "") << c.name;
        } else {
            EXPECT_EQ(result.outText.rfind("log             " + c.path + "\nformat          scan file\n", 0), 0u) << c.name;
        }
        for (const std::string& expected : c.out) {
            EXPECT_NE(result.outText.find(expected), std::string::npos) << c.name << ":\n" << result.outText;
        }
    }
}

// ---- sensors, and bags of several LaserScan topics ----------------------------------------

void appendBytes(std::string& out, const void* data, std::size_t size) {
    out.append(static_cast<const char*>(data), size);
}

// A sensor_msgs/msg/LaserScan in little-endian CDR, laid out by hand (frame "l").
std::string laserScanCdr(std::int32_t seconds, float angleMin, float increment, float rangeMin, float rangeMax,
                         const std::vector<float>& ranges) {
    std::string out("\x00\x01\x00\x00", 4);
    const std::uint32_t nanoseconds = 0, frameLength = 2, count = static_cast<std::uint32_t>(ranges.size()), none = 0;
    appendBytes(out, &seconds, 4);
    appendBytes(out, &nanoseconds, 4);
    appendBytes(out, &frameLength, 4);
    out += std::string("l\0\0\0", 4);  // the name, its end and padding to 4
    const float angleMax = angleMin + increment * static_cast<float>(ranges.size() - 1), zero = 0;
    for (float field : {angleMin, angleMax, increment, zero, zero, rangeMin, rangeMax}) appendBytes(out, &field, 4);
    appendBytes(out, &count, 4);
    for (float range : ranges) appendBytes(out, &range, 4);
    appendBytes(out, &none, 4);
    return out;
}

// A ROS 2 bag file with /front_scan (3 scans: 181 beams, one a degree over the front half)
// and /rear_scan (2 scans: 4 beams half a degree apart, one of them beyond range_max).
std::string twoScannerBag(const TempDir& dir) {
    const std::string path = dir.path + "/two.db3";
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db,
                 "CREATE TABLE topics(id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL, "
                 "serialization_format TEXT NOT NULL, offered_qos_profiles TEXT NOT NULL);"
                 "CREATE TABLE messages(id INTEGER PRIMARY KEY, topic_id INTEGER NOT NULL, timestamp INTEGER NOT NULL, "
                 "data BLOB NOT NULL);"
                 "INSERT INTO topics VALUES (1, '/front_scan', 'sensor_msgs/msg/LaserScan', 'cdr', '');"
                 "INSERT INTO topics VALUES (2, '/rear_scan', 'sensor_msgs/msg/LaserScan', 'cdr', '');",
                 nullptr, nullptr, nullptr);
    const float degree = static_cast<float>(3.141592653589793 / 180);
    std::vector<std::pair<int, std::string>> messages;
    for (int n = 1; n <= 3; ++n) messages.emplace_back(1, laserScanCdr(n, -90 * degree, degree, 0.1f, 30, std::vector<float>(181, 2)));
    for (int n = 1; n <= 2; ++n) messages.emplace_back(2, laserScanCdr(n, 0, degree / 2, 0.1f, 5, {1, 2, 6, 3}));
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO messages VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i + 1));
        sqlite3_bind_int64(insert, 2, messages[i].first);
        sqlite3_bind_int64(insert, 3, static_cast<sqlite3_int64>(i + 1) * 100'000'000);
        sqlite3_bind_blob(insert, 4, messages[i].second.data(), static_cast<int>(messages[i].second.size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return path;
}

TEST(InfoCommand, NamesTheSensorAndReportsEveryLaserScanTopicOfABag) {
    TempDir dir;
    const std::string bag = twoScannerBag(dir);
    const std::string front = "topic           /front_scan\n"
                              "scans           3\n"
                              "sensor          beams 181 over 180.0 degrees, from -90.0 to 90.0, a beam every 1.000 degrees\n"
                              "range limits    0.10 m to 30.00 m\n"
                              "readings        the sensor covers 181 of the 361 readings\n";
    const std::string frontNoReturn = "no return       0 of the sensor's 543 beams (0.0%)\n";
    const std::string rear = "topic           /rear_scan\n"
                             "scans           2\n"
                             "sensor          beams 4 over 1.5 degrees, from 0.0 to 1.5, a beam every 0.500 degrees\n"
                             "range limits    0.10 m to 5.00 m\n"
                             "readings        the sensor covers 4 of the 361 readings\n";
    const std::string rearNoReturn = "no return       2 of the sensor's 8 beams (25.0%)\n";
    struct Case {
        const char* name;
        std::string topic;
        std::vector<std::string> reports;  // in order, each holding its parts
    };
    const Case cases[] = {
        {"both in turn", "", {front + "times", frontNoReturn, rear + "times", rearNoReturn}},
        {"the one asked for", "/rear_scan", {rear, rearNoReturn}},
    };
    for (const Case& c : cases) {
        LogOptions options;
        options.topic = c.topic;
        Child result = startChild([&] { return runInfo(bag, options, false); }, STDIN_FILENO);
        finish(result);
        EXPECT_EQ(result.status, 0) << c.name;
        EXPECT_EQ(result.errText, "") << c.name;
        std::size_t at = 0;
        for (const std::string& part : c.reports) {
            const std::size_t found = result.outText.find(part, at);
            ASSERT_NE(found, std::string::npos) << c.name << ": no\n" << part << "\nafter " << at << " in\n" << result.outText;
            at = found + part.size();
        }
        const auto logs = std::count_if(c.reports.begin(), c.reports.end(),
                                        [](const std::string& part) { return part.rfind("topic ", 0) == 0; });
        std::size_t logLines = 0;
        for (std::size_t p = result.outText.find("log             "); p != std::string::npos;
             p = result.outText.find("log             ", p + 1)) {
            ++logLines;
        }
        EXPECT_EQ(static_cast<std::ptrdiff_t>(logLines), logs) << c.name << ": one report per topic\n" << result.outText;
    }
}

}  // namespace
