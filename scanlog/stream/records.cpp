#include "records.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "scan_geometry.hpp"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2 * kPi;
constexpr double kTargetStep = kPi / 360;          // half a degree
constexpr double kTargetTolerance = kPi / 720;     // a quarter degree, half our step
constexpr double kRoundingAllowance = 1e-6;        // radians, for angles stored as float

// Brings a bearing into (-pi, pi], so that a full-turn scanner starting at 0 lands on both
// ends of the front half.
double normalised(double angle) {
    if (angle > kPi || angle <= -kPi) {
        angle = std::remainder(angle, kTwoPi);  // [-pi, pi]
        if (angle <= -kPi) angle += kTwoPi;
    }
    return angle;
}

// Rounds half away from zero, as std::round does, without a call into the maths library on
// the hot path: converting to an integer truncates, and the one value for which adding a half
// rounds up wrongly (the double just below 0.5) is caught by the check.
double roundedHalfAway(double value) {
    if (!(value >= 0 && value < 9e15)) return std::round(value);
    double rounded = static_cast<double>(static_cast<std::int64_t>(value + 0.5));
    if (rounded - value > 0.5) rounded -= 1;
    return rounded;
}

// Centimetres rounded to 0.01 cm, or kNoReading for anything the sensor did not measure.
double centimetresOf(double metres, const RawScan& scan) {
    if (!std::isfinite(metres) || metres < 0 || metres < scan.rangeMin || metres > scan.rangeMax) {
        return kNoReading;
    }
    if (scan.rangeMaxIsNoReturn && metres >= scan.rangeMax) return kNoReading;
    const double centimetres = roundedHalfAway(metres * 10000) / 100;
    return std::isfinite(centimetres) ? centimetres : kNoReading;
}

char* appendDigits(std::uint64_t value, char* out) { return std::to_chars(out, out + 20, value).ptr; }

}  // namespace

namespace {

// Which beam each reading takes (-1: none) for one scanner geometry.
struct BeamMap {
    double angleMin = std::nan("");
    double angleIncrement = std::nan("");
    double facing = std::nan("");
    std::size_t beams = 0;
    std::array<int, kReadingCount> beam{};
};

void mapBeams(BeamMap& map) {
    std::array<double, kReadingCount> distance;
    distance.fill(HUGE_VAL);
    map.beam.fill(-1);
    const double tolerance = std::min(std::fabs(map.angleIncrement) / 2, kTargetTolerance) + kRoundingAllowance;
    const int beams = static_cast<int>(map.beams);
    for (int i = 0; i < beams; ++i) {
        // The bearing as the picture sees it: from the sensor's own, less the way it faces.
        const double bearing = normalised(map.angleMin + i * map.angleIncrement - map.facing);
        if (!std::isfinite(bearing)) continue;
        const int nearest = static_cast<int>(std::round((bearing + kPi / 2) / kTargetStep));
        // A beam halfway between two readings may serve either, so look at both neighbours.
        for (int k = nearest - 1; k <= nearest + 1; ++k) {
            if (k < 0 || k >= kReadingCount) continue;
            const double off = std::fabs(bearing - bearingOf(k));
            // Beams come in index order, so on a tie the lower index keeps the reading. Angles
            // stored as float make equal distances differ in their last bits; those are ties.
            if (off <= tolerance && off < distance[k] - kRoundingAllowance) {
                distance[k] = off;
                map.beam[k] = i;
            }
        }
    }
}

// A sensor keeps its geometry from one scan to the next, so the map is worked out again only
// when the geometry changes.
const std::array<int, kReadingCount>& beamsFor(const RawScan& scan, double facing) {
    static thread_local BeamMap map;
    if (scan.angleMin != map.angleMin || scan.angleIncrement != map.angleIncrement || scan.ranges.size() != map.beams ||
        facing != map.facing) {
        map.angleMin = scan.angleMin;
        map.angleIncrement = scan.angleIncrement;
        map.beams = scan.ranges.size();
        map.facing = facing;
        mapBeams(map);
    }
    return map.beam;
}

}  // namespace

void resampleScan(const RawScan& scan, double facing, ScanRecord& record) {
    const std::array<int, kReadingCount>& beam = beamsFor(scan, facing);
    for (int k = 0; k < kReadingCount; ++k) {
        record.readings[k] = beam[k] < 0 ? kNoReading : centimetresOf(scan.ranges[beam[k]], scan);
    }
}

