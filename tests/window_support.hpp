// The viewer's window as the tests see it on the virtual display: found by its title, its
// picture taken with ImageMagick, and compared pixel for pixel with a picture drawn in memory.
#pragma once

#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../tools/picture_search.hpp"

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

