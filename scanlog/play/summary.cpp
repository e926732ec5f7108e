#include "summary.hpp"

#include <cstdio>

namespace {

constexpr double kSecondNs = 1e9;

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", value);
    return text;
}

}  // namespace

std::string summaryLine(const Player& p) {
    if (p.written == 0) return "scanlog: played no records";
    std::string line = "scanlog: played " + std::to_string(p.written) + (p.written == 1 ? " record" : " records") +
                       " in " + seconds(static_cast<double>(p.lastWriteNs - p.firstWriteNs) / kSecondNs) + " (" +
                       seconds(static_cast<double>(p.logCoveredNs) / kSecondNs) + " of log); " + scaleText(p.zoom);
    if (p.pace.takenNs > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "; pace kept %.2f%%, latest record %.2f ms late", 100 * paceKept(p.pace),
                      static_cast<double>(p.pace.latestNs) / 1e6);
        line += text;
    }
    if (p.pace.stalledNs > 0) line += "; the reader held records up for " + seconds(static_cast<double>(p.pace.stalledNs) / kSecondNs);
    if (p.unwaitedSteps > 0) {
        line += "; " + std::to_string(p.unwaitedSteps) +
                (p.unwaitedSteps == 1 ? " time step" : " time steps") +
                " backwards or longer than 5 s played without a wait";
    }
    return line;
}
