// The commands layer (scanlog/commands/): scanlog's subcommands, each in its own unit, and
// main.cpp, which parses the command line into them. The top of scanlog: commands read logs
// through the stream layer (stream/log_source.hpp), play them with the play layer, and draw
// them with the pictures layer; nothing below includes a header from here. A new subcommand is
// one more unit here, declared below and added to main.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "pictures/occupancy_grid.hpp"
#include "play/play_options.hpp"
#include "stream/pose_sources.hpp"
#include "stream/log_source.hpp"
#include "stream/picture.hpp"

// What `scanlog render` is asked for besides the log and how it is played.
struct RenderOptions {
    PlayOptions play;          // the log, its pace (--rate, --timed, --speed) and --start
    std::string out;           // a name outputKindOf accepts
    double fps = 30;
    bool everyRecord = false;  // one frame a record, instead of frames at the log's pace
    bool caption = false;
    std::uint64_t at = 0;      // a single picture: of this record; 0: the last
};

// Each returns the process's exit status.
// A log that could not be read because of what the command line asked of it (isUsageError).
constexpr int kUsageStatus = 2;

int runConvert(const std::string& input, const LogOptions& options, const PictureOptions& picture);
int runPlay(const std::string& input, const PlayOptions& options);
// `echoFile`: where the viewer's transcript goes (empty: /dev/null). `self`: how scanlog was
// started (argv[0]), to find the viewer installed beside it.
int runView(const std::string& input, const PlayOptions& options, const std::string& echoFile, const std::string& self);
// `leadingValuesAreSeconds`: scan files' leading values are their times (play's --timed).
int runRender(const std::string& input, const RenderOptions& options);
int runInfo(const std::string& input, const LogOptions& options, bool leadingValuesAreSeconds);

struct MapOptions {
    LogOptions log;
    std::string output;         // .png, or .yaml (with the .pgm beside it)
    MapSettings settings;
    PoseChoice poses;           // --pose, --fixed-frame, --laser-pose
};
int runMap(const std::string& input, const MapOptions& options);
