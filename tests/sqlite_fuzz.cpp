// libFuzzer target for the ROS 2 SQLite bag reader, through its own file layer on a memory
// file: whatever the bytes, reading must end (no crash, no hang, no sanitizer report) either in
// success or with one line naming the file, announce the log once before any scan, and hand
// over no scan after it was told to stop.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "formats/format_reader.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memoryFile("sqlite_fuzz", data, size);
    const std::size_t stopAfter = size % 4;  // 0: all of them
    std::size_t begins = 0;
    std::size_t scans = 0;
    RawScanSink sink;
    sink.begin = [&](const LogInfo&) { ++begins; };
    sink.scan = [&](const RawScan& scan) {
        require(begins == 1, "announced once before the first scan");
        require(stopAfter == 0 || scans < stopAfter, "no scan after stop");
        require(scan.ranges.size() < size, "no more ranges than the file has bytes");
        ++scans;
        return stopAfter == 0 || scans < stopAfter;
    };
    std::string error;
    const bool ok = readRos2Sqlite({"/proc/self/fd/" + std::to_string(fd)}, "fuzz.db3", LogOptions{}, sink, error);
    close(fd);
    require(begins <= 1, "announced at most once");
    require(ok || (error.find("fuzz.db3") != std::string::npos && error.find('\n') == std::string::npos),
            "one line naming the file", error);
    return 0;
}
