// libFuzzer target for the CARMEN log reader: whatever the bytes, reading must end either in
// success or with one line naming the place, hand over only scans of a possible shape, and
// come to the same result however the bytes are split into reads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/format_reader.hpp"
#include "stream/records.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct Source {
    const std::string& text;
    std::size_t chunk, at = 0;
};

ssize_t readSource(void* context, char* into, std::size_t size) {
    auto& source = *static_cast<Source*>(context);
    const std::size_t n = source.text.copy(into, std::min(size, source.chunk), source.at);
    source.at += n;
    return static_cast<ssize_t>(n);
}

void checkShape(const RawScan& scan, std::size_t inputSize) {
    require(scan.ranges.size() <= inputSize / 2);  // every range takes a byte and a blank
    require(std::isfinite(scan.angleMin) && std::isfinite(scan.angleIncrement) && scan.rangeMin == 0);
    if (scan.rangeMaxIsNoReturn) {
        require(std::isfinite(scan.rangeMax));
    } else {
        require(scan.angleMin == -3.141592653589793 / 2 && std::isinf(scan.rangeMax));
        require(scan.angleIncrement >= 0 && scan.angleIncrement <= 3.141592653589793);
    }
    ScanRecord record;
    resampleScan(scan, record);
    for (double reading : record.readings) require(std::isfinite(reading) && reading >= 0);
}

// The error, then every scan's time, geometry and ranges, bit for bit.
std::string readWith(const std::string& text, const std::string& laser, std::size_t chunk) {
    Source source{text, chunk};
    std::string seen;
    int begins = 0;
    RawScanSink sink;
    sink.begin = [&](const LogInfo& info) { begins += info.format == LogFormat::carmen && !info.topic.empty() ? 1 : 100; };
    sink.scan = [&](const RawScan& scan) {
        require(begins == 1);
        checkShape(scan, text.size());
        const double fields[] = {static_cast<double>(scan.stampNs), scan.angleMin, scan.angleIncrement, scan.rangeMax};
        seen.append(reinterpret_cast<const char*>(fields), sizeof fields);
        seen.append(reinterpret_cast<const char*>(scan.ranges.data()), scan.ranges.size() * sizeof(double));
        return true;
    };
    LogOptions options;
    options.laser = laser;
    std::string error;
    const bool ok = readCarmenLog(ByteReader{readSource, &source}, "fuzz", options, sink, error);
    require(begins == 1 && ok == error.empty());
    require(ok || error.rfind("fuzz: line ", 0) == 0 || error.rfind("fuzz: --laser ", 0) == 0);
    require(error.find_first_of("\n\r\x1b") == std::string::npos);
    return error + "|" + seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The input's length picks the line kind asked for, so that a run reproduces.
    static const char* const kinds[] = {"", "RLASER", "RAWLASER2", "ROBOTLASER1", "LASER3", "ODOM"};
    const std::string laser = kinds[size % (sizeof kinds / sizeof kinds[0])];
    require(readWith(text, laser, 1 << 20) == readWith(text, laser, 1 + size % 5));
    return 0;
}
