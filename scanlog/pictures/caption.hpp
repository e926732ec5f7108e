// The caption strip under a rendered picture: the record's number, its log time, the zoom and
// the log's name, in one line of plain (not smoothed) text, so that a frame keeps a handful
// of colours.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <string>

constexpr int kCaptionHeight = 24;  // even, as video encoders want the frame's height

struct CaptionText {
    std::uint64_t record = 0;
    double logSeconds = 0;  // from the first record rendered
    double zoom = 1;
    std::string logName;    // printable: control bytes already escaped
};

std::string captionLine(const CaptionText& text);

// Draws the caption over all of `strip` (kCaptionHeight rows).
void drawCaption(cv::Mat strip, const CaptionText& text);
