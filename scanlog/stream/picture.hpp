// Records as the picture wants them: the scene zoomed to fill the picture, the sensor turned
// to face right, and no return written where the viewer draws nothing. Every command that
// writes records (convert, play, view, and anything else that hands records to the viewer)
// makes them here, so that they all hand out the same bytes for the same options:
//
//   readPictureLog(path, logOptions, picture, firstPlayed, ..., sink, error)
//       reads the log at picture.facing and, for `fit`, chooses the zoom; then for each scan
//   prepareRecord(scan, picture, scan.zoom, record)
//       gives the record to write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/log_source.hpp"
#include "stream/records.hpp"

constexpr double kSmallestZoom = 0.01;
constexpr double kLargestZoom = 1024;
// `fit` looks at this many scans, from the first one played.
constexpr std::uint64_t kFitScans = 50;
// ... and takes the largest 2^n, n = 0 to kFitLargestPower, that brings this share of their
// returns within kFitMetres.
constexpr int kFitLargestPower = 10;
constexpr double kFitShare = 0.98;
constexpr double kFitMetres = 40;
// The facings a user may ask for, in degrees.
constexpr double kLargestFacing = 180;

struct PictureOptions {
    double zoom = 1;       // every reading with a return is multiplied by it
    bool fit = false;      // the zoom is chosen from the first scans played (fitZoom)
    double facing = 0;     // degrees, counter-clockwise: the sensor's bearing drawn straight ahead
    double noReturn = kNoReturnCentimetres;  // written where there is no return, never zoomed
    // Scan files pass through as read at zoom 1 unless this is set; when it is, their readings
    // at or above kNoReturnCentimetres and at or below 0 are no returns, written as noReturn.
    bool rewriteScanFiles = false;
};

// Whether `reading` of a LogScan's record (`scanFile`: read from a scan file) has a return.
bool hasReturn(double reading, bool scanFile);

// The record to write from a LogScan's record at `zoom`; leadingValue is kept.
void prepareRecord(const ScanRecord& base, bool scanFile, const PictureOptions& picture, double zoom,
                   ScanRecord& out);
void prepareRecord(const LogScan& scan, const PictureOptions& picture, double zoom, ScanRecord& out);

// The zoom for `fit`: the largest 2^n (n = 0 to kFitLargestPower) that brings the kFitShare
// quantile of `returns` (centimetres) within kFitMetres; 1 when there are none or none does.
double fitZoom(std::vector<double> returns);

// As readLog, with the sensor turned to picture.facing. Every scan comes with the zoom to
// draw it at (LogScan::zoom): picture.zoom, or for `fit` the zoom chosen from the kFitScans
// scans from `firstPlayed` on (fewer when the log is shorter), which are held back until it is
// chosen. Scans before `firstPlayed` come at once, at picture.zoom.
bool readPictureLog(const std::string& path, const LogOptions& options, const PictureOptions& picture,
                    std::uint64_t firstPlayed, bool leadingValuesAreSeconds, const LogSink& sink, std::string& error);

// The scale of the picture at `zoom`: "zoom 8x: 10 m ahead, 5 m to each side".
std::string scaleText(double zoom);
