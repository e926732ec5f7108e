// Finding a scan picture in a screenshot of the window, pixel for pixel: the tests' check of
// what the window shows, and make demo's.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

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
