#include "recognise.hpp"

namespace {

// The first non-blank character of a text log decides between a scan file (a number) and a
// CARMEN log (a keyword or a comment). One character is enough, so a slow pipe is recognised
// as soon as the log's first number starts.
bool looksLikeScanFile(std::string_view head) {
    const std::size_t start = head.find_first_not_of(" \t\r\n\v\f");
    return start != std::string_view::npos && std::string_view("0123456789+-.").find(head[start]) != std::string_view::npos;
}

bool looksLikeText(std::string_view head) {
    for (unsigned char c : head) {
        if (c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')) return false;
    }
    return true;
}

}  // namespace

// A ROS 2 bag in SQLite is a SQLite database; one without a bag's tables is refused by its
// reader, in SQLite's words. gzip here is gzip inside gzip, which no log is.
Head recognise(std::string_view head, LogFormat& format) {
    if (head.empty()) return Head::empty;
    if (startsWith(head, "#ROSBAG V")) {
        format = LogFormat::ros1Bag;
    } else if (startsWith(head, std::string_view("SQLite format 3\0", 16))) {
        format = LogFormat::ros2Sqlite;
    } else if (startsWith(head, "\x89MCAP0\r\n")) {
        format = LogFormat::mcap;
    } else if (startsWith(head, "\x1f\x8b") || !looksLikeText(head)) {
        return Head::unknown;
    } else {
        format = looksLikeScanFile(head) ? LogFormat::scanFile : LogFormat::carmen;
    }
    return Head::log;
}

bool recognisable(const std::string& head) {
    return head.size() >= 16 && head.find_first_not_of(" \t\r\n\v\f") != std::string::npos;
}
