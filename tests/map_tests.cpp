// The map of a whole log: lines and cells, the range rules, the verdict, the files' bytes, and
// scans meeting their poses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <utility>
#include <vector>

#include "pictures/map_files.hpp"
#include "stream/scan_poses.hpp"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
using Cells = std::vector<std::pair<std::int64_t, std::int64_t>>;

Cells lineCells(std::int64_t i0, std::int64_t j0, std::int64_t i1, std::int64_t j1) {
    Cells cells;
    traceLine(i0, j0, i1, j1, [&cells](std::int64_t i, std::int64_t j) { cells.emplace_back(i, j); });
    return cells;
}

TEST(MapLines, BresenhamCellsInEveryDirection) {
    struct Case {
        std::int64_t i0, j0, i1, j1;
        Cells cells;
    } cases[] = {
        {0, 0, 0, 0, {{0, 0}}},
        {0, 0, 3, 0, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}},
        {0, 0, 0, -2, {{0, 0}, {0, -1}, {0, -2}}},
        {0, 0, 3, 3, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}},
        // The cells nearest the true line (no case here passes exactly between two).
        {0, 0, 5, 2, {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}}},
        {0, 0, -5, -2, {{0, 0}, {-1, 0}, {-2, -1}, {-3, -1}, {-4, -2}, {-5, -2}}},
        {-2, 5, 0, 0, {{-2, 5}, {-2, 4}, {-1, 3}, {-1, 2}, {0, 1}, {0, 0}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lineCells(c.i0, c.j0, c.i1, c.j1), c.cells) << c.i0 << "," << c.j0 << " to " << c.i1 << "," << c.j1;
    }
}

TEST(MapLines, CellsHoldTheirLowerEdgeOnly) {
    struct Case {
        double metres, resolution;
        std::int64_t cell;
    } cases[] = {
        {0, 0.25, 0}, {0.25, 0.25, 1}, {0.2499, 0.25, 0}, {-0.0001, 0.25, -1}, {-0.25, 0.25, -1},
        {-0.2501, 0.25, -2}, {10, 0.5, 20}, {1e6, 0.05, 20000000},
    };
    for (const Case& c : cases) EXPECT_EQ(cellOf(c.metres, c.resolution), c.cell) << c.metres << " at " << c.resolution;
}

// A scan whose beams all point along `bearing`, so that each lands on one known line of cells.
RawScan beamsAlong(double bearing, std::vector<double> ranges) {
    RawScan scan;
    scan.angleMin = bearing;
    scan.angleIncrement = 0;
    scan.ranges = std::move(ranges);
    return scan;
}

// The states of cells (0, 0) to (count - 1, 0) as a string: '.' unknown, ' ' free, '#' occupied.
std::string rowStates(const OccupancyGrid& grid, std::int64_t count) {
    std::string text;
    for (std::int64_t i = 0; i < count; ++i) {
        const CellState state = cellState(grid, i, 0);
        text += state == CellState::unknown ? '.' : state == CellState::free ? ' ' : '#';
    }
    return text;
}

MapSettings quarterMetre(double maxRange = 40) {
    MapSettings settings;
    settings.resolution = 0.25;
    settings.maxRange = maxRange;
    return settings;
}

TEST(MapBeams, RangeRulesDecidePassesAndHits) {
    struct Case {
        const char* what;
        double range, rangeMin, rangeMax, noReturnFrom;
        bool maxIsNoReturn;
        std::string row;  // cells 0..7 along x from a laser in cell 0
    } cases[] = {
        {"a return", 1.0, 0, kInf, kInf, false, "    #..."},
        {"below range_min", 1.0, 1.5, kInf, kInf, false, "........"},
        {"above range_max", 1.0, 0, 0.9, kInf, false, "........"},
        {"at range_max", 1.0, 0, 1.0, kInf, false, "    #..."},
        {"at a maximum that means no return", 1.0, 0, 1.0, kInf, true, "........"},
        {"at the log's no-return range", 1.0, 0, kInf, 1.0, false, "........"},
        {"beyond --max-range: free to it, no hit", 3.0, 0, kInf, kInf, false, "       ."},
        {"at --max-range", 1.5, 0, kInf, kInf, false, "      #."},
        {"infinite", kInf, 0, kInf, kInf, false, "........"},
        {"not a number", std::nan(""), 0, kInf, kInf, false, "........"},
        {"zero", 0, 0, kInf, kInf, false, "........"},
        {"negative", -1, -5, kInf, kInf, false, "........"},
    };
    for (const Case& c : cases) {
        OccupancyGrid grid = makeGrid(quarterMetre(1.5));
        RawScan scan = beamsAlong(0, {c.range});
        scan.rangeMin = c.rangeMin;
        scan.rangeMax = c.rangeMax;
        scan.noReturnFrom = c.noReturnFrom;
        scan.rangeMaxIsNoReturn = c.maxIsNoReturn;
        std::string error;
        ASSERT_TRUE(addScan(grid, scan, Pose2D{0.1, 0.1, 0}, error)) << error;
        EXPECT_EQ(rowStates(grid, 8), c.row) << c.what;
    }
}

