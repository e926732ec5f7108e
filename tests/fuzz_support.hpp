// What the fuzz targets that read files by name share: a broken promise aborts, saying which,
// so that libFuzzer keeps the input; the input becomes a memory file, which the readers open by
// name under /proc/self/fd, as readLog passes a decompressed log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

inline void require(bool condition, const char* promise, const std::string& error = "") {
    if (condition) return;
    std::fprintf(stderr, "broken: %s (reader said: %s)\n", promise, error.c_str());
    std::abort();
}

inline int memoryFile(const char* name, const std::uint8_t* data, std::size_t size) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    require(fd >= 0, "a memory file");
    for (std::size_t written = 0; written < size;) {
        const ssize_t n = write(fd, data + written, size - written);
        require(n > 0, "writing the memory file");
        written += static_cast<std::size_t>(n);
    }
    return fd;
}
