// scanlog convert: any log scanlog reads, written to standard output as a scan file.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "commands.hpp"
#include "stream/records.hpp"

namespace {

// Lines are gathered into large writes, but never held back for long, so that a viewer fed
// by a pipe draws the first scans at once even when the log reads slowly.
constexpr std::size_t kFlushBytes = 64 * 1024;
constexpr auto kFlushInterval = std::chrono::milliseconds(50);

struct Output {
    std::string pending;
    std::chrono::steady_clock::time_point lastFlush = std::chrono::steady_clock::now();
    int error = 0;      // errno of the write that failed
};

bool flush(Output& out) {
    out.lastFlush = std::chrono::steady_clock::now();
    if (out.pending.empty()) return true;
    const bool ok = writeAll(STDOUT_FILENO, out.pending);
    if (!ok) out.error = errno;
    out.pending.clear();
    return ok;
}

}  // namespace

int runConvert(const std::string& input, const LogOptions& options, const PictureOptions& picture) {
    Output out;
    out.pending.reserve(kFlushBytes + 8192);
    LogSink sink;
    ScanRecord record;
    sink.scan = [&out, &picture, &record](const LogScan& scan) {
        if (out.error != 0) return false;
        prepareRecord(scan, picture, scan.zoom, record);
        appendScanLine(scan.leadingText, record, out.pending);
        if (out.pending.size() < kFlushBytes && std::chrono::steady_clock::now() - out.lastFlush < kFlushInterval) {
            return true;
        }
        return flush(out);
    };
    sink.waiting = [&out] {
        if (out.error == 0) flush(out);
    };
    std::string error;
    const bool read = readPictureLog(input, options, picture, 1, false, sink, error);
    if (out.error == 0) flush(out);
    if (out.error == EPIPE) return 0;  // the reader stopped early, as `| head` does
    if (out.error != 0) {
        std::fprintf(stderr, "scanlog: error writing standard output: %s\n", std::strerror(out.error));
        return 1;
    }
    if (!read) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return isUsageError(error) ? kUsageStatus : 1;
    }
    return 0;
}
