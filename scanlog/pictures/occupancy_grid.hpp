// The map of a whole log: a grid of square cells that counts, for each cell, the beams that
// ended in it (hits) and the beams that passed through it (passes).
//
// Cell (i, j) holds the points [i r, (i+1) r) x [j r, (j+1) r) of the fixed frame, r the
// resolution. A beam is traced with Bresenham's integer line from the laser's cell to the
// cell of its end: every cell before the end gets a pass, the end cell a hit when the beam
// came back from there. The grid grows as scans arrive, so its memory follows the area seen,
// never the log's length.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "formats/format_reader.hpp"

constexpr double kDefaultResolution = 0.05;  // metres a cell
constexpr double kDefaultMaxRange = 40;      // metres; farther returns only clear the way
constexpr std::int64_t kMaxMapSide = 20000;  // cells on a side, border included
constexpr double kMapBorder = 1;             // metres of unknown kept around what was seen
// A cell is occupied when more than this share of the beams that reached it ended there.
constexpr double kOccupiedShare = 0.25;

struct MapSettings {
    double resolution = kDefaultResolution;
    double maxRange = kDefaultMaxRange;
    bool path = false;  // also mark the cells the laser went through
};

struct MapCell {
    std::uint16_t hits = 0, passes = 0;
};

struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T>
using CallocArray = std::unique_ptr<T[], FreeMemory>;

// Cells are stored row by row from the lowest j, each row from the lowest i.
struct OccupancyGrid {
    MapSettings settings;
    std::int64_t firstI = 0, firstJ = 0;  // the cell stored first
    std::int64_t width = 0, height = 0;   // cells stored
    CallocArray<MapCell> cells;
    CallocArray<std::uint8_t> path;       // 1 where the laser's path runs; none without --path
    bool touched = false;                 // some cell has a hit or a pass
    std::int64_t minI = 0, maxI = 0, minJ = 0, maxJ = 0;  // the touched cells' bounds
    bool hasLastLaserCell = false;
    std::int64_t lastLaserI = 0, lastLaserJ = 0;
    std::vector<std::int64_t> ends;       // scratch: each beam's end cell and whether it hit
};

enum class CellState { unknown, free, occupied };

// The cell that holds coordinate `metres` along one axis.
std::int64_t cellOf(double metres, double resolution);

// Calls `visit(i, j)` for every cell of the integer line from (i0, j0) to (i1, j1), both ends
// included, in order from the first.
template <typename Visit>
void traceLine(std::int64_t i0, std::int64_t j0, std::int64_t i1, std::int64_t j1, Visit visit) {
    const std::int64_t di = i1 > i0 ? i1 - i0 : i0 - i1, dj = j1 > j0 ? j0 - j1 : j1 - j0;
    const std::int64_t stepI = i0 < i1 ? 1 : -1, stepJ = j0 < j1 ? 1 : -1;
    std::int64_t error = di + dj;
    for (;;) {
        visit(i0, j0);
        if (i0 == i1 && j0 == j1) return;
        const std::int64_t twice = 2 * error;
        if (twice >= dj) {
            error += dj;
            i0 += stepI;
        }
        if (twice <= di) {
            error += di;
            j0 += stepJ;
        }
    }
}

OccupancyGrid makeGrid(const MapSettings& settings);

// Adds one scan taken from `laser` (the laser's pose in the map's frame). False with `error`
// set, the grid unchanged, when the map would grow past kMaxMapSide cells on a side.
bool addScan(OccupancyGrid& grid, const RawScan& scan, const Pose2D& laser, std::string& error);

CellState cellState(const OccupancyGrid& grid, std::int64_t i, std::int64_t j);

// What the picture shows: the touched cells and kMapBorder around them. Empty (width 0) when
// nothing was touched.
struct MapBounds {
    std::int64_t firstI = 0, firstJ = 0, width = 0, height = 0;
};
MapBounds mapBounds(const OccupancyGrid& grid);

bool onPath(const OccupancyGrid& grid, std::int64_t i, std::int64_t j);
