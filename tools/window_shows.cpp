// Whether a screenshot of the viewer's window shows a picture pixel for pixel, wherever the
// window's toolkit put it: make demo checks with it that the window shows the last scan
// exactly as scanlog draws it. The toolkit's own parts of the window (its toolbar, its status
// line) differ from one Debian release to the next; the scan must not.
//
//   window_shows SCREENSHOT PICTURE     status 0 when it does, 1 when it doesn't, 2 on a bad file
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "picture_search.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: window_shows SCREENSHOT PICTURE\n");
        return 2;
    }
    cv::Mat shot = cv::imread(argv[1], cv::IMREAD_COLOR);
    const cv::Mat picture = cv::imread(argv[2], cv::IMREAD_COLOR);
    for (int i = 1; i <= 2; ++i) {
        if ((i == 1 ? shot : picture).empty()) {
            std::fprintf(stderr, "window_shows: cannot read the picture %s\n", argv[i]);
            return 2;
        }
    }
    cv::cvtColor(shot, shot, cv::COLOR_BGR2RGB);
    if (showsExactly(shot, picture)) return 0;
    std::fprintf(stderr, "window_shows: %s does not show %s pixel for pixel\n", argv[1], argv[2]);
    return 1;
}
