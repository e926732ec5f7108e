// scanlog: brings real laser logs to rangeScanInspector. Converts CARMEN logs and ROS bags to
// scan files, plays any log at its recorded pace, shows it in the viewer, and checks a log's
// health.
#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "commands.hpp"
#include "play/pacing.hpp"
#include "stream/records.hpp"
#include "pictures/frame_output.hpp"

namespace {

// A number for a help text, as short as it reads: 75, 0.1, 100.
std::string shown(double value) {
    char text[32];
    return std::string(text, formatShortest(value, text));
}

// Options shared by every subcommand that reads a log.
void addLogOptions(CLI::App& command, LogOptions& log) {
    command.add_option("--topic", log.topic, "ROS bags: the sensor_msgs/LaserScan topic (needed when there are several)");
    command.add_option("--laser", log.laser,
                       "CARMEN logs: the line kind to take (FLASER, RLASER, RAWLASER2, ROBOTLASER2 ...; "
                       "default: the front laser)");
}

// How a log is paced and where it begins: play, view and render alike.
void addPaceOptions(CLI::App& command, PlayOptions& play) {
    auto* rate = command.add_option("--rate", play.rate, "Scan files: records a second (default " + shown(kDefaultRate) + ")")
                     ->check(CLI::Range(0.001, 1e6));
    command.add_flag("--timed", play.timed, "Scan files: pace by the leading values, read as seconds")->excludes(rate);
    command
        .add_option("--speed", play.speed,
                    "Multiplies the pace, " + shown(kSlowestSpeed) + " to " + shown(kFastestSpeed) + " (default " +
                        shown(PlayOptions{}.speed) + ")")
        ->check(CLI::Range(kSlowestSpeed, kFastestSpeed));
    command.add_option("--start", play.start, "Begin at record N (default 1)")->check(CLI::PositiveNumber);
    addLogOptions(command, play.log);
}

void addPlayOptions(CLI::App& command, PlayOptions& play) {
    addPaceOptions(command, play);
    command.add_flag("--loop", play.loop, "Start again at the end of the log");
}

// The picture options as typed: the zoom stays text until parsed, since it may be `fit`.
struct PictureArguments {
    std::string zoom;
    CLI::Option* zoomOption = nullptr;
    CLI::Option* noReturnOption = nullptr;
};

std::string zoomProblem(const std::string& text) {
    if (text == "fit") return "";
    double zoom = 0;
    if (!CLI::detail::lexical_cast(text, zoom) || !(zoom >= kSmallestZoom && zoom <= kLargestZoom)) {
        return "--zoom takes fit or a factor from " + shown(kSmallestZoom) + " to " +
               shown(kLargestZoom) + ", not " + text;
    }
    return "";
}

// `zoomByDefault` and `noReturnByDefault` are the command's own defaults (help shows them).
void addPictureOptions(CLI::App& command, PictureOptions& picture, PictureArguments& arguments,
                       const std::string& zoomByDefault, double noReturnByDefault) {
    arguments.zoom = zoomByDefault;
    picture.noReturn = noReturnByDefault;
    arguments.zoomOption =
        command.add_option("--zoom", arguments.zoom,
                           "Multiply every reading with a return by K, so that the picture spans 80/K m ahead; "
                           "fit: the largest power of 2 that brings the scene within half the picture (default " +
                               zoomByDefault + ")")
            ->type_name("K|fit")
            ->check(CLI::Validator(zoomProblem, ""));
    command.add_option("--facing", picture.facing,
                       "The sensor's bearing, in degrees counter-clockwise, drawn straight ahead (default 0; not "
                       "for scan files)")
        ->type_name("DEG")
        ->check(CLI::Range(-kLargestFacing, kLargestFacing));
    arguments.noReturnOption =
        command.add_option("--no-return", picture.noReturn,
                           "What a reading without a return is written as, in centimetres (default " +
                               shown(noReturnByDefault) + ")")
            ->type_name("CM")
            ->check(CLI::Validator(
                [](const std::string& text) {
                    double value = 0;
                    return CLI::detail::lexical_cast(text, value) && std::isfinite(value)
                               ? std::string()
                               : "--no-return takes a finite number of centimetres, not " + text;
                },
                ""));
}

// Puts the typed zoom into `picture`; `always` makes scan files prepared even with neither
// option given (view, whose defaults are not the scan file's own).
void finishPictureOptions(PictureOptions& picture, const PictureArguments& arguments, bool always) {
    picture.fit = arguments.zoom == "fit";
    picture.zoom = picture.fit ? 1 : std::stod(arguments.zoom);
    picture.rewriteScanFiles = always || arguments.zoomOption->count() > 0 || arguments.noReturnOption->count() > 0;
}

// The word given where a subcommand belongs, when it is none of them (empty otherwise): the
// first argument that is not an option, as long as no subcommand was recognised.
std::string unknownSubcommand(CLI::App& app, int argc, char** argv) {
    if (!app.get_subcommands().empty()) return "";
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') continue;
        for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
            if (command->get_name() == word) return "";
        }
        return word;
    }
    return "";
}

