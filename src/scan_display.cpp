#include "scan_display.hpp"

// Qt before X11: X11's macros (None, Bool, Status) would break Qt's headers.
#include <QtCore/QCoreApplication>
#include <QtCore/QEvent>
#include <QtCore/qlogging.h>
#include <QtCore/qstring.h>
#include <QtGui/QGuiApplication>
#include <QtGui/QWindow>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include <X11/Xlib.h>

namespace {

// Painting is a frame's worth of work; more often than a screen refreshes it only slows a
// fast replay down.
constexpr auto kPaintInterval = std::chrono::microseconds(16667);

struct WindowState {
    bool made = false;
    bool closed = false;  // the user closed it; it is never made again
    std::chrono::steady_clock::time_point lastPaint;
    // The window's X11 window, watched on a connection of the program's own (see watchX11Window).
    Display* watcher = nullptr;
    Window x11Window = 0;
    // The latest picture showScan was given, and whether the window has it yet (see showScan).
    cv::Mat picture;
    bool pictureHandedOver = false;
};
WindowState window;

void failWithoutDisplay() {
    writeAll(STDERR_FILENO, "Error opening display. Please ensure a graphical display is available\n");
    // Called from inside Qt's start-up, where running the exit handlers would tear down a half
    // made application; nothing is buffered, every line went out with write().
    _exit(1);
}

// ---- Qt's messages ------------------------------------------------------------------------
//
// Whatever platform Qt picks (X11 by default, or what QT_QPA_PLATFORM names: wayland, eglfs,
// a typo...), when it cannot start Qt writes a fatal message and aborts with a core dump. The
// fatal message passes through Qt's message handler first, so while the window is being made
// the program holds Qt's messages there: a fatal one means there is no display, and the
// warnings that led up to it are dropped with it. Probing each platform beforehand would have
// to repeat Qt's own choice of plugin, its fallbacks and each plugin's needs; this asks Qt.
// Messages are held in the same way while Qt handles the window's events, and dropped when
// the window turns out to have gone meanwhile: Qt complains about drawing into a window that
// another client destroyed. Otherwise held messages go to Qt's own handler, unchanged and in
// order, once the window is up or the events are handled.

// Qt's own messages carry no file or function in its release builds; the category is copied,
// as it may live in a platform plugin that Qt unloads once the plugin has failed.
struct HeldMessage {
    QtMsgType type;
    std::string category;
    QString text;
};

struct QtMessages {
    QtMessageHandler qtHandler = nullptr;  // Qt's own, which writes to standard error
    bool starting = false;                 // the first window is being made
    bool holding = false;
    std::vector<HeldMessage> held;
};
QtMessages qtMessages;

// Ends holding; the held messages go to Qt's handler when `keep`, and are dropped otherwise.
void releaseQtMessages(bool keep) {
    qtMessages.holding = false;
    for (const HeldMessage& m : qtMessages.held) {
        if (keep) qtMessages.qtHandler(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category.c_str()), m.text);
    }
    qtMessages.held.clear();
}

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (!qtMessages.holding) return qtMessages.qtHandler(type, context, text);
    if (type == QtFatalMsg && qtMessages.starting) failWithoutDisplay();
    // No category and "default" read the same to Qt.
    qtMessages.held.push_back({type, context.category != nullptr ? context.category : "default", text});
    if (type == QtFatalMsg) releaseQtMessages(true);  // then Qt aborts, as it always has
}

void holdQtMessages() {
    if (qtMessages.qtHandler == nullptr) {
        qtMessages.qtHandler = qInstallMessageHandler(onQtMessage);
        // Qt ends the process itself when its connection to the display breaks.
        std::atexit([] { releaseQtMessages(true); });
    }
    qtMessages.holding = true;
}

// ---- telling that the user closed the window --------------------------------------------

