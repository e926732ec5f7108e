#include "map_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <opencv2/imgcodecs.hpp>
#include <unistd.h>
#include <vector>

namespace {

const cv::Vec3b kPathColour(0, 0, 255);  // blue, green, red: red

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

unsigned char greyOf(CellState state, unsigned char occupied, unsigned char free, unsigned char unknown) {
    switch (state) {
        case CellState::occupied: return occupied;
        case CellState::free: return free;
        case CellState::unknown: return unknown;
    }
    return unknown;
}

// Calls `pixel(column, row, i, j)` for every pixel of the map, rows from the top.
template <typename Pixel>
void forEachPixel(const OccupancyGrid& grid, Pixel pixel) {
    const MapBounds bounds = mapBounds(grid);
    for (std::int64_t row = 0; row < bounds.height; ++row) {
        const std::int64_t j = bounds.firstJ + bounds.height - 1 - row;
        for (std::int64_t column = 0; column < bounds.width; ++column) pixel(column, row, bounds.firstI + column, j);
    }
}

bool writeFile(const std::string& path, const void* data, std::size_t size, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            error = "cannot write " + path + ": " + std::strerror(wrote < 0 ? errno : ENOSPC);
            close(fd);
            return false;
        }
        bytes += wrote;
        size -= static_cast<std::size_t>(wrote);
    }
    if (close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// Coordinates as a person would write them: cell edges are whole multiples of the resolution,
// and ten significant digits drop the last bit's noise of that multiplication.
std::string metres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value == 0 ? 0.0 : value);
    return text;
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

cv::Mat mapPicture(const OccupancyGrid& grid) {
    const MapBounds bounds = mapBounds(grid);
    const int rows = static_cast<int>(bounds.height), columns = static_cast<int>(bounds.width);
    if (!grid.settings.path) {
        cv::Mat picture(rows, columns, CV_8UC1);
        forEachPixel(grid, [&](std::int64_t column, std::int64_t row, std::int64_t i, std::int64_t j) {
            picture.at<unsigned char>(static_cast<int>(row), static_cast<int>(column)) =
                greyOf(cellState(grid, i, j), kOccupiedGrey, kFreeGrey, kUnknownGrey);
        });
        return picture;
    }
    cv::Mat picture(rows, columns, CV_8UC3);
    forEachPixel(grid, [&](std::int64_t column, std::int64_t row, std::int64_t i, std::int64_t j) {
        const unsigned char grey = greyOf(cellState(grid, i, j), kOccupiedGrey, kFreeGrey, kUnknownGrey);
        picture.at<cv::Vec3b>(static_cast<int>(row), static_cast<int>(column)) =
            onPath(grid, i, j) ? kPathColour : cv::Vec3b(grey, grey, grey);
    });
    return picture;
}

std::string pgmBytes(const OccupancyGrid& grid) {
    const MapBounds bounds = mapBounds(grid);
    std::string bytes = "P5\n" + std::to_string(bounds.width) + " " + std::to_string(bounds.height) + "\n255\n";
    const std::size_t header = bytes.size();
    bytes.resize(header + static_cast<std::size_t>(bounds.width * bounds.height));
    forEachPixel(grid, [&](std::int64_t column, std::int64_t row, std::int64_t i, std::int64_t j) {
        bytes[header + static_cast<std::size_t>(row * bounds.width + column)] =
            static_cast<char>(greyOf(cellState(grid, i, j), kPgmOccupied, kPgmFree, kPgmUnknown));
    });
    return bytes;
}

std::string mapYaml(const OccupancyGrid& grid, const std::string& imageName) {
    const MapBounds bounds = mapBounds(grid);
    const double resolution = grid.settings.resolution;
    return "image: " + imageName + "\nresolution: " + metres(resolution) + "\norigin: [" +
           metres(static_cast<double>(bounds.firstI) * resolution) + ", " +
           metres(static_cast<double>(bounds.firstJ) * resolution) + ", 0.0]\nnegate: 0\noccupied_thresh: " +
           kOccupiedThresh + "\nfree_thresh: " + kFreeThresh + "\n";
}

bool isMapFileName(const std::string& path) { return endsWith(path, ".png") || endsWith(path, ".yaml"); }

bool writeMapFiles(const OccupancyGrid& grid, const std::string& path, std::string& error) {
    if (endsWith(path, ".png")) {
        std::vector<unsigned char> png;
        if (!cv::imencode(".png", mapPicture(grid), png)) {
            error = "cannot write " + path + ": the picture could not be encoded";
            return false;
        }
        return writeFile(path, png.data(), png.size(), error);
    }
    const std::string pgmPath = path.substr(0, path.size() - 5) + ".pgm";
    const std::string pgm = pgmBytes(grid);
    const std::string yaml = mapYaml(grid, baseName(pgmPath));
    return writeFile(pgmPath, pgm.data(), pgm.size(), error) && writeFile(path, yaml.data(), yaml.size(), error);
}
