// The scan picture and its window.
//
// Each record is drawn top-down on one 640 x 640 image at 8 pixels per metre: the sensor sits
// at the middle of the left edge looking right, positive bearings point up, and every reading
// that lands inside the picture is marked with a small blue circle.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "scan_geometry.hpp"
#include "scan_reader.hpp"

constexpr int kMarkerRadius = 1;
constexpr int kMarkerColour = 255;  // packed colour: channel 0 (blue) full
constexpr const char* kWindowTitle = "rangeScanInspector";

// The one picture every record is drawn on (8-bit, 3 channels, all black).
cv::Mat makeScanImage();

// Marks the point at `range` metres and `angle` radians with a circle, if it is in the picture.
void showPoint(cv::Mat& image, double range, double angle, int radius, int colour);

// Draws the program's marker (what showPoint draws with radius 1 and colour 255) centred on
// `centre`, clipped to the image.
void drawMarker(cv::Mat& image, cv::Point centre);

// Clears `image` and marks every reading of `record` on it.
void drawScan(cv::Mat& image, const ScanRecord& record);

// A picture that records are drawn on one after another, and the markers now on it. Nothing
// but drawScan writes to its image, so the picture is black but for those markers: drawing
// the next record undoes them (at most 361 small stencils) instead of clearing all 1.2 MB,
// and the result is pixel for pixel what clearing and drawing gives.
struct ScanPicture {
    cv::Mat image;                   // kImageSize x kImageSize, 8-bit, 3 channels
    std::vector<cv::Point> markers;  // the centres drawn on it
};

// A black picture of its own.
ScanPicture makeScanPicture();
// A picture drawn into `area`, which is blacked out first: a part of a larger frame.
ScanPicture scanPictureIn(cv::Mat area);

// Undoes the markers on `picture` and marks every reading of `record` on it.
void drawScan(ScanPicture& picture, const ScanRecord& record);

// Shows `image` in the window, making the window on first use, and returns true. The window
// takes its copy of `image` only when it next paints, so the caller leaves `image` as it is
// until the next showScan or pumpWindowEvents. Returns
// false, showing nothing, once the user has closed the window. Ends the process with a
// message and status 1 when there is no display to open the window on, whatever window system
// the toolkit was asked to use.
bool showScan(const cv::Mat& image);

// Lets the window system repaint and handle input; does nothing before the first window or
// after the user has closed it.
void pumpWindowEvents();

// Whether the user has closed the window, as far as the last showScan or pumpWindowEvents saw.
bool windowClosed();