// A close request from the window system (the close button, which sends WM_DELETE_WINDOW)
// makes OpenCV delete its window, and with the last window its whole window machinery, after
// which it answers questions about the window with an exception. -1 means the backend can't
// tell, which is not taken as closed.
bool openCvWindowGone() {
    try {
        return cv::getWindowProperty(kWindowTitle, cv::WND_PROP_VISIBLE) == 0;
    } catch (const cv::Exception&) {
        return true;
    }
}

// Another client destroying the X11 window (xdotool windowclose) goes unnoticed by Qt: it keeps
// drawing into a window that is gone, and the program would run on with nothing on screen.
// So the window is watched on a connection of the program's own, which X tells when the
// window is destroyed, whoever destroys it.
bool x11ErrorSeen = false;
int noteX11Error(Display*, XErrorEvent*) {
    x11ErrorSeen = true;
    return 0;
}

void watchX11Window() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    Window id = 0;
    for (QWindow* w : QGuiApplication::topLevelWindows()) {
        if (w->title() == QLatin1String(kWindowTitle) && w->handle() != nullptr) id = static_cast<Window>(w->winId());
    }
    if (id == 0) return;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return;
    // Errors are caught here only, around the one request that can fail (the window may be gone
    // already); Qt's own handler is back in place afterwards.
    x11ErrorSeen = false;
    const XErrorHandler qtErrorHandler = XSetErrorHandler(noteX11Error);
    XSelectInput(display, id, StructureNotifyMask);
    XSync(display, False);
    XSetErrorHandler(qtErrorHandler);
    window.watcher = display;
    window.x11Window = id;
    if (x11ErrorSeen) window.closed = true;
}

bool x11WindowDestroyed() {
    if (window.watcher == nullptr) return false;
    while (XPending(window.watcher) > 0) {
        XEvent event;
        XNextEvent(window.watcher, &event);
        if (event.type == DestroyNotify && event.xdestroywindow.window == window.x11Window) return true;
    }
    return false;
}

}  // namespace

cv::Mat makeScanImage() {
    // The program runs on one thread; OpenCV's worker pool would only spin against the loop.
    cv::setNumThreads(0);
    return cv::Mat::zeros(kImageSize, kImageSize, CV_8UC3);
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

// Sets the marker's pixels around `centre` to `colour`, clipped to the image.
void stampMarker(cv::Mat& image, cv::Point centre, const cv::Vec3b& colour) {
    for (const cv::Point& offset : markerStencil().offsets) {
        const cv::Point p = centre + offset;
        if (p.x >= 0 && p.x < image.cols && p.y >= 0 && p.y < image.rows) image.at<cv::Vec3b>(p) = colour;
    }
}

}  // namespace

void drawMarker(cv::Mat& image, cv::Point centre) { stampMarker(image, centre, markerStencil().colour); }

void showPoint(cv::Mat& image, double range, double angle, int radius, int colour) {
    PixelPosition pixel;
    if (projectPoint(range, std::cos(angle), std::sin(angle), pixel)) {
        cv::circle(image, cv::Point(pixel.column, pixel.row), radius, cv::Scalar(colour), 1);
    }
}

void drawScan(cv::Mat& image, const ScanRecord& record) {
    image.setTo(cv::Scalar::all(0));
    for (int i = 0; i < kReadingCount; ++i) {
        PixelPosition pixel;
        if (projectReading(record.readings[i], i, pixel)) drawMarker(image, cv::Point(pixel.column, pixel.row));
    }
}

ScanPicture makeScanPicture() {
    ScanPicture picture;
    picture.image = makeScanImage();
    picture.markers.reserve(kReadingCount);
    return picture;
}

ScanPicture scanPictureIn(cv::Mat area) {
    area.setTo(cv::Scalar::all(0));
    ScanPicture picture;
    picture.image = area;
    picture.markers.reserve(kReadingCount);
    return picture;
}

