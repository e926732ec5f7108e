// The viewer's window as the tests see it on the virtual display: found by its title, its
// picture taken with ImageMagick, and compared pixel for pixel with a picture drawn in memory.
#pragma once

#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

inline std::string command(const std::string& line) {
    std::string output;
    if (FILE* pipe = popen(line.c_str(), "r")) {
        char chunk[4096];
        std::size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
        pclose(pipe);
    }
    return output;
}

inline std::vector<std::string> windowIds() {
    std::istringstream lines(command("xdotool search --name '^rangeScanInspector$' 2>/dev/null"));
    std::vector<std::string> ids;
    for (std::string id; std::getline(lines, id);) ids.push_back(id);
    return ids;
}

// The window's picture as RGB rows, taken by ImageMagick as a binary PPM.
inline cv::Mat screenshot(const std::string& id) {
    const std::string ppm = command("import -window " + id + " -depth 8 ppm:- 2>/dev/null");
    std::istringstream in(ppm);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    in >> magic >> width >> height >> maximum;
    in.get();
    if (magic != "P6" || maximum != 255 || width <= 0 || height <= 0) return {};
    cv::Mat rgb(height, width, CV_8UC3);
    in.read(reinterpret_cast<char*>(rgb.data), static_cast<std::streamsize>(rgb.total() * 3));
    return in ? rgb : cv::Mat();
}

// Whether `picture` (BGR) appears pixel for pixel somewhere in the screenshot (RGB). Only
// places that line up the picture's first marked pixel with a marked pixel are tried.
inline bool showsExactly(const cv::Mat& shot, const cv::Mat& picture) {
    if (shot.empty() || shot.cols < picture.cols || shot.rows < picture.rows) return false;
    cv::Mat expected;
    cv::cvtColor(picture, expected, cv::COLOR_BGR2RGB);
    cv::Point first(-1, -1);
    for (int y = 0; y < expected.rows && first.x < 0; ++y)
        for (int x = 0; x < expected.cols && first.x < 0; ++x)
            if (expected.at<cv::Vec3b>(y, x) != cv::Vec3b(0, 0, 0)) first = cv::Point(x, y);
    if (first.x < 0) return false;
    const cv::Vec3b colour = expected.at<cv::Vec3b>(first);
    for (int y = first.y; y + picture.rows - first.y <= shot.rows; ++y) {
        for (int x = first.x; x + picture.cols - first.x <= shot.cols; ++x) {
            if (shot.at<cv::Vec3b>(y, x) != colour) continue;
            const cv::Mat area = shot(cv::Rect(x - first.x, y - first.y, picture.cols, picture.rows));
            if (cv::countNonZero(area.reshape(1) != expected.reshape(1)) == 0) return true;
        }
    }
    return false;
}
