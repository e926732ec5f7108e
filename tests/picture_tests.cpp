// Records prepared for the picture: no returns, the zoom, scan files passed through, the zoom
// that `fit` chooses, and the scans it holds back to choose it.
#include <gtest/gtest.h>

#include <cmath>

#include "stream/picture.hpp"
#include "test_support.hpp"

namespace {

constexpr double kNone = kNoReading;

ScanRecord recordOf(std::initializer_list<double> first) {
    ScanRecord record;
    record.leadingValue = 7;
    record.readings.fill(100);
    int k = 0;
    for (double value : first) record.readings[k++] = value;
    return record;
}

TEST(PrepareRecord, NoReturnsZoomAndScanFilesAsRead) {
    struct Case {
        const char* name;
        ScanRecord base;
        bool scanFile, rewrite;
        double zoom, noReturn;
        std::vector<double> expected;  // the first readings written
    };
    const Case cases[] = {
        {"converted, defaults", recordOf({kNone, 812, 0}), false, false, 1, 8191, {8191, 812, 0}},
        {"converted, no return never zoomed", recordOf({kNone, 812, 0.29}), false, false, 4, 0, {0, 3248, 1.16}},
        {"converted, any no-return value", recordOf({kNone}), false, false, 2, -1.5, {-1.5}},
        {"scan file passes through at zoom 1", recordOf({-5, 0, 9000, 8191, 12.345}), true, false, 1, 8191,
         {-5, 0, 9000, 8191, 12.345}},
        {"scan file rewritten when asked", recordOf({-5, 0, 9000, 8191, 12.345, 8190.99}), true, true, 1, 0,
         {0, 0, 0, 0, 12.345, 8190.99}},
        {"scan file at another zoom is rewritten", recordOf({-5, 9000, 250}), true, false, 2, 8191, {8191, 8191, 500}},
    };
    for (const Case& c : cases) {
        PictureOptions picture;
        picture.noReturn = c.noReturn;
        picture.rewriteScanFiles = c.rewrite;
        ScanRecord out;
        prepareRecord(c.base, c.scanFile, picture, c.zoom, out);
        EXPECT_EQ(out.leadingValue, 7) << c.name;
        for (std::size_t k = 0; k < c.expected.size(); ++k) EXPECT_EQ(out.readings[k], c.expected[k]) << c.name << ", " << k;
        EXPECT_EQ(out.readings[360], c.zoom * 100) << c.name;
    }
}

TEST(FitZoom, TheLargestPowerOfTwoThatBringsTheReturnsWithinFortyMetres) {
    struct Case {
        const char* name;
        std::vector<double> returns;  // centimetres
        double zoom;
    };
    std::vector<double> mostlyNear(98, 100.0), fewFar(3, 10000.0);
    mostlyNear.insert(mostlyNear.end(), {10000, 10000});  // 2 in 100 far: beyond the 98th percentile
    std::vector<double> tooManyFar(97, 100.0);
    tooManyFar.insert(tooManyFar.end(), fewFar.begin(), fewFar.end());
    const Case cases[] = {
        {"none", {}, 1},
        {"5 m: 8x puts them at 40 m", {500, 500}, 8},
        {"5.01 m: 4x", {501}, 4},
        {"2 far in 100 are left out", mostlyNear, 32},
        {"3 far in 100 count", tooManyFar, 1},
        {"1 cm: at most 1024x", {1}, 1024},
        {"beyond 40 m: 1x", {4001}, 1},
        {"exactly 40 m: 1x", {4000}, 1},
        {"0 is a return too", {0}, 1024},
    };
    for (const Case& c : cases) EXPECT_EQ(fitZoom(c.returns), c.zoom) << c.name;
}

// A scan file of `count` records whose readings are all `centimetres(n)` for record n.
template <typename Value>
std::string scanFileOf(int count, Value centimetres) {
    std::string text;
    for (int n = 1; n <= count; ++n) {
        text += std::to_string(n);
        for (int k = 0; k < kReadingCount; ++k) text += " " + std::to_string(centimetres(n));
        text += "\n";
    }
    return text;
}

TEST(ReadPictureLog, FitLooksAtFiftyScansFromTheFirstPlayedAndHoldsThemBack) {
    struct Case {
        const char* name;
        int records;
        std::uint64_t firstPlayed;
        double zoomBefore, zoomFrom;  // of the scans before firstPlayed, and from it on
    };
    // Records 1 and 2 at 70 m, 3 to 52 at 3 m, the rest at 60 m: from record 3, 8x; from 1, the
    // 98th percentile of 50 scans takes in the two far ones (4%): 1x.
    const Case cases[] = {
        {"from the first", 80, 1, 1, 1},
        {"from record 3", 80, 3, 1, 8},
        {"a short log: what there is", 10, 3, 1, 8},
        {"from record 50: most of what follows is far", 80, 50, 1, 1},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("log.scans", scanFileOf(c.records, [](int n) {
            return n <= 2 ? 7000 : n <= 52 ? 300 : 6000;
        }));
        PictureOptions picture;
        picture.fit = true;
        std::vector<std::pair<std::uint64_t, double>> seen;
        LogSink sink;
        sink.scan = [&seen](const LogScan& scan) {
            seen.emplace_back(scan.number, scan.zoom);
            return true;
        };
        std::string error;
        ASSERT_TRUE(readPictureLog(path, LogOptions{}, picture, c.firstPlayed, false, sink, error)) << error;
        ASSERT_EQ(seen.size(), static_cast<std::size_t>(c.records)) << c.name;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].first, i + 1) << c.name << ": out of order";
            EXPECT_EQ(seen[i].second, i + 1 < c.firstPlayed ? c.zoomBefore : c.zoomFrom) << c.name << ", scan " << i + 1;
        }
    }
}

TEST(ReadPictureLog, AFacingAskedOfAScanFileIsAUsageError) {
    TempDir dir;
    const std::string path = dir.file("log.scans", scanFileOf(2, [](int) { return 100; }));
    PictureOptions picture;
    picture.facing = 90;
    int scans = 0;
    LogSink sink;
    sink.scan = [&scans](const LogScan&) { return ++scans > 0; };
    std::string error;
    EXPECT_FALSE(readPictureLog(path, LogOptions{}, picture, 1, false, sink, error));
    EXPECT_EQ(scans, 0);
    EXPECT_TRUE(isUsageError(error)) << error;
    EXPECT_EQ(error.rfind("scanlog: " + path + " is a scan file", 0), 0u) << error;
    picture.facing = 0;
    EXPECT_TRUE(readPictureLog(path, LogOptions{}, picture, 1, false, sink, error)) << error;
    EXPECT_FALSE(isUsageError("scanlog: " + path + ": the file is empty"));
}

}  // namespace
