// Resampling a sensor's beams onto the 361 readings, and writing records and time stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <random>

#include "stream/records.hpp"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kDegree = kPi / 180;

// A scan whose beam i reads 1 + i/100 metres, so every reading names the beam it came from.
RawScan labelledScan(int beams, double angleMin, double angleIncrement) {
    RawScan scan;
    scan.angleMin = angleMin;
    scan.angleIncrement = angleIncrement;
    scan.rangeMax = 1000;
    for (int i = 0; i < beams; ++i) scan.ranges.push_back(1 + i / 100.0);
    return scan;
}

// The beam reading k took, or -1 for no return.
int beamOf(const ScanRecord& record, int k) {
    const double value = record.readings[k];
    return value == kNoReturnCentimetres ? -1 : static_cast<int>(std::lround(value - 100));
}

TEST(ResampleScan, TakesTheNearestBeamWithinTolerance) {
    struct Probe {
        int reading;
        int beam;  // -1: no return
    };
    struct Case {
        const char* name;
        RawScan scan;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        {"361 half-degree beams map one to one", labelledScan(361, -90 * kDegree, 0.5 * kDegree),
         {{0, 0}, {1, 1}, {180, 180}, {359, 359}, {360, 360}}},
        {"reversed order (negative increment)", labelledScan(361, 90 * kDegree, -0.5 * kDegree),
         {{0, 360}, {180, 180}, {360, 0}}},
        {"one-degree scanner fills every second reading", labelledScan(181, -90 * kDegree, kDegree),
         {{0, 0}, {1, -1}, {2, 1}, {179, -1}, {180, 90}, {360, 180}}},
        {"270-degree scanner is cut to the front half", labelledScan(1081, -135 * kDegree, 0.25 * kDegree),
         {{0, 180}, {180, 540}, {360, 900}}},
        {"full turn from 0 fills the front half from both ends", labelledScan(360, 0, kDegree),
         {{180, 0}, {360, 90}, {0, 270}, {178, 359}, {179, -1}}},
        {"a sensor narrower than the picture leaves the sides empty", labelledScan(121, -30 * kDegree, 0.5 * kDegree),
         {{119, -1}, {120, 0}, {240, 120}, {241, -1}}},
        // Beams 0.3 degrees apart: reading 1 (-89.5) lies 0.2 from beam 1 (-89.7) and 0.1 from
        // beam 2 (-89.4): the nearer one wins.
        {"nearest of several candidates", labelledScan(601, -90 * kDegree, 0.3 * kDegree), {{1, 2}, {2, 3}, {3, 5}}},
        // Beams 0.5 degrees apart but offset by a quarter degree: every reading lies exactly
        // halfway, within tolerance of both neighbours; the lower index wins.
        {"a tie goes to the lower beam", labelledScan(360, -89.75 * kDegree, 0.5 * kDegree), {{1, 0}, {2, 1}, {359, 358}}},
        // One-degree beams offset by 0.3 degrees: reading 1 is 0.2 from beam 0 and is taken;
        // readings 0 and 2 are 0.3 from their nearest beams, more than a quarter degree.
        {"beams too far from a reading give nothing", labelledScan(180, -89.7 * kDegree, kDegree),
         {{0, -1}, {1, 0}, {2, -1}, {3, 1}}},
    };
    for (const Case& c : cases) {
        ScanRecord record;
        resampleScan(c.scan, record);
        for (const Probe& probe : c.probes) {
            EXPECT_EQ(beamOf(record, probe.reading), probe.beam) << c.name << ", reading " << probe.reading;
        }
    }
}

TEST(ResampleScan, ASensorThatChangesItsGeometryIsMappedAfresh) {
    const RawScan fine = labelledScan(361, -kPi / 2, kPi / 360);
    const RawScan coarse = labelledScan(181, -kPi / 2, kPi / 180);
    const RawScan shifted = labelledScan(181, -kPi / 2 + kPi / 360, kPi / 180);
    struct Step {
        const RawScan* scan;
        int reading;
        int beam;
    };
    const Step steps[] = {{&fine, 1, 1}, {&coarse, 1, -1}, {&coarse, 2, 1}, {&shifted, 1, 0}, {&fine, 1, 1}};
    for (const Step& step : steps) {
        ScanRecord record;
        resampleScan(*step.scan, record);
        EXPECT_EQ(beamOf(record, step.reading), step.beam) << step.scan->ranges.size();
    }
}

