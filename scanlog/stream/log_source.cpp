#include "log_source.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string_view>
#include <vector>

#include "bag_folder.hpp"
#include "log_bytes.hpp"
#include "recognise.hpp"
#include "records.hpp"
#include "scan_file.hpp"
#include "stamping.hpp"
#include "temporary_file.hpp"

namespace {

constexpr const char* kFacingOnScanFile =
    "is a scan file, which has no bearings beyond its 361 readings: --facing needs a sensor's log (see scanlog --help)";

struct OpenLog {
    std::string path;      // as the user gave it, for messages
    std::string file;      // what to open by name: the path, or the temporary copy
    LogBytes bytes;
    int copyFd = -1;       // binary logs that arrive compressed or through a pipe are copied here
};

void closeLog(OpenLog& log) {
    closeLogBytes(log.bytes);
    if (log.bytes.fd >= 0) close(log.bytes.fd);
    if (log.copyFd >= 0) close(log.copyFd);
    log.bytes.fd = log.copyFd = -1;
}

// The bag readers read files by name and jump about in them, so a bag that arrives gzip-
// compressed or through a pipe is first copied to an unnamed temporary file.
bool copyToTemporaryFile(OpenLog& log, std::string& error) {
    std::string folder;
    log.copyFd = openTemporaryFile(folder);
    if (log.copyFd < 0) {
        error = "scanlog: " + log.path + ": cannot make a temporary file in " + folder + ": " + systemError(errno);
        return false;
    }
    std::vector<char> block(1 << 20);
    for (;;) {
        const ssize_t got = readLogBytes(&log.bytes, block.data(), block.size());
        if (got < 0) {
            error = "scanlog: " + log.path + ": " + log.bytes.error;
            return false;
        }
        if (got == 0) break;
        if (!writeAll(log.copyFd, std::string_view(block.data(), static_cast<std::size_t>(got)))) {
            error = "scanlog: " + log.path + ": cannot copy to " + folder + ": " + systemError(errno);
            return false;
        }
    }
    log.file = "/proc/self/fd/" + std::to_string(log.copyFd);
    return true;
}

// A reader that met a read error reports it in its own words; the cause, when it was damaged
// gzip data, is what the user needs to hear.
void preferByteError(const OpenLog& log, bool ok, std::string& error) {
    if (!ok && startsWith(log.bytes.error, "damaged gzip data")) error = "scanlog: " + log.path + ": " + log.bytes.error;
}

}  // namespace

bool isUsageError(const std::string& error) {
    const std::string_view text(error), tail(kFacingOnScanFile);
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error) {
    Stamping stamping{path, options, sink, 0, false, LogScan{}, RawScan{}, true, 0, false, false};
    const RawScanSink raw = rawSinkFor(stamping, sink);

    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        const bool ok = readBagFolder(path, options, raw, error);
        releaseHeldScan(stamping);
        if (!ok && !startsWith(error, "scanlog: ")) error = "scanlog: " + error;
        return ok;
    }

    OpenLog log;
    log.path = path;
    log.file = path;
    log.bytes.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    log.bytes.waiting = &sink.waiting;
    if (log.bytes.fd < 0) {
        error = cannotOpen(path, errno);
        return false;
    }
    bool ok = readHead(log.bytes);
    if (!ok) error = "scanlog: " + path + ": " + log.bytes.error;
    const Format format = ok ? recognise(log.bytes.head) : Format::unknown;
    LogInfo info;
    info.compressed = log.bytes.compressed;
    stamping.compressed = info.compressed;
    const bool binary = format == Format::ros1Bag || format == Format::sqlite || format == Format::mcap;
    const bool regularFile = fstat(log.bytes.fd, &status) == 0 && S_ISREG(status.st_mode);
    if (ok && binary && (info.compressed || !regularFile)) ok = copyToTemporaryFile(log, error);

    if (!ok) {
    } else if (format == Format::empty) {
        error = "scanlog: " + path + ": the file is empty";
        ok = false;
    } else if (format == Format::unknown || format == Format::gzip) {
        error = "scanlog: " + path + ": not a log that scanlog reads (a scan file, CARMEN log, ROS 1 bag, "
                "ROS 2 bag or MCAP file)";
        ok = false;
    } else if (format == Format::scanFile && options.facing != 0) {
        error = "scanlog: " + path + " " + kFacingOnScanFile;
        ok = false;
    } else if (format == Format::scanFile) {
        info.format = "scan file";
        if (sink.begin) sink.begin(info);
        ScanInput input = scanInputFromReader(ByteReader{readLogBytes, &log.bytes}, path);
        ok = readScanFile(input, leadingValuesAreSeconds, options, sink, error);
        preferByteError(log, ok, error);
    } else if (format == Format::carmen) {
        ByteReader bytes{readLogBytes, &log.bytes};
        ok = readCarmenLog(bytes, path, options, raw, error);
        preferByteError(log, ok, error);
    } else if (format == Format::ros1Bag) {
        ok = readRos1Bag(log.file, path, options, raw, error);
    } else if (format == Format::sqlite) {
        ok = readRos2Sqlite({log.file}, path, options, raw, error);
    } else if (format == Format::mcap) {
        ok = readMcap({log.file}, path, options, raw, error);
    }
    releaseHeldScan(stamping);
    if (!ok && !startsWith(error, "scanlog: ") && !startsWith(error, "Error reading laser file ")) {
        error = "scanlog: " + error;
    }
    closeLog(log);
    return ok;
}
