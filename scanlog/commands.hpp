// scanlog's subcommands, each in its own unit; main.cpp parses the command line into these.
#pragma once

#include <cstdint>
#include <string>

#include "log_source.hpp"

struct PlayOptions {
    LogOptions log;
    double rate = 75;          // records a second for scan files and logs whose times are unusable
    bool timed = false;        // scan files: pace by the leading values, read as seconds
    double speed = 1;          // multiplies every pace
    bool loop = false;         // start again at the end
    std::uint64_t start = 1;   // first record played (1 = the first)
};

// Each returns the process's exit status.
int runConvert(const std::string& input, const LogOptions& options);
int runPlay(const std::string& input, const PlayOptions& options);
// `echoFile`: where the viewer's transcript goes (empty: /dev/null). `self`: how scanlog was
// started (argv[0]), to find the viewer installed beside it.
int runView(const std::string& input, const PlayOptions& options, const std::string& echoFile, const std::string& self);
// `leadingValuesAreSeconds`: scan files' leading values are their times (play's --timed).
int runInfo(const std::string& input, const LogOptions& options, bool leadingValuesAreSeconds);
