// scanlog view: to be written.
#include <cstdio>

#include "commands.hpp"

int runView(const std::string&, const PlayOptions&, const std::string&, const std::string&) {
    std::fprintf(stderr, "scanlog: view is not written yet\n");
    return 1;
}