TEST(ResampleScan, FloatAnglesStillHitTheirReadings) {
    // ROS stores angles as float32; a 0.5-degree scanner's 361 beams must all still land.
    RawScan scan = labelledScan(361, static_cast<float>(-kPi / 2), static_cast<float>(kPi / 360));
    ScanRecord record;
    resampleScan(scan, record);
    for (int k = 0; k < kReadingCount; ++k) ASSERT_EQ(beamOf(record, k), k) << k;
}

TEST(ResampleScan, ReadingsTheSensorDidNotMeasureAreNoReturn) {
    struct Case {
        const char* name;
        double metres;
        double rangeMin, rangeMax;
        bool maxIsNoReturn;
        double centimetres;
    };
    const double nan = std::nan(""), inf = HUGE_VAL;
    const Case cases[] = {
        {"ordinary", 8.12, 0, 30, false, 812},
        {"rounded to 0.01 cm", 1.234567, 0, 30, false, 123.46},
        {"float metres", static_cast<float>(8.12), 0, 30, false, 812},
        {"a tie rounds away from zero", 0.03125, 0, 30, false, 3.13},
        {"zero is kept when in range", 0, 0, 30, false, 0},
        {"zero below range_min", 0, 0.1, 30, false, 8191},
        {"NaN", nan, 0, 30, false, 8191},
        {"+Inf", inf, 0, 30, false, 8191},
        {"-Inf", -inf, 0, 30, false, 8191},
        {"negative", -1, -5, 30, false, 8191},
        {"above range_max", 30.5, 0, 30, false, 8191},
        {"equal to range_max is a reading", 30, 0, 30, false, 3000},
        {"equal to a CARMEN maximum is no return", 30, 0, 30, true, 8191},
    };
    for (const Case& c : cases) {
        RawScan scan = labelledScan(361, -kPi / 2, kPi / 360);
        scan.rangeMin = c.rangeMin;
        scan.rangeMax = c.rangeMax;
        scan.rangeMaxIsNoReturn = c.maxIsNoReturn;
        scan.ranges[180] = c.metres;
        ScanRecord record;
        resampleScan(scan, record);
        EXPECT_EQ(record.readings[180], c.centimetres) << c.name;
    }
}

TEST(ResampleScan, AFacingPutsThatBearingStraightAhead) {
    struct Probe {
        int reading;
        int beam;  // -1: no return
    };
    struct Case {
        const char* name;
        RawScan scan;
        double facingDegrees;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        // A full turn from straight ahead, one beam a degree: facing 180 shows the rear half.
        {"full turn, facing backwards", labelledScan(360, 0, kDegree), 180,
         {{180, 180}, {0, 90}, {360, 270}, {2, 91}, {1, -1}}},
        {"full turn, facing left", labelledScan(360, 0, kDegree), 90, {{180, 90}, {0, 0}, {360, 180}}},
        {"full turn, facing right", labelledScan(360, 0, kDegree), -90, {{180, 270}, {0, 180}, {360, 0}}},
        // A half-degree sensor turned 45 degrees: what lies beyond its left edge is empty.
        {"front half turned left", labelledScan(361, -90 * kDegree, 0.5 * kDegree), 45,
         {{180, 270}, {90, 180}, {0, 90}, {270, 360}, {271, -1}, {360, -1}}},
        {"facing -180 is facing 180", labelledScan(360, 0, kDegree), -180, {{180, 180}, {0, 90}, {360, 270}}},
    };
    for (const Case& c : cases) {
        ScanRecord record;
        resampleScan(c.scan, c.facingDegrees * kDegree, record);
        for (const Probe& probe : c.probes) {
            const double value = record.readings[probe.reading];
            const int beam = std::isnan(value) ? -1 : static_cast<int>(std::lround(value - 100));
            EXPECT_EQ(beam, probe.beam) << c.name << ", reading " << probe.reading;
        }
        EXPECT_EQ(coveredReadings(c.scan, c.facingDegrees * kDegree),
                  std::count_if(record.readings.begin(), record.readings.end(), [](double v) { return !std::isnan(v); }))
            << c.name;
    }
}

