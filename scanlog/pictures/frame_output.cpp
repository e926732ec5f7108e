#include "frame_output.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "pictures/png_picture.hpp"
#include "scan_reader.hpp"

const char* const kOutputNamesHelp =
    "OUT ends in .mp4 (H.264, or MPEG-4 Part 2), .avi (Motion JPEG) or .png: one picture, or one a frame "
    "when the name holds a printf-style number such as %05d";

namespace {

// The temporary file's name, kept where a signal handler may read it: the name is written
// before it is marked as set, and unmarked before it changes.
char temporaryForSignals[4096];
volatile std::sig_atomic_t temporaryForSignalsSet = 0;

void noteTemporary(const std::string& name) {
    temporaryForSignalsSet = 0;
    if (name.empty() || name.size() >= sizeof temporaryForSignals) return;
    std::memcpy(temporaryForSignals, name.c_str(), name.size() + 1);
    temporaryForSignalsSet = 1;
}

bool endsWithIgnoringCase(const std::string& text, const std::string& ending) {
    if (text.size() < ending.size()) return false;
    return std::equal(ending.begin(), ending.end(), text.end() - static_cast<std::ptrdiff_t>(ending.size()),
                      [](char wanted, char given) { return std::tolower(static_cast<unsigned char>(given)) == wanted; });
}

// The printf-style number in a name: "%d", "%5d" or "%05d"; "%%" is a percent sign.
struct NumberField {
    std::size_t at = 0;      // where it starts
    std::size_t length = 0;  // 0: none
    int width = 0;
    bool zeros = false;
};

// False when the name holds a percent sign that is neither "%%" nor a number, or two numbers.
bool findNumberField(const std::string& name, NumberField& field) {
    field = NumberField{};
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') continue;
        if (i + 1 < name.size() && name[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        const bool zeros = j < name.size() && name[j] == '0';
        if (zeros) ++j;
        int width = 0;
        while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j])) && width < 100) {
            width = width * 10 + (name[j] - '0');
            ++j;
        }
        if (j >= name.size() || name[j] != 'd' || width >= 100 || field.length != 0) return false;
        field = {i, j + 1 - i, width, zeros};
        i = j;
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name beside `path`, hidden, of this process, that keeps its ending (FFmpeg picks the
// container by it).
std::string temporaryNameFor(const std::string& path, const char* ending) {
    return folderOf(path) + "/." + fileNameOf(path) + "." + std::to_string(getpid()) + ".partial" + ending;
}

std::string cannotWrite(const std::string& name, const std::string& why) {
    return "scanlog: cannot write " + printableName(name) + ": " + why;
}

// Makes the temporary file, so that a folder that is missing or can't be written to is
// reported with its reason before anything is encoded.
bool createTemporary(FrameOutput& output, const std::string& finalName, const char* ending, int& fd) {
    output.temporary = temporaryNameFor(finalName, ending);
    noteTemporary(output.temporary);
    fd = open(output.temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        output.error = cannotWrite(finalName, std::strerror(errno));
        output.temporary.clear();
        noteTemporary("");
        return false;
    }
    return true;
}

bool putInPlace(FrameOutput& output, const std::string& finalName) {
    if (std::rename(output.temporary.c_str(), finalName.c_str()) != 0) {
        output.error = cannotWrite(finalName, std::strerror(errno));
        abandonFrameOutput(output);
        return false;
    }
    output.temporary.clear();
    noteTemporary("");
    return true;
}

bool openVideo(FrameOutput& output, const char* ending, cv::Size size, double framesPerSecond) {
    int fd = -1;
    if (!createTemporary(output, output.path, ending, fd)) return false;
    close(fd);
    struct Choice {
        int backend;
        int fourcc;
        const char* encoder;
    };
    const Choice mp4[] = {{cv::CAP_FFMPEG, cv::VideoWriter::fourcc('a', 'v', 'c', '1'), "H.264"},
                          {cv::CAP_FFMPEG, cv::VideoWriter::fourcc('m', 'p', '4', 'v'), "MPEG-4 Part 2"}};
    const Choice avi[] = {{cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), "Motion JPEG"},
                          {cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), "Motion JPEG"}};
    for (const Choice& choice : output.kind == OutputKind::mp4 ? mp4 : avi) {
        if (output.video.open(output.temporary, choice.backend, choice.fourcc, framesPerSecond, size, true)) {
            output.encoder = choice.encoder;
            output.backend = choice.backend;
            return true;
        }
    }
    output.error = cannotWrite(output.path, "this machine's OpenCV and FFmpeg have no encoder for it");
    abandonFrameOutput(output);
    return false;
}