TEST(MapBeams, OccupiedOnlyWhenMoreThanAQuarterOfItsBeamsEndThere) {
    struct Case {
        std::vector<double> ranges;  // 1.0 ends in cell 4; 2.0 passes through it
        char cell4;
    } cases[] = {
        {{1.0}, '#'}, {{1.0, 2.0}, '#'}, {{1.0, 2.0, 2.0}, '#'}, {{1.0, 2.0, 2.0, 2.0}, ' '},
        {{1.0, 1.0, 2.0, 2.0, 2.0, 2.0, 2.0}, '#'}, {{1.0, 1.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0}, ' '},
    };
    for (const Case& c : cases) {
        OccupancyGrid grid = makeGrid(quarterMetre());
        std::string error;
        ASSERT_TRUE(addScan(grid, beamsAlong(0, c.ranges), Pose2D{0.1, 0.1, 0}, error));
        EXPECT_EQ(rowStates(grid, 5)[4], c.cell4) << c.ranges.size() << " beams";
    }
}

TEST(MapBeams, BeamsTurnWithTheLaserAndItsAngles) {
    struct Case {
        double yaw, angleMin;
        std::int64_t hitI, hitJ;
    } cases[] = {
        {0, 0, 4, 0}, {kPi / 2, 0, 0, 4}, {0, kPi / 2, 0, 4}, {kPi, 0, -4, 0}, {kPi / 4, kPi / 4, 0, 4},
        {-kPi / 2, 0, 0, -4},
    };
    for (const Case& c : cases) {
        OccupancyGrid grid = makeGrid(quarterMetre());
        std::string error;
        ASSERT_TRUE(addScan(grid, beamsAlong(c.angleMin, {1.0}), Pose2D{0.1, 0.1, c.yaw}, error));
        EXPECT_EQ(cellState(grid, c.hitI, c.hitJ), CellState::occupied) << c.yaw << " " << c.angleMin;
        EXPECT_EQ(cellState(grid, 0, 0), CellState::free);
    }
}

TEST(MapGrid, GrowsAnyWayAndKeepsWhatItHad) {
    OccupancyGrid grid = makeGrid(quarterMetre());
    std::string error;
    const Pose2D places[] = {{0.1, 0.1, 0}, {300.1, -200.1, 0}, {-150.1, 400.1, 0}, {0.1, 0.1, kPi}};
    for (const Pose2D& place : places) ASSERT_TRUE(addScan(grid, beamsAlong(0, {1.0}), place, error)) << error;
    for (const Pose2D& place : places) {
        const std::int64_t i = cellOf(place.x, 0.25), j = cellOf(place.y, 0.25);
        EXPECT_EQ(cellState(grid, i, j), CellState::free) << place.x;
        EXPECT_EQ(cellState(grid, i + (place.yaw == 0 ? 4 : -4), j), CellState::occupied) << place.x;
    }
    EXPECT_EQ(mapBounds(grid).width, cellOf(300.1, 0.25) + 4 - cellOf(-150.1, 0.25) + 1 + 2 * 4);
}

