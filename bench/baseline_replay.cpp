// The scan loop written the straightforward way, kept as a yardstick for the program's speed:
// iostream reading and echo, one trigonometric call pair and cv::circle per reading, and the
// window stage on every pass. Built twice: as written (the window never gets to paint), and
// with PAINT_EVERY_PASS, the usual cv::waitKey(1) after every scan.
#include <cmath>
#include <fstream>
#include <iostream>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

static void showPoint(cv::Mat& image, double range, double angle, int radius, int colour) {
    const int column = static_cast<int>(range * std::cos(angle) / 0.125);
    const int row = static_cast<int>(320 - range * std::sin(angle) / 0.125);
    if (column <= 0 || column > 639 || row <= 0 || row > 639) return;
    cv::circle(image, cv::Point(column, row), radius, cv::Scalar(colour), 1);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cout << "USAGE: " << argv[0] << " <laserFile>" << std::endl;
        return 1;
    }
    std::ifstream in(argv[1]);
    cv::Mat image(640, 640, CV_8UC3);
    std::cout << "Starting feature extractor" << std::endl;
    double leading = 0;
    double readings[361] = {};
    in >> std::ws;
    while (!in.eof()) {
        in >> leading;
        std::cout << leading << std::endl;
        for (double& reading : readings) {
            in >> reading;
            std::cout << reading << " ";
        }
        std::cout << std::endl;
        in >> std::ws;
        image.setTo(cv::Scalar::all(0));
        for (int i = 0; i < 361; ++i) showPoint(image, readings[i] / 100, i * M_PI / 360 - M_PI / 2, 1, 255);
        cv::namedWindow("rangeScanInspector", cv::WINDOW_AUTOSIZE);
        cv::imshow("rangeScanInspector", image);
        cv::resizeWindow("rangeScanInspector", image.cols + 3, image.rows + 3);
#ifdef PAINT_EVERY_PASS
        cv::waitKey(1);
#endif
    }
    return 0;
}
