#include "log_source.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <functional>
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

// The first non-blank character of a text log decides between a scan file (a number) and a
// CARMEN log (a keyword or a comment). One character is enough, so a slow pipe is recognised
// as soon as the log's first number starts.
bool looksLikeScanFile(std::string_view head) {
    const std::size_t start = head.find_first_not_of(" \t\r\n\v\f");
    return start != std::string_view::npos && std::string_view("0123456789+-.").find(head[start]) != std::string_view::npos;
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

// ---- bytes --------------------------------------------------------------------------------

// The log's bytes as a reader sees them: gzip undone on the fly, and the first bytes, read to
// recognise the format, handed out again first. Works the same on files, pipes and terminals:
// each read returns what has arrived, so a live log streams.
struct LogBytes {
    int fd = -1;
    std::string raw;  // bytes read from fd to look for the gzip magic, not yet handed on
    std::size_t rawUsed = 0;
    bool compressed = false;
    z_stream stream{};
    bool streamOpen = false;
    bool inputEnded = false;
    bool finished = false;
    std::vector<unsigned char> input;
    std::string head;  // decoded bytes read to recognise the format, handed out first
    std::size_t headUsed = 0;
    std::string error;  // what went wrong, when a read returned -1
    const std::function<void()>* waiting = nullptr;
};

// Lets the consumer pass on what it holds before a read that would wait for a live log.
void noteWaiting(LogBytes& bytes) {
    if (bytes.waiting == nullptr || !*bytes.waiting) return;
    pollfd ready{bytes.fd, POLLIN, 0};
    if (poll(&ready, 1, 0) == 0) (*bytes.waiting)();
}

ssize_t readRaw(LogBytes& bytes, char* into, std::size_t size) {
    if (bytes.rawUsed < bytes.raw.size()) {
        const std::size_t n = std::min(size, bytes.raw.size() - bytes.rawUsed);
        std::memcpy(into, bytes.raw.data() + bytes.rawUsed, n);
        bytes.rawUsed += n;
        return static_cast<ssize_t>(n);
    }
    noteWaiting(bytes);
    for (;;) {
        const ssize_t got = read(bytes.fd, into, size);
        if (got >= 0) return got;
        if (errno != EINTR) {
            bytes.error = systemError(errno);
            return -1;
        }
    }
}

ssize_t failDecoding(LogBytes& bytes, const std::string& what) {
    bytes.error = "damaged gzip data: " + what;
    errno = EIO;
    return -1;
}

// Reads more compressed bytes when the last ones are used up. False on a read error.
bool fillInput(LogBytes& bytes) {
    z_stream& z = bytes.stream;
    if (z.avail_in != 0 || bytes.inputEnded) return true;
    const ssize_t got = readRaw(bytes, reinterpret_cast<char*>(bytes.input.data()), bytes.input.size());
    if (got < 0) return false;
    bytes.inputEnded = got == 0;
    z.next_in = bytes.input.data();
    z.avail_in = static_cast<uInt>(got);
    return true;
}

// Inflates into `into` until something comes out, the data ends, or it is found damaged.
// Files made of several gzip members (concatenated with cat) read as one.
ssize_t readInflated(LogBytes& bytes, char* into, std::size_t size) {
    z_stream& z = bytes.stream;
    while (!bytes.finished) {
        if (!fillInput(bytes)) return -1;
        z.next_out = reinterpret_cast<Bytef*>(into);
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        const uInt room = z.avail_out;
        const int result = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = room - z.avail_out;
        if (result == Z_STREAM_END) {
            // Another member may follow; only more input can tell.
            if (!fillInput(bytes)) return -1;
            if (z.avail_in == 0) {
                bytes.finished = true;
            } else {
                inflateReset(&z);
            }
        } else if (result == Z_BUF_ERROR && bytes.inputEnded && z.avail_in == 0 && produced == 0) {
            return failDecoding(bytes, "the file ends inside the compressed data");
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            return failDecoding(bytes, z.msg != nullptr ? z.msg : "inflate failed");
        }
        if (produced > 0) return static_cast<ssize_t>(produced);
    }
    return 0;
}

ssize_t readDecoded(LogBytes& bytes, char* into, std::size_t size) {
    return bytes.compressed ? readInflated(bytes, into, size) : readRaw(bytes, into, size);
}

// The reader that the format readers are given.
ssize_t readLogBytes(void* context, char* into, std::size_t size) {
    auto& bytes = *static_cast<LogBytes*>(context);
    if (bytes.headUsed < bytes.head.size()) {
        const std::size_t n = std::min(size, bytes.head.size() - bytes.headUsed);
        std::memcpy(into, bytes.head.data() + bytes.headUsed, n);
        bytes.headUsed += n;
        return static_cast<ssize_t>(n);
    }
    return readDecoded(bytes, into, size);
}

// Reads until `enough` says the bytes can be recognised, or kHeadSize bytes, or the end.
template <typename Enough>
bool readUntil(std::string& head, Enough enough, const std::function<ssize_t(char*, std::size_t)>& readSome) {
    char block[kHeadSize];
    while (head.size() < kHeadSize && !enough(head)) {
        const ssize_t got = readSome(block, kHeadSize - head.size());
        if (got < 0) return false;
        if (got == 0) break;
        head.append(block, static_cast<std::size_t>(got));
    }
    return true;
}

// Enough bytes to tell every format apart: the longest magic, and the first character of a
// text log.
bool recognisable(const std::string& head) {
    return head.size() >= 16 && head.find_first_not_of(" \t\r\n\v\f") != std::string::npos;
}

// Opens the gzip layer when the file starts with gzip's magic, and reads the head.
bool readHead(LogBytes& bytes) {
    const auto raw = [&bytes](char* into, std::size_t size) { return readRaw(bytes, into, size); };
    if (!readUntil(bytes.raw, [](const std::string& h) { return h.size() >= 2; }, raw)) return false;
    bytes.compressed = bytes.raw.size() >= 2 && bytes.raw[0] == '\x1f' && bytes.raw[1] == '\x8b';
    if (bytes.compressed) {
        bytes.input.resize(128 * 1024);
        if (inflateInit2(&bytes.stream, 16 + MAX_WBITS) != Z_OK) {
            bytes.error = "cannot start gzip decompression";
            return false;
        }
        bytes.streamOpen = true;
    }
    const auto decoded = [&bytes](char* into, std::size_t size) { return readDecoded(bytes, into, size); };
    return readUntil(bytes.head, recognisable, decoded);
}

void closeLogBytes(LogBytes& bytes) {
    if (bytes.streamOpen) inflateEnd(&bytes.stream);
    bytes.streamOpen = false;
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
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    log.copyFd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
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

RawScanSink rawSinkFor(Stamping& stamping, const LogSink& sink) {
    RawScanSink raw;
    raw.begin = [&sink](const LogInfo& info) {
        if (sink.begin) sink.begin(info);
    };
    raw.scan = [&stamping](const RawScan& scan) { return takeRawScan(stamping, scan); };
    return raw;
}

// Reads a scan file's records; empty for a consumer of RawScans, which scan files can't give.
using ScanFileReader = std::function<bool(LogBytes& bytes, const LogInfo& info, std::string& error)>;

bool readAnyLog(const std::string& path, const LogOptions& options, const RawScanSink& raw,
                const ScanFileReader& readScans, const std::function<void()>* waiting, std::string& error);

}  // namespace

bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error) {
    Stamping stamping{path, options, sink, 0, false, LogScan{}, true, 0, false};
    const RawScanSink raw = rawSinkFor(stamping, sink);
    const ScanFileReader readScans = [&](LogBytes& bytes, const LogInfo& info, std::string& failure) {
        if (sink.begin) sink.begin(info);
        ScanInput input = scanInputFromReader(readLogBytes, &bytes, path);
        return readScanFile(input, leadingValuesAreSeconds, options, sink, failure);
    };
    const bool ok = readAnyLog(path, options, raw, readScans, &sink.waiting, error);
    releaseHeldScan(stamping);
    return ok;
}

