#include "log_source.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>
#include <zlib.h>

#include "records.hpp"

namespace {

enum class Format { unknown, empty, scanFile, carmen, ros1Bag, sqlite, mcap, gzip };

constexpr std::size_t kHeadSize = 4096;

std::string systemError(int code) { return std::strerror(code); }

std::string cannotOpen(const std::string& path, int code) { return "scanlog: cannot open " + path + ": " + systemError(code); }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The first non-blank token of a text log decides between a scan file (a number) and a
// CARMEN log (a keyword or a comment).
bool looksLikeScanFile(std::string_view head) {
    const std::size_t start = head.find_first_not_of(" \t\r\n\v\f");
    if (start == std::string_view::npos) return false;
    std::size_t end = head.find_first_of(" \t\r\n\v\f", start);
    if (end == std::string_view::npos) end = head.size();
    double value = 0;
    return parseNumber(head.data() + start, head.data() + end, value);
}

bool looksLikeText(std::string_view head) {
    for (unsigned char c : head) {
        if (c == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')) return false;
    }
    return true;
}

Format recognise(std::string_view head) {
    if (head.empty()) return Format::empty;
    if (startsWith(head, "#ROSBAG V")) return Format::ros1Bag;
    if (startsWith(head, std::string_view("SQLite format 3\0", 16))) return Format::sqlite;
    if (startsWith(head, "\x89MCAP0\r\n")) return Format::mcap;
    if (startsWith(head, "\x1f\x8b")) return Format::gzip;
    if (!looksLikeText(head)) return Format::unknown;
    return looksLikeScanFile(head) ? Format::scanFile : Format::carmen;
}

// ---- gzip ---------------------------------------------------------------------------------

struct GzipReader {
    gzFile file = nullptr;
    std::string error;  // zlib's own words for a damaged stream
};

ssize_t readGzip(void* context, char* into, std::size_t size) {
    auto& reader = *static_cast<GzipReader*>(context);
    const unsigned int asked = static_cast<unsigned int>(std::min<std::size_t>(size, 1u << 30));
    const int got = gzread(reader.file, into, asked);
    if (got >= 0) return got;
    int code = 0;
    const char* message = gzerror(reader.file, &code);
    reader.error = code == Z_ERRNO ? systemError(errno) : std::string(message);
    errno = EIO;
    return -1;
}

// ---- stamps -------------------------------------------------------------------------------

// Gives each converted scan its leading value. The first scan is held back until the second
// shows whether the log's times can be used.
struct Stamping {
    const std::string& path;
    const LogOptions& options;
    const LogSink& sink;
    std::uint64_t count = 0;
    bool held = false;
    LogScan first;
    bool timed = true;
    std::int64_t originNs = 0;
    bool stopped = false;
    bool compressed = false;
};

void giveLeadingValue(Stamping& s, LogScan& scan) {
    const bool byIndex = s.options.stamp == StampMode::index || !s.timed;
    if (byIndex) {
        scan.leadingText = std::to_string(scan.number);
    } else if (s.options.stamp == StampMode::absolute) {
        scan.leadingText = absoluteSeconds(scan.stampNs);
    } else {
        scan.leadingText = relativeSeconds(scan.stampNs - s.originNs);
    }
    scan.timed = s.timed;
    double value = 0;
    parseNumber(scan.leadingText.data(), scan.leadingText.data() + scan.leadingText.size(), value);
    scan.record.leadingValue = value;
}

bool deliver(Stamping& s, LogScan& scan) {
    giveLeadingValue(s, scan);
    if (!s.sink.scan(scan)) s.stopped = true;
    return !s.stopped;
}

void decideTiming(Stamping& s, std::int64_t secondNs) {
    s.timed = secondNs > s.first.stampNs;
    if (!s.timed && s.options.stamp != StampMode::index) {
        std::fprintf(stderr, "scanlog: %s: the first two scans' times do not increase (%s s, then %s s); "
                             "leading values are scan numbers instead\n",
                     s.path.c_str(), absoluteSeconds(s.first.stampNs).c_str(), absoluteSeconds(secondNs).c_str());
        std::fflush(stderr);
    }
}

bool takeRawScan(Stamping& s, const RawScan& raw) {
    LogScan scan;
    scan.number = ++s.count;
    scan.stampNs = raw.stampNs;
    resampleScan(raw, scan.record);
    if (scan.number == 1) {
        s.first = std::move(scan);
        s.originNs = s.first.stampNs;
        s.held = true;
        return true;
    }
    if (s.held) {
        s.held = false;
        decideTiming(s, scan.stampNs);
        if (!deliver(s, s.first)) return false;
    }
    return deliver(s, scan);
}

// A log of one scan has no second time to judge by; its one stamp is used as it is.
void releaseHeldScan(Stamping& s) {
    if (!s.held || s.stopped) return;
    s.held = false;
    deliver(s, s.first);
}

// ---- scan files ---------------------------------------------------------------------------

bool readScanFile(ScanInput& input, bool leadingValuesAreSeconds, const LogOptions& options, const LogSink& sink,
                  std::string& error) {
    LogScan scan;
    char text[32];
    for (;;) {
        const std::uint64_t offset = scanInputPosition(input);
        const ReadResult result = readScanRecord(input, scan.record);
        if (result == ReadResult::endOfInput) return true;
        if (result == ReadResult::failed) {
            error = input.error;
            return false;
        }
        scan.number = input.recordsRead;
        scan.offset = offset;
        const double lead = scan.record.leadingValue;
        if (options.stamp == StampMode::index) {
            scan.leadingText = std::to_string(scan.number);
            scan.record.leadingValue = static_cast<double>(scan.number);
        } else {
            scan.leadingText.assign(text, formatShortest(lead, text));
        }
        scan.timed = leadingValuesAreSeconds;
        scan.stampNs = 0;
        if (leadingValuesAreSeconds && std::isfinite(lead) && std::fabs(lead) < 9e9) {
            scan.stampNs = std::llround(lead * 1e9);
        }
        if (!sink.scan(scan)) return true;
    }
}

// ---- ROS 2 bag folders --------------------------------------------------------------------

bool readBagFolder(const std::string& path, const LogOptions& options, const RawScanSink& raw, std::string& error) {
    const std::string metadataPath = path + "/metadata.yaml";
    if (access(metadataPath.c_str(), F_OK) != 0) {
        error = "scanlog: " + path + ": not a ROS 2 bag folder (it has no metadata.yaml)";
        return false;
    }
    std::vector<std::string> files;
    std::string storage;
    try {
        const YAML::Node info = YAML::LoadFile(metadataPath)["rosbag2_bagfile_information"];
        if (!info) throw YAML::Exception(YAML::Mark::null_mark(), "no rosbag2_bagfile_information");
        if (info["storage_identifier"]) storage = info["storage_identifier"].as<std::string>();
        const std::string compression = info["compression_mode"] ? info["compression_mode"].as<std::string>() : "";
        if (!compression.empty()) {
            error = "scanlog: " + metadataPath + ": compressed bags (compression_mode " + compression +
                    ") are not supported; decompress it with `ros2 bag convert` first";
            return false;
        }
        for (const YAML::Node& file : info["relative_file_paths"]) files.push_back(path + "/" + file.as<std::string>());
    } catch (const YAML::Exception& e) {
        error = "scanlog: " + metadataPath + ": " + e.what();
        return false;
    }
    if (files.empty()) {
        error = "scanlog: " + metadataPath + ": lists no files";
        return false;
    }
    for (const std::string& file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = cannotOpen(file, errno);
            return false;
        }
        close(fd);
    }
    if (storage == "mcap") return readMcap(files, path, options, raw, error);
    if (storage == "sqlite3" || storage.empty()) return readRos2Sqlite(files, path, options, raw, error);
    error = "scanlog: " + metadataPath + ": unknown storage \"" + storage + "\" (sqlite3 and mcap are read)";
    return false;
}

// ---- dispatch -----------------------------------------------------------------------------

struct OpenLog {
    std::string path;      // as the user gave it, for messages
    std::string file;      // what to open by name: the path, or the decompressed copy
    int fd = -1;
    GzipReader gzip;
    int copyFd = -1;       // gzip-compressed binary logs are decompressed into this file
};

void closeLog(OpenLog& log) {
    if (log.gzip.file != nullptr) gzclose(log.gzip.file);
    log.gzip.file = nullptr;
    if (log.fd >= 0) close(log.fd);
    if (log.copyFd >= 0) close(log.copyFd);
    log.fd = log.copyFd = -1;
}

// Reads up to kHeadSize bytes without consuming them from what `readBytes` will read later.
std::string peekHead(OpenLog& log) {
    std::string head(kHeadSize, '\0');
    std::size_t have = 0;
    for (;;) {
        const int got = gzread(log.gzip.file, head.data() + have, static_cast<unsigned>(kHeadSize - have));
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
        if (have == kHeadSize) break;
    }
    head.resize(have);
    return head;
}

// A binary log inside gzip is decompressed to an unnamed temporary file, since the bag
// libraries read files by name.
bool decompressToTemporaryFile(OpenLog& log, std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    log.copyFd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (log.copyFd < 0) {
        error = "scanlog: " + log.path + ": cannot make a temporary file in " + folder + ": " + systemError(errno);
        return false;
    }
    gzrewind(log.gzip.file);
    std::vector<char> block(1 << 20);
    for (;;) {
        const ssize_t got = readGzip(&log.gzip, block.data(), block.size());
        if (got < 0) {
            error = "scanlog: " + log.path + ": damaged gzip data: " + log.gzip.error;
            return false;
        }
        if (got == 0) break;
        if (!writeAll(log.copyFd, std::string_view(block.data(), static_cast<std::size_t>(got)))) {
            error = "scanlog: " + log.path + ": cannot decompress to " + folder + ": " + systemError(errno);
            return false;
        }
    }
    log.file = "/proc/self/fd/" + std::to_string(log.copyFd);
    return true;
}

RawScanSink rawSinkFor(Stamping& stamping, const LogSink& sink) {
    RawScanSink raw;
    raw.begin = [&stamping, &sink](const LogInfo& info) {
        LogInfo described = info;
        described.compressed = stamping.compressed;
        if (sink.begin) sink.begin(described);
    };
    raw.scan = [&stamping](const RawScan& scan) { return takeRawScan(stamping, scan); };
    return raw;
}

}  // namespace

bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error) {
    Stamping stamping{path, options, sink, 0, false, LogScan{}, true, 0, false, false};
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
    log.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (log.fd < 0) {
        error = cannotOpen(path, errno);
        return false;
    }
    // zlib reads a file that is not compressed as it is, so every text log goes through it.
    const int gzipFd = dup(log.fd);
    log.gzip.file = gzipFd < 0 ? nullptr : gzdopen(gzipFd, "rb");
    if (log.gzip.file == nullptr) {
        if (gzipFd >= 0) close(gzipFd);
        error = cannotOpen(path, ENOMEM);
        closeLog(log);
        return false;
    }
    gzbuffer(log.gzip.file, 128 * 1024);

    // gzread undoes gzip as it reads, so the head is already the log's own first bytes.
    const Format format = recognise(peekHead(log));
    LogInfo info;
    info.compressed = !gzdirect(log.gzip.file);
    stamping.compressed = info.compressed;
    bool ok = true;
    if (info.compressed && (format == Format::ros1Bag || format == Format::sqlite || format == Format::mcap)) {
        ok = decompressToTemporaryFile(log, error);
    }
    if (ok) gzrewind(log.gzip.file);

    if (!ok) {
    } else if (format == Format::empty) {
        error = "scanlog: " + path + ": the file is empty";
        ok = false;
    } else if (format == Format::unknown || format == Format::gzip) {
        error = "scanlog: " + path + ": not a log that scanlog reads (a scan file, CARMEN log, ROS 1 bag, "
                "ROS 2 bag or MCAP file)";
        ok = false;
    } else if (format == Format::scanFile) {
        info.format = "scan file";
        if (sink.begin) sink.begin(info);
        ScanInput input = scanInputFromReader(readGzip, &log.gzip, path);
        ok = readScanFile(input, leadingValuesAreSeconds, options, sink, error);
        if (!ok && !log.gzip.error.empty()) error = "scanlog: " + path + ": damaged gzip data: " + log.gzip.error;
    } else if (format == Format::carmen) {
        ByteReader bytes{readGzip, &log.gzip};
        ok = readCarmenLog(bytes, path, options, raw, error);
        if (!ok && !log.gzip.error.empty()) error = "scanlog: " + path + ": damaged gzip data: " + log.gzip.error;
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
