// The player on real descriptors: the log read with readLog, records written to a pipe, keys
// from the terminal, the status line on standard error, signals caught throughout.
#pragma once

#include <cstdint>
#include <string>

#include "play_options.hpp"
#include "player.hpp"

struct PlayOutcome {
    PlayEnd end = PlayEnd::none;
    int signal = 0;
    int writeErrno = 0;
    std::string error;
    std::uint64_t records = 0;  // records the log was found to hold (all of them, at its end)
    std::uint64_t written = 0;
    std::string summary;
};

// Plays `input` into `outFd`: keys and raw mode when standard input is a terminal, the
// status line when standard error is one too, signals caught throughout. `relayFd` (-1:
// none) is copied to standard error as it comes, keeping clear of the status line. The
// terminal is given back before this returns; a caught signal is in the outcome, for the
// caller to end by once it has tidied up (endBySignal).
PlayOutcome playLog(const std::string& input, const PlayOptions& options, int outFd, int relayFd, bool holdAtEnd);

// The error line for an outcome that is a failure of the player's own (the log, the output
// called `output`, the records kept); empty for the others.
std::string outcomeMessage(const PlayOutcome& outcome, const std::string& input, const PlayOptions& options,
                           const std::string& output);
