#include "caption.hpp"

#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace {

const cv::Scalar kStripColour(48, 48, 48);
const cv::Scalar kTextColour(255, 255, 255);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
constexpr double kFontScale = 0.45;
constexpr int kMargin = 6;

}  // namespace

std::string captionLine(const CaptionText& text) {
    char head[96];
    std::snprintf(head, sizeof head, "record %llu   %.3f s   zoom %g   ", static_cast<unsigned long long>(text.record),
                  text.logSeconds, text.zoom);
    return head + text.logName;
}

void drawCaption(cv::Mat strip, const CaptionText& text) {
    strip.setTo(kStripColour);
    std::string line = captionLine(text);
    int baseline = 0;
    const auto fits = [&](const std::string& candidate) {
        return cv::getTextSize(candidate, kFont, kFontScale, 1, &baseline).width <= strip.cols - 2 * kMargin;
    };
    if (!fits(line)) {
        // A long log name is cut at the end, where "..." shows that it was: the longest start
        // of the line that fits with it.
        std::size_t shortest = 0, longest = line.size();
        while (shortest + 1 < longest) {
            const std::size_t middle = (shortest + longest) / 2;
            (fits(line.substr(0, middle) + "...") ? shortest : longest) = middle;
        }
        line = line.substr(0, shortest) + "...";
    }
    const int textHeight = cv::getTextSize(line, kFont, kFontScale, 1, &baseline).height;
    cv::putText(strip, line, cv::Point(kMargin, (strip.rows + textHeight) / 2), kFont, kFontScale, kTextColour, 1,
                cv::LINE_8);
}
