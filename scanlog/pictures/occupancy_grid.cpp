#include "occupancy_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <limits>

namespace {

constexpr std::uint16_t kMaxCount = std::numeric_limits<std::uint16_t>::max();
constexpr std::int64_t kLeastMargin = 64;  // cells added beyond what a scan needs, at least

struct CellBox {
    std::int64_t minI, maxI, minJ, maxJ;
};

void include(CellBox& box, std::int64_t i, std::int64_t j) {
    box.minI = std::min(box.minI, i);
    box.maxI = std::max(box.maxI, i);
    box.minJ = std::min(box.minJ, j);
    box.maxJ = std::max(box.maxJ, j);
}

std::int64_t borderCells(double resolution) { return static_cast<std::int64_t>(std::ceil(kMapBorder / resolution - 1e-9)); }

// Counts stay exact up to 65,535 beams a cell; past that both counts of the cell are halved,
// which keeps their ratio, so a cell the robot sat in for hours keeps its verdict.
void halve(MapCell& cell) {
    cell.hits = static_cast<std::uint16_t>(cell.hits / 2);
    cell.passes = static_cast<std::uint16_t>(cell.passes / 2);
}

void addPass(OccupancyGrid& grid, std::size_t at) {
    MapCell& cell = grid.cells[at];
    if (cell.passes == kMaxCount) halve(cell);
    ++cell.passes;
}

void addHit(OccupancyGrid& grid, std::size_t at) {
    MapCell& cell = grid.cells[at];
    if (cell.hits == kMaxCount) halve(cell);
    ++cell.hits;
}

std::size_t indexOf(const OccupancyGrid& grid, std::int64_t i, std::int64_t j) {
    return static_cast<std::size_t>((j - grid.firstJ) * grid.width + (i - grid.firstI));
}

// One span of the storage along an axis: [first, first + size).
struct Span {
    std::int64_t first, size;
};

// The storage along one axis once it must hold [needMin, needMax]: what it holds now (or only
// what is needed, when together they would be too large), and room beyond on each side that
// grows, as much again as it holds, so that a robot driving on doesn't copy the grid at every
// scan. Room never written costs no memory: calloc'd pages are only made when first touched.
Span grownSpan(std::int64_t first, std::int64_t size, std::int64_t needMin, std::int64_t needMax, std::int64_t limit) {
    std::int64_t low = size > 0 ? std::min(first, needMin) : needMin;
    std::int64_t high = size > 0 ? std::max(first + size - 1, needMax) : needMax;
    if (high - low + 1 > limit) {
        low = needMin;
        high = needMax;
    }
    const std::int64_t margin = std::max(kLeastMargin, size);
    const std::int64_t room = limit - (high - low + 1);
    const bool growsLow = size == 0 || needMin < first, growsHigh = size == 0 || needMax > first + size - 1;
    const std::int64_t lowMargin = growsLow ? std::min(margin, room / 2) : 0;
    const std::int64_t highMargin = growsHigh ? std::min(margin, room - lowMargin) : 0;
    return Span{low - lowMargin, high - low + 1 + lowMargin + highMargin};
}

// Zeroed memory from calloc: the system hands out untouched pages as they are first written,
// so room kept for growth costs nothing until a beam reaches it.
template <typename T>
CallocArray<T> zeroedArray(std::size_t count) {
    CallocArray<T> array(static_cast<T*>(std::calloc(count, sizeof(T))));
    if (!array) throw std::bad_alloc();
    return array;
}

void regrow(OccupancyGrid& grid, const CellBox& need) {
    const Span columns = grownSpan(grid.firstI, grid.width, need.minI, need.maxI, kMaxMapSide);
    const Span rows = grownSpan(grid.firstJ, grid.height, need.minJ, need.maxJ, kMaxMapSide);
    const auto cellCount = static_cast<std::size_t>(columns.size * rows.size);
    CallocArray<MapCell> cells = zeroedArray<MapCell>(cellCount);
    CallocArray<std::uint8_t> path = grid.settings.path ? zeroedArray<std::uint8_t>(cellCount) : nullptr;
    // Only touched cells are copied (the path lies among them); the rest are zero in both.
    const bool any = grid.touched || grid.hasLastLaserCell;
    CellBox kept{grid.minI, grid.maxI, grid.minJ, grid.maxJ};
    if (!grid.touched) kept = CellBox{grid.lastLaserI, grid.lastLaserI, grid.lastLaserJ, grid.lastLaserJ};
    const std::int64_t fromI = any ? std::max(kept.minI, columns.first) : 0;
    const std::int64_t toI = any ? std::min(kept.maxI + 1, columns.first + columns.size) : 0;
    const std::int64_t fromJ = any ? std::max(kept.minJ, rows.first) : 0;
    const std::int64_t toJ = any ? std::min(kept.maxJ + 1, rows.first + rows.size) : 0;
    for (std::int64_t j = fromJ; j < toJ && fromI < toI; ++j) {
        const std::size_t from = indexOf(grid, fromI, j);
        const auto to = static_cast<std::size_t>((j - rows.first) * columns.size + (fromI - columns.first));
        const auto count = static_cast<std::size_t>(toI - fromI);
        std::copy_n(grid.cells.get() + from, count, cells.get() + to);
        if (path) std::copy_n(grid.path.get() + from, count, path.get() + to);
    }
    grid.cells = std::move(cells);
    grid.path = std::move(path);
    grid.firstI = columns.first;
    grid.firstJ = rows.first;
    grid.width = columns.size;
    grid.height = rows.size;
}

bool holds(const OccupancyGrid& grid, const CellBox& box) {
    return grid.width > 0 && box.minI >= grid.firstI && box.maxI < grid.firstI + grid.width && box.minJ >= grid.firstJ &&
           box.maxJ < grid.firstJ + grid.height;
}

std::string tooLarge(const OccupancyGrid& grid, std::int64_t side) {
    const double resolution = grid.settings.resolution;
    const double coarser = resolution * std::ceil(static_cast<double>(side) / static_cast<double>(kMaxMapSide));
    char text[160];
    std::snprintf(text, sizeof text, "the map would be %lld cells on a side at %g m a cell, more than %lld; "
                  "try --resolution %g", static_cast<long long>(side), resolution,
                  static_cast<long long>(kMaxMapSide), coarser);
    return text;
}

// Makes room for `box`. False with `error` set when the map would then be too large.
bool makeRoom(OccupancyGrid& grid, const CellBox& box, std::string& error) {
    CellBox need = box;
    if (grid.touched) {
        include(need, grid.minI, grid.minJ);
        include(need, grid.maxI, grid.maxJ);
    }
    const std::int64_t border = 2 * borderCells(grid.settings.resolution);
    const std::int64_t side = std::max(need.maxI - need.minI, need.maxJ - need.minJ) + 1 + border;
    if (side > kMaxMapSide) {
        error = tooLarge(grid, side);
        return false;
    }
    if (!holds(grid, box)) regrow(grid, need);
    return true;
}

bool isReturn(double range, const RawScan& scan) {
    return std::isfinite(range) && range > 0 && range >= scan.rangeMin && range <= scan.rangeMax &&
           !(scan.rangeMaxIsNoReturn && range >= scan.rangeMax) && range < scan.noReturnFrom;
}

// Each usable beam's end cell, as (i, j, hit) triples in `grid.ends`; the box they and the
// laser's cell span.
CellBox beamEnds(OccupancyGrid& grid, const RawScan& scan, const Pose2D& laser, std::int64_t laserI,
                 std::int64_t laserJ) {
    const double resolution = grid.settings.resolution, maxRange = grid.settings.maxRange;
    CellBox box{laserI, laserI, laserJ, laserJ};
    grid.ends.clear();
    for (std::size_t k = 0; k < scan.ranges.size(); ++k) {
        double range = scan.ranges[k];
        if (!isReturn(range, scan)) continue;
        const bool hit = range <= maxRange;
        if (!hit) range = maxRange;
        const double bearing = laser.yaw + scan.angleMin + static_cast<double>(k) * scan.angleIncrement;
        const std::int64_t i = cellOf(laser.x + range * std::cos(bearing), resolution);
        const std::int64_t j = cellOf(laser.y + range * std::sin(bearing), resolution);
        grid.ends.insert(grid.ends.end(), {i, j, hit ? 1 : 0});
        include(box, i, j);
    }
    return box;
}

// Bresenham's line on the stored cells: a pass for every cell before the end, and for the
// end a hit, or a pass when the beam went on past the range kept.
void traceBeam(OccupancyGrid& grid, std::int64_t i0, std::int64_t j0, std::int64_t i1, std::int64_t j1, bool hit) {
    const std::int64_t di = i1 > i0 ? i1 - i0 : i0 - i1, dj = j1 > j0 ? j0 - j1 : j1 - j0;
    const std::int64_t stepI = i0 < i1 ? 1 : -1, stepJ = j0 < j1 ? grid.width : -grid.width;
    std::int64_t error = di + dj;
    std::size_t at = indexOf(grid, i0, j0);
    const std::size_t end = indexOf(grid, i1, j1);
    while (at != end) {
        addPass(grid, at);
        const std::int64_t twice = 2 * error;
        if (twice >= dj) {
            error += dj;
            at += static_cast<std::size_t>(stepI);
        }
        if (twice <= di) {
            error += di;
            at += static_cast<std::size_t>(stepJ);
        }
    }
    if (hit) {
        addHit(grid, end);
    } else {
        addPass(grid, end);
    }
}

void markPath(OccupancyGrid& grid, std::int64_t laserI, std::int64_t laserJ) {
    const std::int64_t fromI = grid.hasLastLaserCell ? grid.lastLaserI : laserI;
    const std::int64_t fromJ = grid.hasLastLaserCell ? grid.lastLaserJ : laserJ;
    traceLine(fromI, fromJ, laserI, laserJ, [&grid](std::int64_t i, std::int64_t j) { grid.path[indexOf(grid, i, j)] = 1; });
}

}  // namespace

