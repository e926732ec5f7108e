// scanlog render: a log as a video or pictures, each frame the viewer's own picture of a
// record, drawn by the viewer's code without a window or a display.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <opencv2/core/utils/logger.hpp>
#include <unistd.h>

#include "commands.hpp"
#include "pictures/caption.hpp"
#include "pictures/frame_output.hpp"
#include "pictures/frame_schedule.hpp"
#include "play/pacing.hpp"
#include "play/terminal.hpp"
#include "scan_display.hpp"
#include "stream/picture.hpp"

namespace {

constexpr double kSecondNs = 1e9;

std::int64_t steadyNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::string fileNameOf(const std::string& path) {
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') name.pop_back();  // a ROS 2 bag's folder
    const std::size_t slash = name.rfind('/');
    return slash == std::string::npos || name.size() == 1 ? name : name.substr(slash + 1);
}

struct Render {
    const RenderOptions* options = nullptr;
    OutputKind kind = OutputKind::png;
    FrameOutput output;
    cv::Mat frame;               // the picture, with the caption strip under it when asked for
    ScanPicture picture;         // the top of `frame`
    cv::Mat strip;
    std::uint64_t drawn = 0;     // the record on the picture; 0 none
    double zoom = 1;             // the last frame's
    CaptionText caption;

    FrameSchedule schedule;
    bool timed = false;          // paced by the records' own times, as play decides
    std::uint64_t seen = 0;      // records read from the log
    std::uint64_t total = 0;     // records in the log, when the log says
    std::int64_t firstLogNs = 0; // record 1's time
    std::int64_t previousLogNs = 0;
    std::int64_t videoNs = 0;    // the previous rendered record's time on the video's clock
    std::uint64_t rendered = 0;  // records from --start on
    FramedRecord single;         // the one picture of a single PNG
    bool failed = false;         // output.error says why

    bool progressOn = false;
    bool progressShown = false;
    std::int64_t startedNs = 0;
    std::int64_t progressAt = 0;
};

// ---- signals: the half-written file goes with the process -------------------------------

bool progressOnTerminal = false;

void endOnSignal(int signal) {
    abandonFrameOutputOnSignal();
    if (progressOnTerminal) {
        const ssize_t ignored = write(STDERR_FILENO, kClearStatus, sizeof "\r\x1b[K" - 1);
        (void)ignored;
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void removeOutputOnSignals() {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, endOnSignal);
}

// ---- progress -------------------------------------------------------------------------------

void showProgress(Render& r, bool now) {
    if (!r.progressOn) return;
    const std::int64_t nowNs = steadyNow();
    if (!now && nowNs - r.progressAt < kStatusIntervalNs) return;
    r.progressAt = nowNs;
    char text[160];
    int length = std::snprintf(text, sizeof text, "rendering  record %llu", static_cast<unsigned long long>(r.seen));
    if (r.total > 0) {
        length += std::snprintf(text + length, sizeof text - length, " of %llu (%.0f%%)",
                                static_cast<unsigned long long>(r.total), 100.0 * static_cast<double>(r.seen) / static_cast<double>(r.total));
    }
    const double seconds = static_cast<double>(nowNs - r.startedNs) / kSecondNs;
    if (seconds > 0) {
        std::snprintf(text + length, sizeof text - length, "  %.0f frames a second",
                      static_cast<double>(r.output.written) / seconds);
    }
    writeAll(STDERR_FILENO, statusLine(text));
    r.progressShown = true;
}

void clearProgress(Render& r) {
    if (r.progressShown) writeAll(STDERR_FILENO, kClearStatus);
    r.progressShown = false;
}

// ---- frames ---------------------------------------------------------------------------------

bool writeFrameOf(Render& r, const FramedRecord& shown) {
    if (shown.number != r.drawn) {
        drawScan(r.picture, shown.record);
        r.drawn = shown.number;
    }
    if (r.options->caption) {
        r.caption.record = shown.number;
        r.caption.zoom = shown.zoom;
        r.caption.logSeconds = static_cast<double>(shown.logNs) / kSecondNs;
        drawCaption(r.strip, r.caption);
    }
    r.zoom = shown.zoom;
    if (!writeFrame(r.output, r.frame)) {
        r.failed = true;
        return false;
    }
    showProgress(r, false);
    return true;
}

const FrameWriter frameWriter(Render& r) {
    return [&r](std::uint64_t, const FramedRecord& shown) { return writeFrameOf(r, shown); };
}

// A record's time as play paces it: its stamp when the log is timed, else its place at --rate.
std::int64_t logTimeOf(const Render& r, const LogScan& scan) {
    if (r.timed) return scan.stampNs;
    return std::llround(static_cast<double>(scan.number - 1) * kSecondNs / r.options->play.rate);
}

FramedRecord framedRecordOf(Render& r, const LogScan& scan) {
    const std::int64_t logNs = logTimeOf(r, scan);
    if (scan.number == 1) r.firstLogNs = logNs;
    FramedRecord framed;
    // The record as play and view write it, at the zoom the picture options give it.
    prepareRecord(scan, r.options->play.picture, scan.zoom, framed.record);
    framed.number = scan.number;
    framed.zoom = scan.zoom;
    framed.logNs = logNs - r.firstLogNs;
    // Play goes on at once over a step backwards or a long gap, and so does the video.
    if (r.rendered > 0 && !(r.timed && isUnwaitedStep(r.previousLogNs, logNs))) r.videoNs += logNs - r.previousLogNs;
    framed.timeNs = r.videoNs;
    r.previousLogNs = logNs;
    return framed;
}

// Takes one record of the log; false when no more are wanted.
bool takeScan(Render& r, const LogScan& scan) {
    if (scan.number == 1) r.timed = scan.timed;
    ++r.seen;
    const bool single = r.kind == OutputKind::png;
    if (!single && scan.number < r.options->play.start) return true;
    FramedRecord framed = framedRecordOf(r, scan);
    ++r.rendered;
    if (single) {
        r.single = framed;
        showProgress(r, false);
        return scan.number != r.options->at;
    }
    if (r.options->everyRecord) return writeFrameOf(r, framed);
    return scheduleRecord(r.schedule, framed, frameWriter(r));
}

// Writes what the records read so far end with: the last frame, or the one picture.
bool finishFrames(Render& r) {
    if (r.kind == OutputKind::png) {
        if (r.single.number == 0 || (r.options->at != 0 && r.single.number != r.options->at)) return true;
        return writeFrameOf(r, r.single);
    }
    if (r.options->everyRecord) return true;
    return scheduleEnd(r.schedule, frameWriter(r));
}

std::string recordsText(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " record" : " records");
}

std::string summaryOf(const Render& r) {
    char text[256];
    const std::string out = printableName(r.options->out);
    if (r.kind == OutputKind::png) {
        std::snprintf(text, sizeof text, "scanlog: rendered record %llu (zoom %g) to %s",
                      static_cast<unsigned long long>(r.single.number), r.single.zoom, out.c_str());
        return text;
    }
    const double seconds = static_cast<double>(r.output.written) / r.options->fps;
    std::snprintf(text, sizeof text, "scanlog: rendered %llu %s of %s to %s: %.3f s at %g fps, zoom %g, %s",
                  static_cast<unsigned long long>(r.output.written), r.output.written == 1 ? "frame" : "frames",
                  recordsText(r.rendered).c_str(), out.c_str(), seconds, r.options->fps, r.zoom,
                  r.output.encoder.c_str());
    return text;
}

// Why nothing could be rendered, when the log itself is fine; empty otherwise.
std::string nothingToRender(const Render& r, const std::string& input) {
    const std::string name = printableName(input);
    if (r.seen == 0) return "scanlog: " + name + " holds no records: nothing to render";
    if (r.kind == OutputKind::png && r.options->at > r.seen) {
        return "scanlog: " + name + " has " + recordsText(r.seen) + "; --at " + std::to_string(r.options->at) +
               " is past its end";
    }
    if (r.rendered == 0) {
        return "scanlog: " + name + " has " + recordsText(r.seen) + "; --start " +
               std::to_string(r.options->play.start) + " is past its end";
    }
    return "scanlog: nothing to render";
}

void setUpFrame(Render& r) {
    const int height = kImageSize + (r.options->caption ? kCaptionHeight : 0);
    r.frame = cv::Mat(height, kImageSize, CV_8UC3);
    r.picture = scanPictureIn(r.frame(cv::Rect(0, 0, kImageSize, kImageSize)));
    if (r.options->caption) r.strip = r.frame(cv::Rect(0, kImageSize, kImageSize, kCaptionHeight));
}

}  // namespace

