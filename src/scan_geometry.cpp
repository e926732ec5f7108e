#include "scan_geometry.hpp"

#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

}  // namespace

double bearingOf(int index) {
    return static_cast<double>(static_cast<long double>(index) * kPi / 360.0L - static_cast<long double>(kHalfPi));
}

const BearingTable& bearingTable() {
    static const BearingTable table = [] {
        BearingTable t{};
        for (int i = 0; i < kReadingCount; ++i) {
            t.cosine[i] = std::cos(bearingOf(i));
            t.sine[i] = std::sin(bearingOf(i));
        }
        return t;
    }();
    return table;
}

// The division is done in extended precision and rounded once.
double metresOf(double centimetres) { return static_cast<double>(static_cast<long double>(centimetres) / 100.0L); }

bool projectPoint(double range, double cosine, double sine, PixelPosition& pixel) {
    // Products are rounded once from extended precision, and the pixel quotients are truncated
    // straight from it, so that points on a pixel boundary land where they always have.
    const double dx = static_cast<double>(static_cast<long double>(range) * cosine);
    const double dy = static_cast<double>(static_cast<long double>(range) * sine);
    const long double column = static_cast<long double>(dx) / static_cast<long double>(kMetresPerPixel);
    const long double row = kSensorRow - static_cast<long double>(dy) / static_cast<long double>(kMetresPerPixel);
    // Truncation toward zero makes columns and rows 1..639 exactly the quotients in [1, 640).
    // Testing before converting keeps huge ranges away from an undefined int conversion.
    if (!(column >= 1 && column < kImageSize && row >= 1 && row < kImageSize)) return false;
    pixel.column = static_cast<int>(column);
    pixel.row = static_cast<int>(row);
    return true;
}

bool projectReading(double centimetres, int index, PixelPosition& pixel) {
    const BearingTable& bearings = bearingTable();
    return projectPoint(metresOf(centimetres), bearings.cosine[index], bearings.sine[index], pixel);
}