TEST(ZoomedReading, IsTheWrittenReadingTimesTheZoomRoundedHalfAway) {
    struct Case {
        double centimetres, zoom, expected;
    };
    const Case cases[] = {
        {812, 1, 812},          {812, 8, 6496},       {123.45, 2, 246.9},  {123.46, 0.5, 61.73},
        {0.29, 0.5, 0.15},      // 0.145 exactly, as written: up, whatever the double 0.29 is
        {0.01, 0.5, 0.01},      {0.01, 0.49, 0},      {1000, 0.01, 10},    {8190.99, 1024, 8387573.76},
        {0, 4, 0},              {333.33, 3, 999.99},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(zoomedReading(c.centimetres, c.zoom), c.expected) << c.centimetres << " x " << c.zoom;
    }
}

std::string shortest(double value) {
    char text[32];
    return std::string(text, formatShortest(value, text));
}

TEST(FormatShortest, WritesTheShortestTextThatReadsBack) {
    const std::pair<double, const char*> cases[] = {
        {812, "812"},   {123.4, "123.4"}, {0.25, "0.25"}, {0.01, "0.01"},     {8191, "8191"},      {12.5, "12.5"},
        {-3, "-3"},     {-0.5, "-0.5"},   {0, "0"},       {-0.0, "-0"},       {1e-7, "1e-07"},     {1e20, "1e+20"},
        {7.25e6, "7250000"}, {0.1 + 0.2, "0.30000000000000004"}, {123.456, "123.456"}, {99.99, "99.99"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(shortest(value), text) << text;

    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::uint64_t> bits;
    for (int i = 0; i < 200000; ++i) {
        double value = 0;
        if (i % 2 == 0) {
            const std::uint64_t raw = bits(random);
            std::memcpy(&value, &raw, sizeof value);
            if (!std::isfinite(value)) continue;
        } else {
            value = static_cast<double>(bits(random) % 10000000) / 100;  // hundredths, as readings are
        }
        const std::string text = shortest(value);
        double back = 0;
        ASSERT_TRUE(parseNumber(text.data(), text.data() + text.size(), back)) << text;
        ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
    }
}

TEST(AppendScanLine, WritesOneLineOfSingleBlanks) {
    ScanRecord record;
    for (int k = 0; k < kReadingCount; ++k) record.readings[k] = k % 2 ? 8191 : k / 4.0;
    std::string line = "previous\n";
    appendScanLine("0.013333", record, line);
    std::string expected = "previous\n0.013333";
    for (int k = 0; k < kReadingCount; ++k) expected += " " + shortest(record.readings[k]);
    EXPECT_EQ(line, expected + "\n");
}

TEST(Seconds, RoundToTheMicrosecond) {
    struct Case {
        std::int64_t nanoseconds;
        const char* relative;
        const char* absolute;
    };
    const Case cases[] = {
        {0, "0", "0.000000"},
        {13333333, "0.013333", "0.013333"},
        {12500000000, "12.5", "12.500000"},
        {999999500, "1", "1.000000"},  // rounds up into the next second
        {499, "0", "0.000000"},
        {500, "0.000001", "0.000001"},
        {-200000000, "-0.2", "-0.200000"},
        {-400, "0", "0.000000"},
        {1771520011719411186, "1771520011.719411", "1771520011.719411"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(relativeSeconds(c.nanoseconds), c.relative) << c.nanoseconds;
        EXPECT_EQ(absoluteSeconds(c.nanoseconds), c.absolute) << c.nanoseconds;
    }
}

}  // namespace
