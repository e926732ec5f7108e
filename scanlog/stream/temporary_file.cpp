#include "temporary_file.hpp"

#include <cstdlib>
#include <fcntl.h>

int openTemporaryFile(std::string& folder) {
    const char* tmp = std::getenv("TMPDIR");
    folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    return open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}
