// scanlog info: to be written.
#include <cstdio>

#include "commands.hpp"

int runInfo(const std::string&, const LogOptions&) {
    std::fprintf(stderr, "scanlog: info is not written yet\n");
    return 1;
}
