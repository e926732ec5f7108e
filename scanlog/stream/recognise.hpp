// Recognising a log by its first bytes: a scan file, a CARMEN log, a ROS 1 bag, a SQLite
// database (a ROS 2 bag), an MCAP file, or gzip around one of them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/format_reader.hpp"

// What the first bytes are: nothing at all, a log of some `format`, or something else (gzip
// inside gzip among them).
enum class Head { empty, log, unknown };

// At most this many bytes are read before a log is recognised.
constexpr std::size_t kHeadSize = 4096;

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The format of the log whose (decompressed) first bytes are `head`; `format` is set for a log.
Head recognise(std::string_view head, LogFormat& format);

// Enough bytes to tell every format apart: the longest magic, and the first character of a
// text log.
bool recognisable(const std::string& head);
