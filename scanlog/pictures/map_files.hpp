// The map as files: a picture (PNG) to look at, and the YAML + PGM pair that ROS navigation
// stacks load as a map.
#pragma once

#include <opencv2/core.hpp>
#include <string>

#include "pictures/occupancy_grid.hpp"

// The grey levels of the picture.
constexpr unsigned char kOccupiedGrey = 0;
constexpr unsigned char kFreeGrey = 255;
constexpr unsigned char kUnknownGrey = 205;
// The PGM's: free is 254 there, so that no reader's rounding takes it for a special value.
constexpr unsigned char kPgmOccupied = 0;
constexpr unsigned char kPgmFree = 254;
constexpr unsigned char kPgmUnknown = 205;
// What the YAML tells the loader about those levels.
constexpr const char* kOccupiedThresh = "0.65";
constexpr const char* kFreeThresh = "0.196";

// The map as a picture, one pixel a cell of mapBounds, x to the right and y up: greys, or
// colour with the laser's path drawn when the grid kept it.
cv::Mat mapPicture(const OccupancyGrid& grid);

// The PGM's bytes (binary, maxval 255), rows from the top of the map.
std::string pgmBytes(const OccupancyGrid& grid);
// The YAML that names `imageName` and places it: origin is the lower-left corner of the
// lower-left pixel, in the map's frame.
std::string mapYaml(const OccupancyGrid& grid, const std::string& imageName);

// Write the map to `path`: a PNG when it ends in .png, a YAML and the PGM beside it (same
// name, .pgm) when it ends in .yaml. False with `error` set ("PATH: WHAT").
bool writeMapFiles(const OccupancyGrid& grid, const std::string& path, std::string& error);

// Whether `path` names an output writeMapFiles knows.
bool isMapFileName(const std::string& path);