int runRender(const std::string& input, const RenderOptions& options) {
    // Encoders that are missing are asked for in turn; OpenCV's own complaints about them
    // would only confuse.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    // FFmpeg's own messages likewise, unless the user asks OpenCV for them.
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    makeScanImage();  // the drawing's one-thread set-up, as in the viewer
    Render r;
    r.options = &options;
    outputKindOf(options.out, r.kind);
    r.schedule = makeFrameSchedule(options.fps, options.play.speed);
    r.caption.logName = printableName(fileNameOf(input));
    setUpFrame(r);
    r.progressOn = isatty(STDERR_FILENO) != 0;
    progressOnTerminal = r.progressOn;
    r.startedNs = steadyNow();
    removeOutputOnSignals();

    if (!openFrameOutput(r.output, r.kind, options.out, r.frame.size(), options.fps)) {
        std::fprintf(stderr, "%s\n", r.output.error.c_str());
        return 1;
    }
    // H.264 is what an MP4 is expected to hold; anything else is said at once (and in the summary).
    if (r.kind == OutputKind::mp4 && r.output.encoder != "H.264") {
        std::fprintf(stderr, "scanlog: this machine's FFmpeg has no H.264 encoder: %s is %s\n",
                     printableName(options.out).c_str(), r.output.encoder.c_str());
    }

    LogSink sink;
    sink.begin = [&r](const LogInfo& info) { r.total = info.scanCount; };
    sink.scan = [&r](const LogScan& scan) { return takeScan(r, scan); };
    std::string logError;
    const std::uint64_t firstPlayed = r.kind == OutputKind::png ? 1 : options.play.start;
    const bool read =
        readPictureLog(input, options.play.log, options.play.picture, firstPlayed, options.play.timed, sink, logError);
    if (!r.failed) finishFrames(r);
    clearProgress(r);

    // A failed output is the one thing to report; a log that gave no frame is reported by why.
    std::string failure;
    if (r.failed) {
        failure = r.output.error;
    } else if (r.output.written == 0) {
        failure = read ? nothingToRender(r, input) : logError;
    } else if (!finishFrameOutput(r.output)) {
        failure = r.output.error;
    }
    if (!failure.empty()) {
        abandonFrameOutput(r.output);
        std::fprintf(stderr, "%s\n", failure.c_str());
        return 1;
    }
    std::fprintf(stderr, "%s\n", summaryOf(r).c_str());
    if (!read) std::fprintf(stderr, "%s\n", logError.c_str());
    return read ? 0 : 1;
}