// "convert, play, view or info"
std::string subcommandList(CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        names.push_back(command->get_name());
    }
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return list;
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
    // The viewer's and the child readers' exit statuses are ours to read, even when whoever
    // started scanlog ignores SIGCHLD (which would have them reaped unseen).
    std::signal(SIGCHLD, SIG_DFL);

    CLI::App app{"Converts, plays and checks laser scan logs for rangeScanInspector.", "scanlog"};
    app.set_version_flag("--version", "scanlog " SCANLOG_VERSION);
    app.require_subcommand(1);

    std::string input;
    LogOptions convertOptions;
    auto* convert = app.add_subcommand("convert", "Write a CARMEN log or ROS bag as a scan file to standard output");
    addLogOptions(*convert, convertOptions);
    PictureOptions convertPicture;
    PictureArguments convertArguments;
    addPictureOptions(*convert, convertPicture, convertArguments, "1", kNoReturnCentimetres);
    std::string stamp = "relative";
    convert->add_option("--stamp", stamp,
                        "Leading value: relative (seconds since the first scan, the default), absolute (seconds "
                        "since the epoch) or index (1, 2, 3 ...)")
        ->check(CLI::IsMember({"relative", "absolute", "index"}));
    convert->add_option("INPUT", input, "Log file, or ROS 2 bag folder")->required();

    PlayOptions playOptions;
    auto* play = app.add_subcommand("play", "Write a log's records to standard output at the recorded pace");
    addPlayOptions(*play, playOptions);
    PictureArguments playArguments;
    addPictureOptions(*play, playOptions.picture, playArguments, "1", kNoReturnCentimetres);
    play->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

    std::string echoFile;
    auto* view = app.add_subcommand("view", "Show a log in rangeScanInspector at the recorded pace");
    PlayOptions viewOptions;
    addPlayOptions(*view, viewOptions);
    PictureArguments viewArguments;
    // The viewer draws nothing at 0, and fills its picture with the scene.
    addPictureOptions(*view, viewOptions.picture, viewArguments, "fit", 0);
    view->add_option("--echo", echoFile, "Write the viewer's transcript to FILE (default: discard it)");
    view->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

    RenderOptions renderOptions;
    auto* render = app.add_subcommand("render", "Write a log as a video or pictures, as the viewer shows it, without a display");
    addPaceOptions(*render, renderOptions.play);
    PictureArguments renderArguments;
    // The frames are the viewer's pictures of the records view hands it.
    addPictureOptions(*render, renderOptions.play.picture, renderArguments, "fit", 0);
    render->add_option("-o,--output", renderOptions.out, kOutputNamesHelp)
        ->required()
        ->check(CLI::Validator(
            [](std::string& name) {
                OutputKind kind;
                return outputKindOf(name, kind) ? std::string() : std::string(kOutputNamesHelp);
            },
            "OUT", "output name"));
    render->add_option("--fps", renderOptions.fps, "Frames a second of the video (default 30)")->check(CLI::Range(1.0, 1000.0));
    render->add_flag("--every-record", renderOptions.everyRecord, "One frame a record, instead of frames at the log's pace");
    render->add_flag("--caption", renderOptions.caption,
                     "A strip under each picture: record number, log time, zoom and the log's name");
    render->add_option("--at", renderOptions.at, "A single .png: the picture of record N (default: the last)")
        ->check(CLI::PositiveNumber);
    render->add_option("INPUT", input, "Scan file, log file, or ROS 2 bag folder")->required();

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
    map->add_option("--resolution", mapOptions.settings.resolution, "Metres a cell (default " + shown(kDefaultResolution) + ")")
        ->check(CLI::Range(1e-4, 1e6));
    map->add_option("--max-range", mapOptions.settings.maxRange,
                    "Metres: farther returns only clear the way to this distance (default " + shown(kDefaultMaxRange) + ")")
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
        const std::string unknown = unknownSubcommand(app, argc, argv);
        const std::string what = unknown.empty() ? e.what()
                                                 : "unknown subcommand \"" + printableName(unknown) +
                                                       "\": the subcommands are " + subcommandList(app);
        std::fprintf(stderr, "scanlog: %s (see scanlog --help)\n", what.c_str());
        return 2;
    }

    const std::map<std::string, StampMode> stamps{
        {"relative", StampMode::relative}, {"absolute", StampMode::absolute}, {"index", StampMode::index}};
    convertOptions.stamp = stamps.at(stamp);
    if (*convert) {
        finishPictureOptions(convertPicture, convertArguments, false);
        return runConvert(input, convertOptions, convertPicture);
    }
    if (*play) {
        finishPictureOptions(playOptions.picture, playArguments, false);
        return runPlay(input, playOptions);
    }
    if (*view) {
        finishPictureOptions(viewOptions.picture, viewArguments, true);
        return runView(input, viewOptions, echoFile, argv[0]);
    }
    if (*render) {
        OutputKind kind;
        outputKindOf(renderOptions.out, kind);
        if (renderOptions.at != 0 && kind != OutputKind::png) {
            std::fprintf(stderr, "scanlog: --at is for a single .png picture (see scanlog --help)\n");
            return kUsageStatus;
        }
        finishPictureOptions(renderOptions.play.picture, renderArguments, true);
        return runRender(input, renderOptions);
    }
    if (*map) {
        if (!laserPose.empty() && !parseLaserPose(laserPose, mapOptions.poses.laserPose)) {
            std::fprintf(stderr, "scanlog: --laser-pose %s: give it as X,Y,YAW (see scanlog --help)\n",
                         printableName(laserPose).c_str());
            return kUsageStatus;
        }
        mapOptions.poses.hasLaserPose = !laserPose.empty();
        return runMap(input, mapOptions);
    }
    return runInfo(input, infoOptions, infoTimed);
}
