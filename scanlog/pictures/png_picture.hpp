// Pictures as PNG files. A scan picture holds a handful of colours (black, the markers' blue,
// a caption's two), so it is written with a palette at the smallest bit depth that holds
// them: a twentieth of the bytes to compress that a full-colour picture has, and the same
// pixels once read back.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Encodes `picture` (8-bit, 3 channels, blue-green-red as OpenCV keeps it) as a PNG into
// `png`: with a palette when it has at most 256 colours, in full colour otherwise. False
// with `error` set when libpng fails.
bool encodePng(const cv::Mat& picture, std::vector<unsigned char>& png, std::string& error);
