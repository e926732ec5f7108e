#include "picture.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "scan_geometry.hpp"

bool hasReturn(double reading, bool scanFile) {
    if (scanFile) return reading > 0 && reading < kNoReturnCentimetres;
    return !std::isnan(reading);
}

void prepareRecord(const ScanRecord& base, bool scanFile, const PictureOptions& picture, double zoom,
                   ScanRecord& out) {
    out.leadingValue = base.leadingValue;
    if (scanFile && zoom == 1 && !picture.rewriteScanFiles) {
        out.readings = base.readings;
        return;
    }
    for (int k = 0; k < kReadingCount; ++k) {
        const double reading = base.readings[k];
        if (!hasReturn(reading, scanFile)) {
            out.readings[k] = picture.noReturn;
        } else {
            // At zoom 1 a reading stays exactly as the log gave it.
            out.readings[k] = zoom == 1 ? reading : zoomedReading(reading, zoom);
        }
    }
}

void prepareRecord(const LogScan& scan, const PictureOptions& picture, double zoom, ScanRecord& out) {
    prepareRecord(scan.record, scan.scanFile, picture, zoom, out);
}

double fitZoom(std::vector<double> returns) {
    if (returns.empty()) return 1;
    // The nearest-rank quantile: the smallest return with at least kFitShare of them at or below.
    std::size_t rank = static_cast<std::size_t>(std::ceil(kFitShare * static_cast<double>(returns.size())));
    rank = std::clamp<std::size_t>(rank, 1, returns.size());
    auto at = returns.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(returns.begin(), at, returns.end());
    const double metres = *at / 100;
    for (int power = kFitLargestPower; power > 0; --power) {
        if (metres * std::ldexp(1.0, power) <= kFitMetres) return std::ldexp(1.0, power);
    }
    return 1;
}

namespace {

// Holds the first scans played back until `fit` has chosen the zoom.
struct Fitting {
    const PictureOptions& picture;
    std::uint64_t firstPlayed;
    const LogSink& sink;
    double zoom;
    bool chosen;
    std::vector<LogScan> held;
    std::vector<double> returns;
    bool stopped = false;
};

// Hands on what was held, at the zoom chosen from it.
bool release(Fitting& f) {
    if (f.chosen) return !f.stopped;
    f.chosen = true;
    f.zoom = fitZoom(std::move(f.returns));
    for (LogScan& scan : f.held) {
        scan.zoom = f.zoom;
        if (!f.stopped && !f.sink.scan(scan)) f.stopped = true;
    }
    f.held.clear();
    return !f.stopped;
}

bool takeScan(Fitting& f, const LogScan& scan) {
    if (f.chosen || scan.number < f.firstPlayed) {
        LogScan passed = scan;
        passed.zoom = f.chosen ? f.zoom : f.picture.zoom;
        if (!f.sink.scan(passed)) f.stopped = true;
        return !f.stopped;
    }
    for (double reading : scan.record.readings) {
        if (hasReturn(reading, scan.scanFile)) f.returns.push_back(reading);
    }
    f.held.push_back(scan);
    f.held.back().raw = nullptr;  // the reader's scan is gone by the time this one is handed on
    if (f.held.size() < kFitScans) return true;
    return release(f);
}

}  // namespace

bool readPictureLog(const std::string& path, const LogOptions& options, const PictureOptions& picture,
                    std::uint64_t firstPlayed, bool leadingValuesAreSeconds, const LogSink& sink, std::string& error) {
    LogOptions turned = options;
    turned.facing = picture.facing;
    Fitting fitting{picture, firstPlayed, sink, picture.zoom, !picture.fit, {}, {}};
    LogSink fitted;
    fitted.begin = sink.begin;
    fitted.waiting = sink.waiting;
    fitted.scan = [&fitting](const LogScan& scan) { return takeScan(fitting, scan); };
    const bool ok = readLog(path, turned, leadingValuesAreSeconds, fitted, error);
    // A log shorter than the fit, or damaged within it, is drawn at the zoom its scans give.
    release(fitting);
    return ok;
}

namespace {

// Metres as a person reads them: whole above 100, else three significant digits.
std::string metresText(double metres) {
    char text[32];
    std::snprintf(text, sizeof text, metres >= 100 ? "%.0f m" : "%.3g m", metres);
    return text;
}

}  // namespace

std::string scaleText(double zoom) {
    char factor[32];
    std::snprintf(factor, sizeof factor, "%g", zoom);
    const double ahead = kImageSize * kMetresPerPixel / zoom;
    return std::string("zoom ") + factor + "x: " + metresText(ahead) + " ahead, " + metresText(ahead / 2) +
           " to each side";
}
