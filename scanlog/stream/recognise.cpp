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

Format recognise(std::string_view head) {
    if (head.empty()) return Format::empty;
    if (startsWith(head, "#ROSBAG V")) return Format::ros1Bag;
    if (startsWith(head, std::string_view("SQLite format 3\0", 16))) return Format::sqlite;
    if (startsWith(head, "\x89MCAP0\r\n")) return Format::mcap;
    if (startsWith(head, "\x1f\x8b")) return Format::gzip;
    if (!looksLikeText(head)) return Format::unknown;
    return looksLikeScanFile(head) ? Format::scanFile : Format::carmen;
}

bool recognisable(const std::string& head) {
    return head.size() >= 16 && head.find_first_not_of(" \t\r\n\v\f") != std::string::npos;
}
