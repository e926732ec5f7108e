// scanlog's subcommands, each in its own unit; main.cpp parses the command line into these.
#pragma once

#include <cstdint>
#include <string>

#include "pictures/occupancy_grid.hpp"
#include "play/play_options.hpp"
#include "stream/pose_sources.hpp"
#include "stream/log_source.hpp"

// Each returns the process's exit status.
int runConvert(const std::string& input, const LogOptions& options);
int runPlay(const std::string& input, const PlayOptions& options);
// `echoFile`: where the viewer's transcript goes (empty: /dev/null). `self`: how scanlog was
// started (argv[0]), to find the viewer installed beside it.
int runView(const std::string& input, const PlayOptions& options, const std::string& echoFile, const std::string& self);
// `leadingValuesAreSeconds`: scan files' leading values are their times (play's --timed).
int runInfo(const std::string& input, const LogOptions& options, bool leadingValuesAreSeconds);

struct MapOptions {
    LogOptions log;
    std::string output;         // .png, or .yaml (with the .pgm beside it)
    MapSettings settings;
    PoseChoice poses;           // --pose, --fixed-frame, --laser-pose
};
int runMap(const std::string& input, const MapOptions& options);
