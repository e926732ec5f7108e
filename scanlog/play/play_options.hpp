// How a log is played: what `scanlog play`, `scanlog view` and the player share.
#pragma once

#include <cstdint>

#include "stream/log_source.hpp"
#include "stream/picture.hpp"

struct PlayOptions {
    LogOptions log;
    double rate = 75;          // records a second for scan files and logs whose times are unusable
    bool timed = false;        // scan files: pace by the leading values, read as seconds
    double speed = 1;          // multiplies every pace
    bool loop = false;         // start again at the end
    std::uint64_t start = 1;   // first record played (1 = the first)
    PictureOptions picture;    // how records are prepared for the picture
};
