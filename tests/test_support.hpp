// Helpers shared by the tests: the expected echo as the standard streams would write it, and
// sample records.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <unistd.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scan_reader.hpp"

// The echo of `numbers` (a multiple of 362) written with default-formatted std::ostream, the
// behaviour the program's own formatter must reproduce byte for byte.
inline std::string streamEcho(const std::vector<double>& numbers) {
    std::ostringstream out;
    for (std::size_t i = 0; i < numbers.size(); i += kNumbersPerRecord) {
        out << numbers[i] << '\n';
        for (int k = 1; k < kNumbersPerRecord; ++k) out << numbers[i + k] << ' ';
        out << '\n';
    }
    return out.str();
}

// A record whose numbers all differ: leading value `lead`, reading i worth base + i.
inline std::vector<double> sampleRecord(double lead, double base) {
    std::vector<double> numbers{lead};
    for (int i = 0; i < kReadingCount; ++i) numbers.push_back(base + i);
    return numbers;
}

inline std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

// A private folder for one test's files, removed with them at the end.
struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/rsi-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        // A test may have taken the write permission away; removing needs it back.
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string file(const std::string& name, const std::string& contents) const {
        std::ofstream(path + "/" + name, std::ios::binary) << contents;
        return path + "/" + name;
    }
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Reads a child's standard output and error pipes into `out` and `err` until `done()` says
// enough or both pipes have ended; a pipe that ends is closed and set to -1. False when the
// deadline passes first: the child stopped answering.
template <typename Done>
bool drainPipes(int& outFd, int& errFd, std::string& out, std::string& err, Done done,
                std::chrono::steady_clock::time_point deadline) {
    int* ends[2] = {&outFd, &errFd};
    std::string* texts[2] = {&out, &err};
    while (!done() && (outFd >= 0 || errFd >= 0)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        poll(fds, 2, 100);
        for (int i = 0; i < 2; ++i) {
            if (*ends[i] < 0 || fds[i].revents == 0) continue;
            char chunk[65536];
            const ssize_t got = read(*ends[i], chunk, sizeof chunk);
            if (got > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(got));
            } else {
                close(*ends[i]);
                *ends[i] = -1;
            }
        }
    }
    return true;
}
