// The one byte source under every log: a file, a pipe or a terminal, with gzip undone on the
// fly and the bytes read to recognise the log handed out again first.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>
#include <zlib.h>

inline std::string systemError(int code) { return std::strerror(code); }
inline std::string cannotOpen(const std::string& path, int code) {
    return "scanlog: cannot open " + path + ": " + systemError(code);
}

// The log's bytes as a reader sees them: gzip undone on the fly, and the first bytes, read to
// recognise the format, handed out again first. Works the same on files, pipes and terminals:
// each read returns what has arrived, so a live log streams.
struct LogBytes {
    int fd = -1;
    std::string raw;  // bytes read from fd to look for the gzip magic, not yet handed on
    std::size_t rawUsed = 0;
    bool compressed = false;
    z_stream stream{};
    bool streamOpen = false;
    bool inputEnded = false;
    bool finished = false;
    std::vector<unsigned char> input;
    std::string head;  // decoded bytes read to recognise the format, handed out first
    std::size_t headUsed = 0;
    std::string error;  // what went wrong, when a read returned -1
    const std::function<void()>* waiting = nullptr;
};

// The reader that the format readers are given (a ByteReader's, or a ScanInput's, read).
ssize_t readLogBytes(void* context, char* into, std::size_t size);

// Opens the gzip layer when the file starts with gzip's magic, and reads the head.
bool readHead(LogBytes& bytes);

void closeLogBytes(LogBytes& bytes);
