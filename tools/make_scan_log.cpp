// Writes a synthetic but realistic scan log: a laser carried on a cart down the central aisle
// of a large warehouse hall (outer walls, shelf rows, pillars, doorways, a person walking by)
// and out into a corridor. Deterministic for a given seed.
//
//   make_scan_log [--scans N] [--seed S] > log.scans
//
// The leading value is the time in seconds since the log began, at 75 scans a second;
// readings are whole centimetres with a few centimetres of noise, 8191 where nothing is hit
// within 81.91 m and, now and then, a zero dropout.
#include <CLI/CLI.hpp>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kReadings = 361;
constexpr double kScanRate = 75.0;
constexpr double kNoReturn = 8191;
constexpr double kMaxRange = 81.91;
constexpr double kSpeed = 5.0;  // metres a second: a fast cart

struct Segment {
    double x1, y1, x2, y2;
};
struct Disc {
    double x, y, radius;
};
struct World {
    std::vector<Segment> walls;
    std::vector<Disc> pillars;
};

void addBox(World& world, double x1, double y1, double x2, double y2) {
    world.walls.push_back({x1, y1, x2, y1});
    world.walls.push_back({x2, y1, x2, y2});
    world.walls.push_back({x2, y2, x1, y2});
    world.walls.push_back({x1, y2, x1, y1});
}

// An 80 m x 80 m hall: shelf rows across it on either side of a 16 m main aisle at y = 40,
// so that the laser looks down the side aisles to the outer walls 40 m away; pillars along
// the aisle; a doorway in the north wall; and a 3 m corridor leaving the east wall to x = 140.
World makeWarehouse() {
    World w;
    w.walls.push_back({0, 0, 80, 0});
    w.walls.push_back({0, 80, 30, 80});
    w.walls.push_back({34, 80, 80, 80});  // doorway at x 30..34
    w.walls.push_back({0, 0, 0, 80});
    w.walls.push_back({80, 0, 80, 38.5});
    w.walls.push_back({80, 41.5, 80, 80});
    w.walls.push_back({80, 38.5, 140, 38.5});  // corridor
    w.walls.push_back({80, 41.5, 110, 41.5});
    w.walls.push_back({112, 41.5, 140, 41.5});  // a side door at x 110..112
    w.walls.push_back({140, 38.5, 140, 41.5});
    for (double x = 10; x <= 70; x += 6) {
        addBox(w, x, 6, x + 1.2, 32);   // south block
        addBox(w, x, 48, x + 1.2, 74);  // north block
    }
    for (double x = 12; x < 80; x += 12) {
        for (double y : {33.5, 46.5}) w.pillars.push_back({x, y, 0.3});
    }
    return w;
}

// Distance along the ray from (px, py) in direction (dx, dy) to the segment, or infinity.
double hitSegment(double px, double py, double dx, double dy, const Segment& s) {
    const double ex = s.x2 - s.x1, ey = s.y2 - s.y1;
    const double denominator = dx * ey - dy * ex;
    if (std::fabs(denominator) < 1e-12) return INFINITY;
    const double wx = s.x1 - px, wy = s.y1 - py;
    const double t = (wx * ey - wy * ex) / denominator;
    const double u = (wx * dy - wy * dx) / denominator;
    return t > 0 && u >= 0 && u <= 1 ? t : INFINITY;
}

double hitDisc(double px, double py, double dx, double dy, const Disc& d) {
    const double wx = d.x - px, wy = d.y - py;
    const double along = wx * dx + wy * dy;
    const double across2 = wx * wx + wy * wy - along * along;
    const double r2 = d.radius * d.radius;
    if (along <= 0 || across2 > r2) return INFINITY;
    return along - std::sqrt(r2 - across2);
}

struct Pose {
    double x, y, heading;
};

// Down the main aisle and into the corridor with a gentle weave, then back again.
Pose poseAt(double seconds) {
    constexpr double first = 8.0, last = 135.0;
    double travelled = std::fmod(seconds * kSpeed, 2 * (last - first));
    const bool returning = travelled > last - first;
    if (returning) travelled = 2 * (last - first) - travelled;
    const double x = first + travelled;
    const bool inHall = x < 78;
    const double weave = inHall ? 1.5 * std::sin(x / 5.0) : 0.0;
    const double slope = inHall ? 0.3 * std::cos(x / 5.0) : 0.0;
    return {x, 40.0 + weave, std::atan(slope) + (returning ? M_PI : 0.0)};
}

// A person crossing the main aisle ahead of the cart, back and forth.
Disc personAt(double seconds) {
    const double phase = std::fmod(seconds * 1.4, 2 * 12.0);
    return {30.0, 34.0 + (phase < 12 ? phase : 24 - phase), 0.25};
}

void writeScan(const World& world, int index, std::mt19937& random, std::string& line) {
    const double seconds = index / kScanRate;
    const Pose pose = poseAt(seconds);
    const Disc person = personAt(seconds);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    char number[32];
    std::snprintf(number, sizeof number, "%.4f", seconds);
    line = number;
    for (int i = 0; i < kReadings; ++i) {
        const double bearing = pose.heading + (i * 0.5 - 90.0) * M_PI / 180.0;
        const double dx = std::cos(bearing), dy = std::sin(bearing);
        double nearest = hitDisc(pose.x, pose.y, dx, dy, person);
        for (const Segment& s : world.walls) nearest = std::min(nearest, hitSegment(pose.x, pose.y, dx, dy, s));
        for (const Disc& d : world.pillars) nearest = std::min(nearest, hitDisc(pose.x, pose.y, dx, dy, d));
        double centimetres = kNoReturn;
        if (nearest < kMaxRange) centimetres = std::round(std::max(0.0, nearest + noise(random)) * 100.0);
        if (chance(random) < 0.003) centimetres = 0;
        std::snprintf(number, sizeof number, " %.0f", centimetres);
        line += number;
    }
    line += '\n';
}

}  // namespace

int main(int argc, char** argv) {
    long scans = 450;
    std::uint32_t seed = 2026;
    CLI::App app{"Writes a synthetic warehouse scan log to standard output.", "make_scan_log"};
    // CLI11 takes a number only when the whole value is one and it fits the variable, so
    // "abc", "1x", "-5" as a seed or a seed beyond 32 bits are refused, never read as 0 or wrapped.
    app.add_option("--scans", scans, "Number of scans to write (default 450)")->check(CLI::Range(0L, long{INT_MAX}));
    app.add_option("--seed", seed, "Seed of the noise, 0 to 4294967295 (default 2026)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "make_scan_log: %s (see make_scan_log --help)\n", e.what());
        return 2;
    }
    const World world = makeWarehouse();
    std::mt19937 random(seed);
    std::string line;
    for (long k = 0; k < scans; ++k) {
        writeScan(world, static_cast<int>(k), random, line);
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