TEST(MapGrid, RefusesAMapTooLargeAndKeepsTheOneItHas) {
    MapSettings settings;
    settings.resolution = 0.01;
    OccupancyGrid grid = makeGrid(settings);
    std::string error;
    ASSERT_TRUE(addScan(grid, beamsAlong(0, {1.0}), Pose2D{0, 0, 0}, error));
    const MapBounds before = mapBounds(grid);
    EXPECT_FALSE(addScan(grid, beamsAlong(0, {1.0}), Pose2D{250, 0, 0}, error));
    EXPECT_NE(error.find("more than 20000"), std::string::npos) << error;
    EXPECT_NE(error.find("--resolution 0.02"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(mapBounds(grid).width, before.width);
    EXPECT_EQ(cellState(grid, 100, 0), CellState::occupied);
}

// One beam from (0.1, 0.1) to 1.0 m along x at 0.25 m cells: cells 0..3 free, 4 occupied, in
// row j = 0, with 4 cells of border all round.
OccupancyGrid tinyMap(bool path) {
    MapSettings settings = quarterMetre();
    settings.path = path;
    OccupancyGrid grid = makeGrid(settings);
    std::string error;
    addScan(grid, beamsAlong(0, {1.0}), Pose2D{0.1, 0.1, 0}, error);
    return grid;
}

TEST(MapFiles, PgmAndYamlBytesOfATinyMap) {
    const OccupancyGrid grid = tinyMap(false);
    std::string expected = "P5\n13 9\n255\n";
    for (int row = 0; row < 9; ++row) {
        for (int column = 0; column < 13; ++column) {
            const bool inRow = row == 4;  // j = 0: 4 rows of border above it
            const char value = !inRow || column < 4 || column > 8 ? '\xcd' : column == 8 ? '\x00' : '\xfe';
            expected += value;
        }
    }
    EXPECT_EQ(pgmBytes(grid), expected);
    EXPECT_EQ(mapYaml(grid, "tiny.pgm"), "image: tiny.pgm\nresolution: 0.25\norigin: [-1, -1, 0.0]\nnegate: 0\n"
                                         "occupied_thresh: 0.65\nfree_thresh: 0.196\n");
}

TEST(MapFiles, PictureHasYUpAndThePathInColour) {
    struct Case {
        bool path;
    } cases[] = {{false}, {true}};
    for (const Case& c : cases) {
        OccupancyGrid grid = tinyMap(c.path);
        std::string error;
        // A second beam, straight up from (0.1, 0.1) after a move to (0.6, 0.1): cell (2, 4).
        ASSERT_TRUE(addScan(grid, beamsAlong(kPi / 2, {1.0}), Pose2D{0.6, 0.1, 0}, error));
        const cv::Mat picture = mapPicture(grid);
        std::vector<unsigned char> png;
        ASSERT_TRUE(cv::imencode(".png", picture, png));
        const cv::Mat back = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        ASSERT_EQ(back.cols, 13);
        ASSERT_EQ(back.rows, 13);  // j from -4 to 8
        const auto grey = [&](int row, int column) {
            return c.path ? back.at<cv::Vec3b>(row, column)[1] : back.at<unsigned char>(row, column);
        };
        EXPECT_EQ(back.channels(), c.path ? 3 : 1);
        EXPECT_EQ(grey(8, 8), 0) << "the first beam's end, row of j = 0";
        EXPECT_EQ(grey(4, 6), 0) << "the second beam's end, four rows up";
        EXPECT_EQ(grey(6, 6), 255) << "on the way up";
        EXPECT_EQ(grey(0, 0), 205) << "border";
        if (c.path) {
            EXPECT_EQ(back.at<cv::Vec3b>(8, 5), cv::Vec3b(0, 0, 255)) << "the laser moved from cell 0 to 2";
            EXPECT_EQ(back.at<cv::Vec3b>(8, 4), cv::Vec3b(0, 0, 255));
            EXPECT_EQ(back.at<cv::Vec3b>(8, 7), cv::Vec3b(255, 255, 255));
        }
    }
}

// ---- scans and poses ----------------------------------------------------------------------

constexpr std::int64_t kSecond = 1000000000;

TEST(ScanPoses, InterpolatesYawTheShorterWayRound) {
    struct Case {
        double fromYaw, toYaw, fraction, yaw;
    } cases[] = {
        {0, 1, 0.5, 0.5}, {3.0, -3.0, 0.5, kPi}, {-3.0, 3.0, 0.5, -kPi}, {0.1, -0.1, 0.25, 0.05},
        {kPi - 0.1, -kPi + 0.1, 0.5, kPi},
    };
    for (const Case& c : cases) {
        const Pose2D pose = interpolatePoses(Pose2D{0, 0, c.fromYaw}, Pose2D{2, -4, c.toYaw}, c.fraction);
        EXPECT_NEAR(std::remainder(pose.yaw - c.yaw, 2 * kPi), 0, 1e-9) << c.fromYaw << " to " << c.toYaw;
        EXPECT_DOUBLE_EQ(pose.x, 2 * c.fraction);
        EXPECT_DOUBLE_EQ(pose.y, -4 * c.fraction);
    }
}

struct Placed {
    std::vector<std::int64_t> stamps;
    std::vector<Pose2D> poses;
};

ScanPoser poserWithOffset(Placed& placed, const Pose2D& offset) {
    ScanPoser poser;
    poser.chain.resize(2);
    poser.chain[1].fixed = true;
    poser.chain[1].fixedPose = offset;
    poser.placed = [&placed](const RawScan& scan, const Pose2D& laser) {
        placed.stamps.push_back(scan.stampNs);
        placed.poses.push_back(laser);
        return true;
    };
    return poser;
}

PoseSample sampleAt(std::int64_t stampNs, const Pose2D& pose) {
    PoseSample sample;
    sample.stampNs = stampNs;
    sample.pose = pose;
    return sample;
}

RawScan scanAt(std::int64_t stampNs) {
    RawScan scan;
    scan.stampNs = stampNs;
    return scan;
}

TEST(ScanPoses, ScansWaitForThePoseAfterThemAndKeepTheirOrder) {
    Placed placed;
    ScanPoser poser = poserWithOffset(placed, Pose2D{1, 0, 0});
    addPoseSample(poser, 0, sampleAt(0, Pose2D{0, 0, 0}));
    addPosedScan(poser, scanAt(kSecond / 4));
    addPosedScan(poser, scanAt(kSecond / 2));
    EXPECT_TRUE(placed.stamps.empty()) << "no pose after them yet";
    addPoseSample(poser, 0, sampleAt(kSecond, Pose2D{4, 0, kPi / 2}));
    ASSERT_EQ(placed.stamps, (std::vector<std::int64_t>{kSecond / 4, kSecond / 2}));
    // The robot at (2, 0) facing 45 degrees; the laser 1 m ahead of it.
    EXPECT_NEAR(placed.poses[1].x, 2 + std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(placed.poses[1].y, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(placed.poses[1].yaw, kPi / 4, 1e-12);
}

TEST(ScanPoses, ScansOutsideThePosesOrFarFromThemAreLeftOutAndCounted) {
    struct Case {
        std::int64_t stamp;
        const char* verdict;  // placed, outside, far
    } cases[] = {
        {0, "placed"}, {-1, "outside"}, {10 * kSecond, "placed"}, {10 * kSecond + 1, "outside"},
        {kSecond / 2, "placed"}, {kSecond / 2 + 1, "far"}, {9 * kSecond + kSecond / 2, "placed"},
        {5 * kSecond, "far"}, {kSecond / 10, "placed"},
    };
    for (const Case& c : cases) {
        Placed placed;
        ScanPoser poser = poserWithOffset(placed, Pose2D{});
        addPoseSample(poser, 0, sampleAt(0, Pose2D{}));
        addPosedScan(poser, scanAt(c.stamp));
        addPoseSample(poser, 0, sampleAt(10 * kSecond, Pose2D{}));
        finishPoses(poser);
        const std::string verdict = poser.counts.placed == 1        ? "placed"
                                    : poser.counts.outsideSpan == 1 ? "outside"
                                    : poser.counts.farFromPose == 1 ? "far"
                                                                    : "none";
        EXPECT_EQ(verdict, c.verdict) << c.stamp;
        EXPECT_EQ(poser.counts.placed + poser.counts.outsideSpan + poser.counts.farFromPose, 1u);
    }
}

TEST(ScanPoses, MemoryStaysBoundedWithoutPoses) {
    Placed placed;
    ScanPoser poser = poserWithOffset(placed, Pose2D{});
    for (std::int64_t k = 0; k < 3 * static_cast<std::int64_t>(kMaxWaitingScans); ++k) addPosedScan(poser, scanAt(k));
    EXPECT_EQ(poser.waiting.size(), kMaxWaitingScans);
    EXPECT_EQ(poser.counts.farFromPose, 2 * kMaxWaitingScans);
    finishPoses(poser);
    EXPECT_EQ(poser.counts.outsideSpan, kMaxWaitingScans);
    // And samples that no scan needs any more are let go.
    for (std::int64_t k = 0; k < 100000; ++k) {
        addPoseSample(poser, 0, sampleAt(k * kSecond / 100, Pose2D{}));
        addPosedScan(poser, scanAt(k * kSecond / 100));
    }
    EXPECT_LT(poser.chain[0].samples.size(), 1000u);
}

}  // namespace