// The video writer tells of no failed write; the finished file is asked instead whether it
// holds every frame.
bool videoIsWhole(const FrameOutput& output) {
    cv::VideoCapture check(output.temporary, output.backend);
    return check.isOpened() &&
           static_cast<std::uint64_t>(std::llround(check.get(cv::CAP_PROP_FRAME_COUNT))) == output.written;
}

bool writeAllBytes(int fd, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = write(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool writePicture(FrameOutput& output, const cv::Mat& frame) {
    std::string why;
    if (!encodePng(frame, output.png, why)) {
        output.error = "scanlog: cannot encode a PNG picture: " + why;
        return false;
    }
    const std::string name =
        output.kind == OutputKind::numberedPngs ? numberedName(output.path, output.written + 1) : output.path;
    int fd = -1;
    if (!createTemporary(output, name, ".png", fd)) return false;
    const bool written = writeAllBytes(fd, output.png);
    const int writeErrno = errno;
    if (close(fd) != 0 || !written) {
        output.error = "scanlog: error writing " + printableName(name) + ": " + std::strerror(written ? errno : writeErrno);
        abandonFrameOutput(output);
        return false;
    }
    return putInPlace(output, name);
}

}  // namespace

bool outputKindOf(const std::string& path, OutputKind& kind) {
    if (endsWithIgnoringCase(path, ".mp4")) {
        kind = OutputKind::mp4;
    } else if (endsWithIgnoringCase(path, ".avi")) {
        kind = OutputKind::avi;
    } else if (endsWithIgnoringCase(path, ".png")) {
        NumberField field;
        if (!findNumberField(path, field)) return false;
        // The number belongs in the file's name: every frame goes to the same folder.
        if (field.length != 0 && path.find('/', field.at) != std::string::npos) return false;
        kind = field.length != 0 ? OutputKind::numberedPngs : OutputKind::png;
    } else {
        return false;
    }
    return fileNameOf(path).size() > 4;
}

std::string numberedName(const std::string& pattern, std::uint64_t number) {
    NumberField field;
    findNumberField(pattern, field);
    std::string digits = std::to_string(number);
    if (digits.size() < static_cast<std::size_t>(field.width)) {
        digits.insert(0, static_cast<std::size_t>(field.width) - digits.size(), field.zeros ? '0' : ' ');
    }
    std::string name;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (field.length != 0 && i == field.at) {
            name += digits;
            i += field.length - 1;
        } else {
            name += pattern[i];
            if (pattern[i] == '%') ++i;  // "%%"
        }
    }
    return name;
}

bool openFrameOutput(FrameOutput& output, OutputKind kind, const std::string& path, cv::Size size,
                     double framesPerSecond) {
    output.kind = kind;
    output.path = path;
    output.written = 0;
    output.error.clear();
    switch (kind) {
        case OutputKind::mp4: return openVideo(output, ".mp4", size, framesPerSecond);
        case OutputKind::avi: return openVideo(output, ".avi", size, framesPerSecond);
        case OutputKind::numberedPngs:
        case OutputKind::png: output.encoder = "PNG"; return true;
    }
    return false;
}

bool writeFrame(FrameOutput& output, const cv::Mat& frame) {
    if (output.kind == OutputKind::mp4 || output.kind == OutputKind::avi) {
        output.video.write(frame);
    } else if (!writePicture(output, frame)) {
        return false;
    }
    ++output.written;
    return true;
}

bool finishFrameOutput(FrameOutput& output) {
    if (output.kind != OutputKind::mp4 && output.kind != OutputKind::avi) return true;
    output.video.release();
    if (!videoIsWhole(output)) {
        output.error = "scanlog: error writing " + printableName(output.path) +
                       ": the video could not be finished (is the disk full?)";
        abandonFrameOutput(output);
        return false;
    }
    return putInPlace(output, output.path);
}

void abandonFrameOutput(FrameOutput& output) {
    if (output.video.isOpened()) output.video.release();
    if (!output.temporary.empty()) unlink(output.temporary.c_str());
    output.temporary.clear();
    noteTemporary("");
}

void abandonFrameOutputOnSignal() {
    if (temporaryForSignalsSet) unlink(temporaryForSignals);
}
