// Recognising a log by its first bytes: a scan file, a CARMEN log, a ROS 1 bag, a SQLite
// database (a ROS 2 bag), an MCAP file, or gzip around one of them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class Format { unknown, empty, scanFile, carmen, ros1Bag, sqlite, mcap, gzip };

// At most this many bytes are read before a log is recognised.
constexpr std::size_t kHeadSize = 4096;

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

Format recognise(std::string_view head);

// Enough bytes to tell every format apart: the longest magic, and the first character of a
// text log.
bool recognisable(const std::string& head);
