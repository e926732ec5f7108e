// libFuzzer target for the frames a child reader sends its parent (the ROS 1 reader's
// protocol): the bytes are read as frames, as the parent reads them. A payload must either be
// refused as garbled or read as what the same content encodes to, so that a scan crosses the
// pipe unchanged.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/child_frames.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void checkScan(const char* payload, std::uint64_t length) {
    RawScan scan;
    if (!readScan(payload, length, scan)) return;
    std::vector<char> again;
    scanFrame(again, scan);
    RawScan back;
    require(readScan(again.data() + kHeaderSize, again.size() - kHeaderSize, back));
    require(back.stampNs == scan.stampNs && back.ranges.size() == scan.ranges.size());
    require(std::memcmp(&back.angleMin, &scan.angleMin, sizeof scan.angleMin) == 0);
    require(std::memcmp(&back.angleIncrement, &scan.angleIncrement, sizeof scan.angleIncrement) == 0);
    // Every reading crosses bit for bit; a NaN (no return) may lose its payload bits on the way.
    for (std::size_t i = 0; i < scan.ranges.size(); ++i) {
        require(std::isnan(back.ranges[i]) == std::isnan(scan.ranges[i]));
        require(std::isnan(scan.ranges[i]) || std::memcmp(&back.ranges[i], &scan.ranges[i], sizeof(double)) == 0);
    }
}

void checkInfo(const char* payload, std::uint64_t length) {
    LogInfo info;
    if (!readInfo(payload, length, info)) return;
    std::vector<char> again;
    infoFrame(again, info);
    LogInfo back;
    require(readInfo(again.data() + kHeaderSize, again.size() - kHeaderSize, back));
    require(back.format == info.format && back.topic == info.topic && back.scanCount == info.scanCount);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0; size - at >= kHeaderSize;) {
        std::uint32_t kind = 0;
        std::uint64_t length = 0;
        std::memcpy(&kind, bytes + at, 4);
        std::memcpy(&length, bytes + at + 4, 8);
        at += kHeaderSize;
        if (length > size - at) break;
        if (kind == kScanFrame) checkScan(bytes + at, length);
        if (kind == kInfoFrame) checkInfo(bytes + at, length);
        at += static_cast<std::size_t>(length);
    }
    return 0;
}
