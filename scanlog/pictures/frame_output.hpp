// Where rendered frames go: a video (MP4 or AVI), one PNG a frame, or one PNG.
//
// Nothing is ever left half-written under the name the user gave: a video or a picture is
// written under a temporary name in the same folder and renamed at the end, so an existing
// file keeps its content until the new one is whole.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

enum class OutputKind {
    mp4,           // H.264 where FFmpeg has an encoder for it, else MPEG-4 Part 2
    avi,           // Motion JPEG
    numberedPngs,  // a name with a printf-style number: one PNG a frame, numbered from 1
    png,           // one picture
};

// The kind of output `path` names, by its ending (in any case); false when it names none.
bool outputKindOf(const std::string& path, OutputKind& kind);

// What outputKindOf accepts, for the command line's help and its error.
extern const char* const kOutputNamesHelp;

// The name of frame `number` (from 1) of a numbered-PNG `pattern`.
std::string numberedName(const std::string& pattern, std::uint64_t number);

struct FrameOutput {
    OutputKind kind = OutputKind::png;
    std::string path;            // as the user gave it
    std::string encoder;         // "H.264", "MPEG-4 Part 2", "Motion JPEG" or "PNG"
    std::string temporary;       // what is being written now; empty when nothing is
    cv::VideoWriter video;
    int backend = 0;             // the video's: cv::CAP_FFMPEG or OpenCV's own Motion JPEG
    std::uint64_t written = 0;   // frames
    std::vector<unsigned char> png;
    std::string error;           // the one-line message of a failure
};

// Opens `path` for frames of `size` at `framesPerSecond`. False with output.error set when it
// can't be written. Pictures are only opened when the first frame comes.
bool openFrameOutput(FrameOutput& output, OutputKind kind, const std::string& path, cv::Size size,
                     double framesPerSecond);

// Writes the next frame. False with output.error set on failure.
bool writeFrame(FrameOutput& output, const cv::Mat& frame);

// Finishes a video and puts it under its name. False with output.error set on failure, when
// the temporary file has been removed.
bool finishFrameOutput(FrameOutput& output);

// Removes whatever is half-written.
void abandonFrameOutput(FrameOutput& output);

// The same, from a signal handler (it only unlinks a name kept aside for it).
void abandonFrameOutputOnSignal();
