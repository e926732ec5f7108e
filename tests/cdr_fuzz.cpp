// libFuzzer target for the CDR LaserScan decoder: whatever the bytes, decoding must end in a
// scan no larger than the message allows, or in one line saying what is wrong.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/format_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RawScan scan;
    std::string error;
    if (decodeRos2LaserScan(data, size, scan, error)) {
        // Four bytes a range, after the encapsulation header.
        if (scan.ranges.size() * 4 > size) std::abort();
    } else if (error.empty() || error.find('\n') != std::string::npos) {
        std::abort();
    }
    return 0;
}
