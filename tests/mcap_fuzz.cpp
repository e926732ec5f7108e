// libFuzzer target for the MCAP reader: whatever the bytes, reading must end (no crash, no
// hang, no sanitizer report) either in success or with one line naming the file, announce the
// log once before any scan, and hand over no scan after it was told to stop.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "formats/format_reader.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memoryFile("mcap_fuzz", data, size);
    // Scans taken before saying stop (0: all of them), varied by the input's length.
    const std::size_t stopAfter = size % 4;
    std::size_t begins = 0;
    std::size_t scans = 0;
    RawScanSink sink;
    sink.begin = [&](const LogInfo& info) {
        require(info.format == LogFormat::mcap, "format MCAP");
        ++begins;
    };
    sink.scan = [&](const RawScan&) {
        require(begins == 1, "announced once before the first scan");
        require(stopAfter == 0 || scans < stopAfter, "no scan after stop");
        ++scans;
        return stopAfter == 0 || scans < stopAfter;
    };
    std::string error;
    const bool ok = readMcap({"/proc/self/fd/" + std::to_string(fd)}, "fuzz.mcap", LogOptions{}, sink, error);
    close(fd);
    require(begins <= 1 && (begins == 1 || scans == 0), "announced at most once, before any scan");
    require(ok || (error.rfind("fuzz.mcap: ", 0) == 0 && error.find('\n') == std::string::npos),
            "one line naming the file", error);
    return 0;
}
