// Where a reading lands in the scan picture: the picture's fixed geometry and the arithmetic
// that puts a reading on a pixel. No image or window here, so that every program that needs
// to know what the viewer draws (scanlog's report, its resampling, its pictures) asks this
// unit instead of repeating the sums, and agrees with the viewer to the last pixel.
#pragma once

#include "scan_reader.hpp"

constexpr int kImageSize = 640;
constexpr int kSensorRow = 320;
constexpr double kMetresPerPixel = 0.125;

// A marker's centre: columns grow to the right, rows downward, from the top-left corner.
struct PixelPosition {
    int column = 0;
    int row = 0;
};

// Bearing of reading `index` in radians: -pi/2 at index 0, 0 at 180, +pi/2 at 360, in steps
// of pi/360, counter-clockwise positive.
double bearingOf(int index);

// The cosine and sine of every reading's bearing, worked out once.
struct BearingTable {
    double cosine[kReadingCount];
    double sine[kReadingCount];
};
const BearingTable& bearingTable();

// A reading's range in metres from its centimetres, as the viewer divides it.
double metresOf(double centimetres);

// Centre pixel of a point `range` metres away along the bearing whose cosine and sine are
// given. False when the centre falls outside columns and rows 1..639, including ranges far too
// large for any pixel.
bool projectPoint(double range, double cosine, double sine, PixelPosition& pixel);

// Where reading `index` worth `centimetres` is drawn; false when the viewer draws nothing.
bool projectReading(double centimetres, int index, PixelPosition& pixel);
