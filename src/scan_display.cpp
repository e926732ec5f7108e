#include "scan_display.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <unistd.h>
#include <vector>

#include <X11/Xlib.h>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;
// Painting is a frame's worth of work; more often than a screen refreshes it only slows a
// fast replay down.
constexpr auto kPaintInterval = std::chrono::microseconds(16667);

struct BearingTable {
    double cosine[kReadingCount];
    double sine[kReadingCount];
};

// The bearings never change, so their cosines and sines are worked out once.
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

// Readings are centimetres; the division is done in extended precision and rounded once.
double metresOf(double centimetres) { return static_cast<double>(static_cast<long double>(centimetres) / 100.0L); }

struct WindowState {
    bool made = false;
    std::chrono::steady_clock::time_point lastPaint;
};
WindowState window;

// Qt ends the process with an abort and a core dump when it finds no display, so that is
// checked first. A platform chosen explicitly other than X11 (offscreen, wayland) is trusted.
bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0) return true;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

void failWithoutDisplay() {
    writeAll(STDERR_FILENO, "Error opening display. Please ensure a graphical display is available\n");
    std::exit(1);
}

}  // namespace

cv::Mat makeScanImage() {
    // The program runs on one thread; OpenCV's worker pool would only spin against the loop.
    cv::setNumThreads(0);
    return cv::Mat::zeros(kImageSize, kImageSize, CV_8UC3);
}

double bearingOf(int index) {
    return static_cast<double>(static_cast<long double>(index) * kPi / 360.0L - static_cast<long double>(kHalfPi));
}

bool projectPoint(double range, double cosine, double sine, cv::Point& pixel) {
    // Products are rounded once from extended precision, and the pixel quotients are truncated
    // straight from it, so that points on a pixel boundary land where they always have.
    const double dx = static_cast<double>(static_cast<long double>(range) * cosine);
    const double dy = static_cast<double>(static_cast<long double>(range) * sine);
    const long double column = static_cast<long double>(dx) / static_cast<long double>(kMetresPerPixel);
    const long double row = kSensorRow - static_cast<long double>(dy) / static_cast<long double>(kMetresPerPixel);
    // Truncation toward zero makes columns and rows 1..639 exactly the quotients in [1, 640).
    // Testing before converting keeps huge ranges away from an undefined int conversion.
    if (!(column >= 1 && column < kImageSize && row >= 1 && row < kImageSize)) return false;
    pixel = cv::Point(static_cast<int>(column), static_cast<int>(row));
    return true;
}

namespace {

// The marker as cv::circle draws it (radius 1, thickness 1, colour 255), taken from the
// library once as pixel offsets around the centre. Setting those pixels directly gives the
// same picture as calling cv::circle for each of the 361 readings, without a library call and
// its setup per reading.
struct MarkerStencil {
    std::vector<cv::Point> offsets;
    cv::Vec3b colour;
};

const MarkerStencil& markerStencil() {
    static const MarkerStencil stencil = [] {
        constexpr int centre = kMarkerRadius + 1;
        cv::Mat probe = cv::Mat::zeros(2 * centre + 1, 2 * centre + 1, CV_8UC3);
        cv::circle(probe, cv::Point(centre, centre), kMarkerRadius, cv::Scalar(kMarkerColour), 1);
        MarkerStencil s;
        for (int y = 0; y < probe.rows; ++y) {
            for (int x = 0; x < probe.cols; ++x) {
                if (probe.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 0)) continue;
                s.offsets.emplace_back(x - centre, y - centre);
                s.colour = probe.at<cv::Vec3b>(y, x);
            }
        }
        return s;
    }();
    return stencil;
}

}  // namespace

void drawMarker(cv::Mat& image, cv::Point centre) {
    const MarkerStencil& stencil = markerStencil();
    for (const cv::Point& offset : stencil.offsets) {
        const cv::Point p = centre + offset;
        if (p.x >= 0 && p.x < image.cols && p.y >= 0 && p.y < image.rows) image.at<cv::Vec3b>(p) = stencil.colour;
    }
}

void showPoint(cv::Mat& image, double range, double angle, int radius, int colour) {
    cv::Point pixel;
    if (projectPoint(range, std::cos(angle), std::sin(angle), pixel)) {
        cv::circle(image, pixel, radius, cv::Scalar(colour), 1);
    }
}

void drawScan(cv::Mat& image, const ScanRecord& record) {
    const BearingTable& bearings = bearingTable();
    image.setTo(cv::Scalar::all(0));
    for (int i = 0; i < kReadingCount; ++i) {
        cv::Point pixel;
        if (projectPoint(metresOf(record.readings[i]), bearings.cosine[i], bearings.sine[i], pixel)) {
            drawMarker(image, pixel);
        }
    }
}

void pumpWindowEvents() {
    if (!window.made) return;
    cv::pollKey();
    window.lastPaint = std::chrono::steady_clock::now();
}

void showScan(const cv::Mat& image) {
    if (!window.made && !displayAvailable()) failWithoutDisplay();
    cv::namedWindow(kWindowTitle, cv::WINDOW_AUTOSIZE);
    cv::imshow(kWindowTitle, image);
    cv::resizeWindow(kWindowTitle, image.cols + 3, image.rows + 3);
    window.made = true;
    if (std::chrono::steady_clock::now() - window.lastPaint >= kPaintInterval) pumpWindowEvents();
}