void drawScan(ScanPicture& picture, const ScanRecord& record) {
    // Markers overlap, so every old one is undone before any new one is drawn.
    for (const cv::Point& centre : picture.markers) stampMarker(picture.image, centre, cv::Vec3b(0, 0, 0));
    picture.markers.clear();
    const cv::Vec3b& colour = markerStencil().colour;
    for (int i = 0; i < kReadingCount; ++i) {
        PixelPosition pixel;
        if (!projectReading(record.readings[i], i, pixel)) continue;
        picture.markers.emplace_back(pixel.column, pixel.row);
        stampMarker(picture.image, picture.markers.back(), colour);
    }
}

namespace {

// Between two scans of a replay, what OpenCV's key wait (cv::pollKey) does with Qt, without
// its sleeps: it hands Qt its pending events, sleeps a millisecond, and does both again until
// its 1 ms timer has fired, which costs a fast replay a fifth of its time. Qt's own sync does
// the same rounds with a round trip to the window system in place of the sleep: the window is
// painted and a close request handled alike. A window closed just now is deleted at once, as
// in the key wait: until then OpenCV would show the next picture in it again. While the
// program waits for input, the key wait itself runs: its sleep is then no loss, and it gives
// the news of a window destroyed by another client time to come in before Qt's complaints
// about drawing into it are judged.
void handleQtEvents(bool betweenScans) {
    if (!betweenScans) {
        cv::pollKey();
        return;
    }
    QGuiApplication::sync();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Gives the window the latest picture: the toolkit copies it (turning it into its own colour
// order, a pass over all 1.2 MB) and paints that copy when it next handles events.
void handOverPicture() {
    cv::namedWindow(kWindowTitle, cv::WINDOW_AUTOSIZE);
    cv::imshow(kWindowTitle, window.picture);
    cv::resizeWindow(kWindowTitle, window.picture.cols + 3, window.picture.rows + 3);
    window.made = true;
    window.pictureHandedOver = true;
}

void pumpEvents(bool betweenScans) {
    if (!window.made || window.closed) return;
    // Asked before Qt gets its turn, so that Qt never draws into a window that another client
    // destroyed, and after, as the window may go while Qt draws or handles a close request.
    window.closed = x11WindowDestroyed();
    if (window.closed) return;
    if (!window.pictureHandedOver) handOverPicture();
    holdQtMessages();
    handleQtEvents(betweenScans);
    window.lastPaint = std::chrono::steady_clock::now();
    window.closed = x11WindowDestroyed() || openCvWindowGone();
    // While the first window is made its messages stay held until it is watched (see showScan).
    if (!qtMessages.starting) releaseQtMessages(!window.closed);
}

}  // namespace

void pumpWindowEvents() { pumpEvents(false); }

bool windowClosed() { return window.closed; }

// The window paints only while its events are handled, at most once a screen refresh, and then
// shows the last picture it was handed. So a picture is handed over only when it can be seen:
// for the first record, when a paint is due, and before the program waits (pumpWindowEvents).
// What is on screen at every paint is the same as if each record were handed over, without a
// copy of the whole image per record, which was most of a fast replay's time.
bool showScan(const cv::Mat& image) {
    // Showing would make a new window in place of the one the user closed. The window can only
    // go while events are handled, and pumpWindowEvents looks right after handling them.
    if (window.closed) return false;
    window.picture = image;
    window.pictureHandedOver = false;
    const bool first = !window.made;
    if (first) {
        qtMessages.starting = true;
        holdQtMessages();
        handOverPicture();
    }
    if (std::chrono::steady_clock::now() - window.lastPaint >= kPaintInterval) pumpEvents(true);
    if (first) {
        // Until the window is watched, its destruction by another client shows only as Qt's
        // complaints about drawing into it. The watch tells whether it is gone already, and
        // only then do the complaints held so far go out, or not.
        watchX11Window();
        qtMessages.starting = false;
        releaseQtMessages(!window.closed);
    }
    return true;
}
