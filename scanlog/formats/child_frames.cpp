#include "child_frames.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// stampNs, angleMin, angleIncrement, rangeMin, rangeMax, rangeMaxIsNoReturn, then the width of
// each range that follows: 4 when every range is a float (as every ROS range is), else 8.
constexpr std::size_t kScanFixedSize = 5 * 8 + 2;

void put(std::vector<char>& out, std::size_t& at, const void* data, std::size_t size) {
    std::memcpy(out.data() + at, data, size);
    at += size;
}

// Whether every range survives the trip through a float (NaN is NaN either way); checked
// first, since a double outside a float's range must not be converted at all.
bool fitFloats(const std::vector<double>& ranges) {
    for (const double range : ranges) {
        const bool fits = std::isnan(range) || std::isinf(range) ||
                          (std::fabs(range) <= std::numeric_limits<float>::max() &&
                           static_cast<double>(static_cast<float>(range)) == range);
        if (!fits) return false;
    }
    return true;
}

}  // namespace

// Sizes `out` for one frame and writes its header; returns where the payload starts.
std::size_t startFrame(std::vector<char>& out, FrameKind kind, std::uint64_t length) {
    out.resize(kHeaderSize + length);
    std::size_t at = 0;
    const std::uint32_t k = kind;
    put(out, at, &k, sizeof k);
    put(out, at, &length, sizeof length);
    return at;
}

void textFrame(std::vector<char>& out, FrameKind kind, const std::string& text) {
    std::size_t at = startFrame(out, kind, text.size());
    put(out, at, text.data(), text.size());
}

// scanCount, compressed, the format, then the topic and each LaserScan topic of the bag, each
// as its length and its bytes.
void infoFrame(std::vector<char>& out, const LogInfo& info) {
    const char compressed = info.compressed ? 1 : 0;
    const char format = static_cast<char>(info.format);
    std::size_t size = 8 + 1 + 1 + 4 + info.topic.size();
    for (const std::string& name : info.laserScanTopics) size += 4 + name.size();
    std::size_t at = startFrame(out, kInfoFrame, size);
    put(out, at, &info.scanCount, 8);
    put(out, at, &compressed, 1);
    put(out, at, &format, 1);
    const auto putText = [&out, &at](const std::string& text) {
        const std::uint32_t length = static_cast<std::uint32_t>(text.size());
        put(out, at, &length, 4);
        put(out, at, text.data(), text.size());
    };
    putText(info.topic);
    for (const std::string& name : info.laserScanTopics) putText(name);
}

void scanFrame(std::vector<char>& out, const RawScan& scan) {
    const char width = fitFloats(scan.ranges) ? sizeof(float) : sizeof(double);
    std::size_t at = startFrame(out, kScanFrame, kScanFixedSize + scan.ranges.size() * width);
    const char noReturn = scan.rangeMaxIsNoReturn ? 1 : 0;
    put(out, at, &scan.stampNs, 8);
    put(out, at, &scan.angleMin, 8);
    put(out, at, &scan.angleIncrement, 8);
    put(out, at, &scan.rangeMin, 8);
    put(out, at, &scan.rangeMax, 8);
    put(out, at, &noReturn, 1);
    put(out, at, &width, 1);
    if (width == sizeof(double)) {
        if (!scan.ranges.empty()) put(out, at, scan.ranges.data(), scan.ranges.size() * sizeof(double));
        return;
    }
    for (const double range : scan.ranges) {
        const float value = static_cast<float>(range);
        put(out, at, &value, sizeof value);
    }
}

bool readInfo(const char* payload, std::uint64_t length, LogInfo& info) {
    if (length < 10 || payload[9] < 0 || payload[9] > static_cast<char>(LogFormat::mcap)) return false;
    std::memcpy(&info.scanCount, payload, 8);
    info.compressed = payload[8] != 0;
    info.format = static_cast<LogFormat>(payload[9]);
    std::uint64_t at = 10;
    const auto takeText = [payload, length, &at](std::string& text) {
        std::uint32_t size = 0;
        if (length - at < 4) return false;
        std::memcpy(&size, payload + at, 4);
        at += 4;
        if (size > length - at) return false;
        text.assign(payload + at, size);
        at += size;
        return true;
    };
    if (!takeText(info.topic)) return false;
    info.laserScanTopics.clear();
    while (at < length) {
        info.laserScanTopics.emplace_back();
        if (!takeText(info.laserScanTopics.back())) return false;
    }
    return true;
}

bool readScan(const char* payload, std::uint64_t length, RawScan& scan) {
    if (length < kScanFixedSize) return false;
    const std::size_t width = static_cast<unsigned char>(payload[41]);
    const std::uint64_t rangeBytes = length - kScanFixedSize;
    if ((width != sizeof(float) && width != sizeof(double)) || rangeBytes % width != 0) return false;
    std::memcpy(&scan.stampNs, payload, 8);
    std::memcpy(&scan.angleMin, payload + 8, 8);
    std::memcpy(&scan.angleIncrement, payload + 16, 8);
    std::memcpy(&scan.rangeMin, payload + 24, 8);
    std::memcpy(&scan.rangeMax, payload + 32, 8);
    scan.rangeMaxIsNoReturn = payload[40] != 0;
    scan.ranges.resize(rangeBytes / width);
    const char* ranges = payload + kScanFixedSize;
    if (width == sizeof(double)) {
        if (rangeBytes > 0) std::memcpy(scan.ranges.data(), ranges, rangeBytes);
        return true;
    }
    for (std::size_t i = 0; i < scan.ranges.size(); ++i) {
        float value = 0;
        std::memcpy(&value, ranges + i * sizeof value, sizeof value);
        scan.ranges[i] = value;
    }
    return true;
}

// stampNs, x, y, yaw, fixed, then topic, parent and child, each after its uint32 length.
void poseFrame(std::vector<char>& out, const PoseSample& sample) {
    std::size_t at = startFrame(out, kPoseFrame, 4 * 8 + 1 + 3 * 4 + sample.topic.size() + sample.parent.size() +
                                                     sample.child.size());
    const char fixed = sample.fixed ? 1 : 0;
    put(out, at, &sample.stampNs, 8);
    put(out, at, &sample.pose.x, 8);
    put(out, at, &sample.pose.y, 8);
    put(out, at, &sample.pose.yaw, 8);
    put(out, at, &fixed, 1);
    for (const std::string* text : {&sample.topic, &sample.parent, &sample.child}) {
        const auto length = static_cast<std::uint32_t>(text->size());
        put(out, at, &length, 4);
        put(out, at, text->data(), text->size());
    }
}

bool readPose(const char* payload, std::uint64_t length, PoseSample& sample) {
    constexpr std::uint64_t kFixed = 4 * 8 + 1;
    if (length < kFixed) return false;
    std::memcpy(&sample.stampNs, payload, 8);
    std::memcpy(&sample.pose.x, payload + 8, 8);
    std::memcpy(&sample.pose.y, payload + 16, 8);
    std::memcpy(&sample.pose.yaw, payload + 24, 8);
    sample.fixed = payload[32] != 0;
    std::uint64_t at = kFixed;
    for (std::string* text : {&sample.topic, &sample.parent, &sample.child}) {
        std::uint32_t size = 0;
        if (length - at < 4) return false;
        std::memcpy(&size, payload + at, 4);
        at += 4;
        if (length - at < size) return false;
        text->assign(payload + at, size);
        at += size;
    }
    return at == length;
}