bool readRawLog(const std::string& path, const LogOptions& options, const RawScanSink& sink, std::string& error) {
    return readAnyLog(path, options, sink, nullptr, nullptr, error);
}

namespace {

bool readAnyLog(const std::string& path, const LogOptions& options, const RawScanSink& raw,
                const ScanFileReader& readScans, const std::function<void()>* waiting, std::string& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        const bool ok = readBagFolder(path, options, raw, error);
        if (!ok && !startsWith(error, "scanlog: ")) error = "scanlog: " + error;
        return ok;
    }

    OpenLog log;
    log.path = path;
    log.file = path;
    log.bytes.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    log.bytes.waiting = waiting;
    if (log.bytes.fd < 0) {
        error = cannotOpen(path, errno);
        return false;
    }
    bool ok = readHead(log.bytes);
    if (!ok) error = "scanlog: " + path + ": " + log.bytes.error;
    const Format format = ok ? recognise(log.bytes.head) : Format::unknown;
    LogInfo info;
    info.compressed = log.bytes.compressed;
    // The readers can't see the gzip layer; what they report is told it.
    RawScanSink described = raw;
    described.begin = [&raw, &info](const LogInfo& given) {
        LogInfo told = given;
        told.compressed = info.compressed;
        if (raw.begin) raw.begin(told);
    };
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
    } else if (format == Format::scanFile && !readScans) {
        error = "scanlog: " + path + ": a scan file holds no poses and no sensor geometry; give the log it came from";
        ok = false;
    } else if (format == Format::scanFile) {
        info.format = "scan file";
        ok = readScans(log.bytes, info, error);
        preferByteError(log, ok, error);
    } else if (format == Format::carmen) {
        ByteReader bytes{readLogBytes, &log.bytes};
        ok = readCarmenLog(bytes, path, options, described, error);
        preferByteError(log, ok, error);
    } else if (format == Format::ros1Bag) {
        ok = readRos1Bag(log.file, path, options, described, error);
    } else if (format == Format::sqlite) {
        ok = readRos2Sqlite({log.file}, path, options, described, error);
    } else if (format == Format::mcap) {
        ok = readMcap({log.file}, path, options, described, error);
    }
    if (!ok && !startsWith(error, "scanlog: ") && !startsWith(error, "Error reading laser file ")) {
        error = "scanlog: " + error;
    }
    closeLog(log);
    return ok;
}

}  // namespace
