// scanlog: brings real laser logs to rangeScanInspector. Converts CARMEN logs and ROS bags to
// scan files, plays any log at its recorded pace, shows it in the viewer, and checks a log's
// health.
#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>

#include "commands.hpp"

namespace {

// Options shared by every subcommand that reads a log.
void addLogOptions(CLI::App& command, LogOptions& log) {
    command.add_option("--topic", log.topic, "ROS bags: the sensor_msgs/LaserScan topic (needed when there are several)");
    command.add_option("--laser", log.laser,
                       "CARMEN logs: the line kind to take (FLASER, RLASER, RAWLASER2, ROBOTLASER2 ...; "
                       "default: the front laser)");
}

void addPlayOptions(CLI::App& command, PlayOptions& play) {
    auto* rate = command.add_option("--rate", play.rate, "Scan files: records a second (default 75)")
                     ->check(CLI::Range(0.001, 1e6));
    command.add_flag("--timed", play.timed, "Scan files: pace by the leading values, read as seconds")->excludes(rate);
    command.add_option("--speed", play.speed, "Multiplies the pace, 0.1 to 100 (default 1)")->check(CLI::Range(0.1, 100.0));
    command.add_flag("--loop", play.loop, "Start again at the end of the log");
    command.add_option("--start", play.start, "Begin at record N (default 1)")->check(CLI::PositiveNumber);
    addLogOptions(command, play.log);
}

std::string metres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// "X,Y,YAW", three numbers.
bool parseLaserPose(const std::string& text, Pose2D& pose) {
    double values[3];
    std::size_t start = 0;
    for (int k = 0; k < 3; ++k) {
        const std::size_t comma = k < 2 ? text.find(',', start) : text.size();
        if (comma == std::string::npos) return false;
        if (!parseNumber(text.data() + start, text.data() + comma, values[k]) || !std::isfinite(values[k])) return false;
        start = comma + 1;
    }
    pose = Pose2D{values[0], values[1], values[2]};
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away is noticed as EPIPE where each command writes, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"Converts, plays and checks laser scan logs for rangeScanInspector.", "scanlog"};
    app.set_version_flag("--version", "scanlog " SCANLOG_VERSION);
    app.require_subcommand(1);

    std::string input;
    LogOptions convertOptions;
    auto* convert = app.add_subcommand("convert", "Write a CARMEN log or ROS bag as a scan file to standard output");
    addLogOptions(*convert, convertOptions);
    std::string stamp = "relative";
    convert->add_option("--stamp", stamp,
                        "Leading value: relative (seconds since the first scan, the default), absolute (seconds "
                        "since the epoch) or index (1, 2, 3 ...)")
        ->check(CLI::IsMember({"relative", "absolute", "index"}));
    convert->add_option("INPUT", input, "Log file, or ROS 2 bag folder")->required();

    PlayOptions playOptions;
    auto* play = app.add_subcommand("play", "Write a log's records to standard output at the recorded pace");
    addPlayOptions(*play, playOptions);
    play->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

    std::string echoFile;
    auto* view = app.add_subcommand("view", "Show a log in rangeScanInspector at the recorded pace");
    addPlayOptions(*view, playOptions);
    view->add_option("--echo", echoFile, "Write the viewer's transcript to FILE (default: discard it)");
    view->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

    LogOptions infoOptions;
    bool infoTimed = false;
    auto* info = app.add_subcommand("info", "Report on a log's health: timing, gaps, ranges, frozen scans");
    addLogOptions(*info, infoOptions);
    info->add_flag("--timed", infoTimed, "Scan files: the leading values are times in seconds");
    info->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

    MapOptions mapOptions;
    auto* map = app.add_subcommand("map", "Draw the whole log as one map, each scan placed by the log's poses");
    addLogOptions(*map, mapOptions.log);
    map->add_option("-o,--output", mapOptions.output, "The map: OUT.png, or OUT.yaml with OUT.pgm beside it (ROS map)")
        ->required();
    map->add_option("--resolution", mapOptions.settings.resolution, "Metres a cell (default " + metres(kDefaultResolution) + ")")
        ->check(CLI::Range(1e-4, 1e6));
    map->add_option("--max-range", mapOptions.settings.maxRange,
                    "Metres: farther returns only clear the way to this distance (default " + metres(kDefaultMaxRange) + ")")
        ->check(CLI::Range(1e-3, 1e9));
    map->add_flag("--path", mapOptions.settings.path, "PNG: draw the laser's path in red");
    std::string laserPose;
    map->add_option("--laser-pose", laserPose,
                    "X,Y,YAW: the laser on the robot (metres, radians), for poses of the robot that the log "
                    "does not turn into the laser's");
    map->add_option("--pose", mapOptions.poses.poseTopic,
                    "ROS bags: the robot's poses from this topic (nav_msgs/Odometry, geometry_msgs/PoseStamped or "
                    "geometry_msgs/PoseWithCovarianceStamped) instead of /tf");
    map->add_option("--fixed-frame", mapOptions.poses.fixedFrame,
                    "ROS bags: the frame of the map, for /tf (default: map when the bag has it, else odom)");
    map->add_option("LOG", input, "Log file, or ROS 2 bag folder")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        // One line, and the status that command-line mistakes have in most Unix tools.
        std::fprintf(stderr, "scanlog: %s (see scanlog --help)\n", e.what());
        return 2;
    }

    const std::map<std::string, StampMode> stamps{
        {"relative", StampMode::relative}, {"absolute", StampMode::absolute}, {"index", StampMode::index}};
    convertOptions.stamp = stamps.at(stamp);
    if (*convert) return runConvert(input, convertOptions);
    if (*play) return runPlay(input, playOptions);
    if (*view) return runView(input, playOptions, echoFile, argv[0]);
    if (*map) {
        if (!laserPose.empty() && !parseLaserPose(laserPose, mapOptions.poses.laserPose)) {
            std::fprintf(stderr, "scanlog: --laser-pose %s: give it as X,Y,YAW (see scanlog --help)\n", laserPose.c_str());
            return 2;
        }
        mapOptions.poses.hasLaserPose = !laserPose.empty();
        return runMap(input, mapOptions);
    }
    return runInfo(input, infoOptions, infoTimed);
}
