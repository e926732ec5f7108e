// Plain CDR as ROS 2 stores its messages, written by hand for the tests: a 4-byte
// encapsulation header (0x0000 big-endian, 0x0001 little-endian, then two option bytes), then
// each value aligned to its own size, counted from the end of that header. Written without
// Fast CDR, so that the messages are the same bytes whichever Fast CDR the system has, and a
// decoder can't pass by sharing a mistake with the library that wrote its test input.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

struct CdrWriter {
    bool bigEndian = false;
    std::string bytes;
};

inline CdrWriter startCdr(bool bigEndian) { return {bigEndian, {'\0', bigEndian ? '\0' : '\1', '\0', '\0'}}; }

inline void cdrUint32(CdrWriter& w, std::uint32_t value) {
    while ((w.bytes.size() - 4) % 4 != 0) w.bytes += '\0';
    for (int i = 0; i < 4; ++i) w.bytes += static_cast<char>(value >> (w.bigEndian ? 24 - 8 * i : 8 * i));
}

inline void cdrUint64(CdrWriter& w, std::uint64_t value) {
    while ((w.bytes.size() - 4) % 8 != 0) w.bytes += '\0';
    for (int i = 0; i < 8; ++i) w.bytes += static_cast<char>(value >> (w.bigEndian ? 56 - 8 * i : 8 * i));
}

inline void cdrDouble(CdrWriter& w, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    cdrUint64(w, bits);
}

inline void cdrFloat(CdrWriter& w, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    cdrUint32(w, bits);
}

// A string's length counts its terminating NUL, which follows the characters.
inline void cdrString(CdrWriter& w, const std::string& text) {
    cdrUint32(w, static_cast<std::uint32_t>(text.size() + 1));
    w.bytes += text;
    w.bytes += '\0';
}

inline void cdrFloats(CdrWriter& w, const std::vector<float>& values) {
    cdrUint32(w, static_cast<std::uint32_t>(values.size()));
    for (const float value : values) cdrFloat(w, value);
}
