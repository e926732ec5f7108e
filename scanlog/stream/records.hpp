// Turning a sensor's scan into a scan-file record, and writing records as text.
//
// A record holds 361 readings for the bearings -90 + 0.5 k degrees (k = 0..360), 0 straight
// ahead and positive to the left; a sensor turned to face another way (`facing`) puts its
// bearing `facing` straight ahead, so reading k looks along facing - 90 + 0.5 k degrees of
// the sensor's own. Reading k takes the source beam nearest to its bearing, if
// that beam is within half the sensor's own step and within a quarter degree; otherwise it is
// "no return". Readings are never interpolated: every number written is one the sensor
// measured, in centimetres rounded to 0.01 cm.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "formats/format_reader.hpp"
#include "scan_reader.hpp"

// No return, as real logs of this format write it: 81.91 m, beyond the picture.
constexpr double kNoReturnCentimetres = 8191;

// A reading the sensor gave no return for, while a record is being prepared: what is written
// in its place is the writer's choice (kNoReturnCentimetres unless asked otherwise).
constexpr double kNoReading = std::numeric_limits<double>::quiet_NaN();

// Fills `record.readings` from `scan` for a sensor facing `facing` radians, with kNoReading
// where there is no return (leadingValue is left alone).
void resampleScan(const RawScan& scan, double facing, ScanRecord& record);
// The same facing straight ahead, with no return written as the stored logs write it.
void resampleScan(const RawScan& scan, ScanRecord& record);

// How many of the 361 readings a sensor with `scan`'s geometry, facing `facing` radians, has a
// beam for.
int coveredReadings(const RawScan& scan, double facing);

// How many of the sensor's own beams in `scan` have a return.
std::size_t returnedBeams(const RawScan& scan);

// A reading with a return (centimetres) times `zoom`: the reading to 0.01 cm, as scanlog
// writes readings, times `zoom`, rounded to 0.01 cm half away from zero.
double zoomedReading(double centimetres, double zoom);

// Writes `value` in the shortest form that reads back as the same double: 512, 123.4, 0.25,
// 1e-07. `out` needs room for 32 bytes; returns one past the last byte written.
char* formatShortest(double value, char* out);

// Appends one scan-file line: `leadingText`, then the 361 readings, separated by single
// blanks, then a line end.
void appendScanLine(std::string_view leadingText, const ScanRecord& record, std::string& out);

// Seconds for `nanoseconds`, rounded to the microsecond: relative with trailing zeros dropped
// (0, 0.013333, 12.5, -0.2), absolute always with 6 decimals (1771520011.719411).
std::string relativeSeconds(std::int64_t nanoseconds);
std::string absoluteSeconds(std::int64_t nanoseconds);
