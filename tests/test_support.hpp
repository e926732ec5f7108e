// Helpers shared by the tests: the expected echo as the standard streams would write it, and
// sample records.
#pragma once

#include <cstdlib>
#include <filesystem>
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
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name, const std::string& contents) const {
        std::ofstream(path + "/" + name, std::ios::binary) << contents;
        return path + "/" + name;
    }
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
