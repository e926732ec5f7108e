// The line `scanlog play` and `scanlog view` end with: what was played, and how well the
// pace was kept.
#pragma once

#include <string>

#include "player.hpp"

// The summary line, without a line end: records, wall time, log time, pace kept.
std::string summaryLine(const Player& player);