std::int64_t cellOf(double metres, double resolution) {
    return static_cast<std::int64_t>(std::floor(metres / resolution));
}

OccupancyGrid makeGrid(const MapSettings& settings) {
    OccupancyGrid grid;
    grid.settings = settings;
    return grid;
}

bool addScan(OccupancyGrid& grid, const RawScan& scan, const Pose2D& laser, std::string& error) {
    const double resolution = grid.settings.resolution;
    // A pose so far out that its cell has no integer is beyond any map this can make.
    const double limit = 4e15 * resolution;
    if (!(std::fabs(laser.x) < limit && std::fabs(laser.y) < limit && std::isfinite(laser.yaw))) {
        error = "a pose lies too far out for a map (x " + std::to_string(laser.x) + ", y " + std::to_string(laser.y) + ")";
        return false;
    }
    const std::int64_t laserI = cellOf(laser.x, resolution), laserJ = cellOf(laser.y, resolution);
    CellBox box = beamEnds(grid, scan, laser, laserI, laserJ);
    if (grid.settings.path && grid.hasLastLaserCell) include(box, grid.lastLaserI, grid.lastLaserJ);
    if (!makeRoom(grid, box, error)) return false;
    for (std::size_t e = 0; e < grid.ends.size(); e += 3) {
        traceBeam(grid, laserI, laserJ, grid.ends[e], grid.ends[e + 1], grid.ends[e + 2] != 0);
    }
    if (!grid.ends.empty()) {
        if (!grid.touched) {
            grid.minI = grid.maxI = laserI;
            grid.minJ = grid.maxJ = laserJ;
            grid.touched = true;
        }
        CellBox touched{grid.minI, grid.maxI, grid.minJ, grid.maxJ};
        include(touched, box.minI, box.minJ);
        include(touched, box.maxI, box.maxJ);
        grid.minI = touched.minI;
        grid.maxI = touched.maxI;
        grid.minJ = touched.minJ;
        grid.maxJ = touched.maxJ;
    }
    if (grid.settings.path) {
        markPath(grid, laserI, laserJ);
        grid.hasLastLaserCell = true;
        grid.lastLaserI = laserI;
        grid.lastLaserJ = laserJ;
    }
    return true;
}

CellState cellState(const OccupancyGrid& grid, std::int64_t i, std::int64_t j) {
    if (i < grid.firstI || i >= grid.firstI + grid.width || j < grid.firstJ || j >= grid.firstJ + grid.height) {
        return CellState::unknown;
    }
    const MapCell& cell = grid.cells[indexOf(grid, i, j)];
    const double hits = cell.hits, passes = cell.passes;
    if (hits + passes == 0) return CellState::unknown;
    return hits > kOccupiedShare * (hits + passes) ? CellState::occupied : CellState::free;
}

MapBounds mapBounds(const OccupancyGrid& grid) {
    if (!grid.touched) return {};
    const std::int64_t border = borderCells(grid.settings.resolution);
    return MapBounds{grid.minI - border, grid.minJ - border, grid.maxI - grid.minI + 1 + 2 * border,
                     grid.maxJ - grid.minJ + 1 + 2 * border};
}

bool onPath(const OccupancyGrid& grid, std::int64_t i, std::int64_t j) {
    if (!grid.path || i < grid.firstI || i >= grid.firstI + grid.width || j < grid.firstJ ||
        j >= grid.firstJ + grid.height) {
        return false;
    }
    return grid.path[indexOf(grid, i, j)] != 0;
}
