// scanlog play: to be written.
#include <cstdio>

#include "commands.hpp"

int runPlay(const std::string&, const PlayOptions&) {
    std::fprintf(stderr, "scanlog: play is not written yet\n");
    return 1;
}
