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
void preferByteError(const LogBytes* bytes, const std::string& path, bool ok, std::string& error) {
    if (!ok && bytes != nullptr && startsWith(bytes->error, "damaged gzip data")) error = path + ": " + bytes->error;
}

// Where a reader reads from: the log's bytes (text logs), or its files by name (bags).
struct ReaderInput {
    LogBytes* bytes = nullptr;
    std::vector<std::string> files;
};

bool runReader(LogFormat format, ReaderInput& input, const std::string& path, const LogOptions& options,
               const RawScanSink& raw, std::string& error) {
    switch (format) {
        case LogFormat::carmen: return readCarmenLog(ByteReader{readLogBytes, input.bytes}, path, options, raw, error);
        case LogFormat::ros1Bag: return readRos1Bag(input.files.at(0), path, options, raw, error);
        case LogFormat::ros2Sqlite: return readRos2Sqlite(input.files, path, options, raw, error);
        case LogFormat::mcap: return readMcap(input.files, path, options, raw, error);
        case LogFormat::scanFile: break;  // read by the viewer's reader, in readScanFileLog
    }
    return false;
}

// Runs the format's reader, and then does what every reader would otherwise repeat: a log the
// reader gave up on before announcing it is announced now (it was recognised, so a consumer
// such as `scanlog info` names its format), and the error gets "scanlog: " before it.
bool readWithReader(LogFormat format, ReaderInput& input, const std::string& path, const LogOptions& options,
                    Stamping& stamping, std::string& error) {
    const RawScanSink raw = rawSinkFor(stamping, *stamping.sink);
    const bool ok = runReader(format, input, path, options, raw, error);
    preferByteError(input.bytes, path, ok, error);
    if (!ok && !stamping.begun) {
        LogInfo info;
        info.format = format;
        raw.begin(info);
    }
    releaseHeldScan(stamping, ok);
    if (!ok) error = "scanlog: " + error;
    return ok;
}

// Scan files go to the viewer's own reader, whose messages are the viewer's and pass unchanged.
bool readScanFileLog(LogBytes& bytes, const std::string& path, const LogOptions& options,
                     bool leadingValuesAreSeconds, const LogSink& sink, std::string& error) {
    if (options.facing != 0) {
        error = "scanlog: " + path + " " + kFacingOnScanFile;
        return false;
    }
    LogInfo info;
    info.format = LogFormat::scanFile;
    info.compressed = bytes.compressed;
    if (sink.begin) sink.begin(info);
    ScanInput input = scanInputFromReader(ByteReader{readLogBytes, &bytes}, path);
    const bool ok = readScanFile(input, leadingValuesAreSeconds, options, sink, error);
    preferByteError(&bytes, path, ok, error);
    if (!ok && !startsWith(error, "Error reading laser file ")) error = "scanlog: " + error;
    return ok;
}

bool readBagFolderLog(const std::string& path, const LogOptions& options, Stamping& stamping, std::string& error) {
    BagFolder folder;
    if (!readBagFolder(path, folder, error)) return false;
    ReaderInput input;
    input.files = folder.files;
    return readWithReader(folder.format, input, path, options, stamping, error);
}

// Opens the log, reads its first bytes and recognises it; a bag that arrived compressed or
// through a pipe is copied to a temporary file. False with `error` set when it is no log.
bool openLog(OpenLog& log, const std::function<void()>& waiting, LogFormat& format, std::string& error) {
    log.bytes.fd = open(log.path.c_str(), O_RDONLY | O_CLOEXEC);
    log.bytes.waiting = &waiting;
    if (log.bytes.fd < 0) {
        error = cannotOpen(log.path, errno);
        return false;
    }
    if (!readHead(log.bytes)) {
        error = "scanlog: " + log.path + ": " + log.bytes.error;
        return false;
    }
    const Head head = recognise(log.bytes.head, format);
    if (head == Head::empty) {
        error = "scanlog: " + log.path + ": the file is empty";
        return false;
    }
    if (head == Head::unknown) {
        error = "scanlog: " + log.path + ": not a log that scanlog reads (a scan file, CARMEN log, ROS 1 bag, "
                "ROS 2 bag or MCAP file)";
        return false;
    }
    const bool binary = format == LogFormat::ros1Bag || format == LogFormat::ros2Sqlite || format == LogFormat::mcap;
    struct stat status {};
    const bool regularFile = fstat(log.bytes.fd, &status) == 0 && S_ISREG(status.st_mode);
    if (binary && (log.bytes.compressed || !regularFile)) return copyToTemporaryFile(log, error);
    return true;
}

bool readAnyLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
                std::string& error) {
    Stamping stamping;
    stamping.path = &path;
    stamping.options = &options;
    stamping.sink = &sink;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        return readBagFolderLog(path, options, stamping, error);
    }

    OpenLog log;
    log.path = path;
    log.file = path;
    LogFormat format = LogFormat::scanFile;
    bool ok = openLog(log, sink.waiting, format, error);
    stamping.compressed = log.bytes.compressed;
    if (ok && format == LogFormat::scanFile && options.facing != 0) {
        error = "scanlog: " + path + " " + kFacingOnScanFile;
        ok = false;
    } else if (ok && format == LogFormat::scanFile) {
        ok = readScanFileLog(log.bytes, path, options, leadingValuesAreSeconds, sink, error);
    } else if (ok) {
        ReaderInput input;
        input.bytes = &log.bytes;
        input.files = {log.file};
        ok = readWithReader(format, input, path, options, stamping, error);
    }
    closeLog(log);
    return ok;
}

}  // namespace

// A message names the log as the user gave it and may quote the log's own text: a control byte
// in either (a file name with a line end) would split the line or reach the terminal as a
// command, so the whole message is made printable here, once.
bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error) {
    const bool ok = readAnyLog(path, options, leadingValuesAreSeconds, sink, error);
    if (!ok) error = printableName(error);
    return ok;
}

bool isUsageError(const std::string& error) {
    const std::string_view text(error), tail(kFacingOnScanFile);
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool readRawLog(const std::string& path, const LogOptions& options, const RawScanSink& sink, std::string& error) {
    ReaderInput input;
    LogFormat format = LogFormat::scanFile;
    OpenLog log;
    const std::function<void()> noWaiting;  // the log's bytes keep a pointer to it
    bool ok = true;
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        BagFolder folder;
        ok = readBagFolder(path, folder, error);
        format = folder.format;
        input.files = folder.files;
    } else {
        log.path = path;
        log.file = path;
        ok = openLog(log, noWaiting, format, error);
        input.bytes = &log.bytes;
        input.files = {log.file};
        if (ok && format == LogFormat::scanFile) {
            error = "scanlog: " + path + ": a scan file holds no poses and no sensor geometry; give the log it came from";
            ok = false;
        }
    }
    if (ok) {
        // The readers can't see the gzip layer; what they report is told it.
        const bool compressed = input.bytes != nullptr && input.bytes->compressed;
        bool begun = false;
        RawScanSink described = sink;
        described.begin = [&sink, compressed, &begun](const LogInfo& given) {
            LogInfo told = given;
            told.compressed = compressed;
            begun = true;
            if (sink.begin) sink.begin(told);
        };
        ok = runReader(format, input, path, options, described, error);
        preferByteError(input.bytes, path, ok, error);
        if (!ok && !begun) {
            LogInfo info;
            info.format = format;
            described.begin(info);
        }
        if (!ok) error = "scanlog: " + error;
    }
    if (input.bytes != nullptr) closeLog(log);
    if (!ok) error = printableName(error);
    return ok;
}