void resampleScan(const RawScan& scan, ScanRecord& record) {
    resampleScan(scan, 0, record);
    for (double& reading : record.readings) {
        if (std::isnan(reading)) reading = kNoReturnCentimetres;
    }
}

int coveredReadings(const RawScan& scan, double facing) {
    const std::array<int, kReadingCount>& beam = beamsFor(scan, facing);
    return static_cast<int>(std::count_if(beam.begin(), beam.end(), [](int b) { return b >= 0; }));
}

std::size_t returnedBeams(const RawScan& scan) {
    return static_cast<std::size_t>(std::count_if(scan.ranges.begin(), scan.ranges.end(), [&scan](double metres) {
        return !std::isnan(centimetresOf(metres, scan));
    }));
}

double zoomedReading(double centimetres, double zoom) {
    // Through whole hundredths, so that a reading written as 0.29 and halved is 0.145 rounded
    // up, as the number written says, and not what the nearest double to 0.29 gives.
    const double hundredths = roundedHalfAway(centimetres * 100);
    return roundedHalfAway(hundredths * zoom) / 100;
}

char* formatShortest(double value, char* out) {
    // Readings are whole hundredths of a centimetre; those are written with integer digits,
    // which is both the shortest form and much faster than a general conversion.
    const double hundredths = value * 100;
    if (std::fabs(hundredths) < 9e15) {
        std::int64_t whole = static_cast<std::int64_t>(hundredths);
        if (static_cast<double>(whole) == hundredths && static_cast<double>(whole) / 100 == value &&
            !(value == 0 && std::signbit(value))) {
            if (whole < 0) {
                *out++ = '-';
                whole = -whole;
            }
            out = appendDigits(static_cast<std::uint64_t>(whole / 100), out);
            const int fraction = static_cast<int>(whole % 100);
            if (fraction != 0) {
                *out++ = '.';
                *out++ = static_cast<char>('0' + fraction / 10);
                if (fraction % 10 != 0) *out++ = static_cast<char>('0' + fraction % 10);
            }
            return out;
        }
    }
    return std::to_chars(out, out + 32, value).ptr;
}

void appendScanLine(std::string_view leadingText, const ScanRecord& record, std::string& out) {
    // Formatted on the stack and appended once: growing the string first would clear far more
    // bytes than the line needs.
    char line[33 * kReadingCount + 1];
    char* p = line;
    for (double reading : record.readings) {
        *p++ = ' ';
        p = formatShortest(reading, p);
    }
    *p++ = '\n';
    out.reserve(out.size() + leadingText.size() + static_cast<std::size_t>(p - line));
    out.append(leadingText);
    out.append(line, p);
}

namespace {

// Whole seconds and microseconds of |nanoseconds|, rounded to the nearest microsecond.
void splitSeconds(std::int64_t nanoseconds, std::uint64_t& seconds, std::uint64_t& micros) {
    const std::uint64_t magnitude =
        nanoseconds < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(nanoseconds) : static_cast<std::uint64_t>(nanoseconds);
    const std::uint64_t totalMicros = magnitude / 1000 + (magnitude % 1000 >= 500);
    seconds = totalMicros / 1000000;
    micros = totalMicros % 1000000;
}

std::string secondsText(std::int64_t nanoseconds, bool keepTrailingZeros) {
    std::uint64_t seconds = 0, micros = 0;
    splitSeconds(nanoseconds, seconds, micros);
    char text[40];
    char* p = text;
    if (nanoseconds < 0 && (seconds != 0 || micros != 0)) *p++ = '-';
    p = appendDigits(seconds, p);
    if (micros != 0 || keepTrailingZeros) {
        *p++ = '.';
        char digits[6];
        for (int i = 5; i >= 0; --i, micros /= 10) digits[i] = static_cast<char>('0' + micros % 10);
        int shown = 6;
        while (!keepTrailingZeros && digits[shown - 1] == '0') --shown;
        p = std::copy(digits, digits + shown, p);
    }
    return std::string(text, p);
}

}  // namespace

std::string relativeSeconds(std::int64_t nanoseconds) { return secondsText(nanoseconds, false); }

std::string absoluteSeconds(std::int64_t nanoseconds) { return secondsText(nanoseconds, true); }
