// CARMEN logs: text, one message per line, `KIND fields... ipc_timestamp ipc_hostname
// logger_timestamp`. Only laser lines are taken apart; every other line is skipped unread,
// so damage in odometry or parameters never stops a conversion.
//
// Laser line layouts (n ranges, m remissions):
//   FLASER, RLASER       KIND n r1..rn x y theta odom_x odom_y odom_theta STAMP HOST STAMP
//   LASER3, LASER4       KIND n r1..rn STAMP HOST STAMP
//   RAWLASERk            KIND type start fov resolution max_range accuracy remission_mode
//                             n r1..rn m e1..em STAMP HOST STAMP
//   ROBOTLASERk          as RAWLASERk, then laser pose (3), robot pose (3), tv rv
//                             forward_safety_dist side_safety_dist turn_axis, STAMP HOST STAMP
// The poses on laser lines are passed on for maps when they read as numbers; a scan without
// one is still a scan. Two other kinds of line matter to maps: `PARAM robot_front_laser_max
// VALUE` (and rear), the range at which FLASER/RLASER readings mean no return, and, when the
// consumer asks for poses, `ODOM x y theta tv rv accel STAMP HOST STAMP`, the robot's pose
// that RAWLASER (and LASER3, LASER4) scans are placed by.
// The field count must be exactly what the counts say: a line cut short or run together with
// the next is an error, never a scan with its time taken from the wrong field.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "format_reader.hpp"
#include "scan_reader.hpp"

namespace {

constexpr std::size_t kMaxLineLength = 1 << 20;   // bytes, line end not counted
constexpr std::size_t kFirstBufferSize = 64 * 1024;
constexpr std::uint64_t kMaxCount = 1 << 20;      // beams or remissions: more can't fit a line
constexpr double kPi = 3.141592653589793;
constexpr std::string_view kFrontLaserKinds[] = {"FLASER", "ROBOTLASER1", "RAWLASER1"};
// What the SICK scanners of FLASER/RLASER logs write for no return, when the log has no
// PARAM line that says where their range ends.
constexpr double kNoReturnCode = 81.91;
constexpr std::size_t kOdomFields = 10;  // ODOM x y theta tv rv accel STAMP HOST STAMP

// ---- lines --------------------------------------------------------------------------------

struct LineReader {
    ByteReader bytes;
    std::vector<char> buffer;
    std::size_t begin = 0;     // first byte of the current line
    std::size_t searched = 0;  // bytes before this hold no line end
    // No LF lies between `searched` and this: the next LF, or where the search for one gave
    // up. Kept so that a log whose lines end in a lone CR is not searched to the buffer's end
    // for every line.
    std::size_t lineFeedAt = 0;
    std::size_t end = 0;       // one past the last buffered byte
    bool endOfInput = false;
    int readErrno = 0;
    bool lineFeedMayFollow = false;  // the last line ended in CR at the buffer's end
    std::uint64_t lineNumber = 0;    // of the line last returned, or of the one that failed
};

enum class LineResult { line, endOfInput, tooLong, readError };

// Where the current line ends (its CR or LF), or `end` when the buffer holds no line end yet.
std::size_t findLineEnd(LineReader& r) {
    const char* data = r.buffer.data();
    if (r.lineFeedAt < r.searched) r.lineFeedAt = r.searched;
    if (r.lineFeedAt >= r.end || data[r.lineFeedAt] != '\n') {
        const void* found = std::memchr(data + r.lineFeedAt, '\n', r.end - r.lineFeedAt);
        r.lineFeedAt = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : r.end;
    }
    const void* carriageReturn = std::memchr(data + r.searched, '\r', r.lineFeedAt - r.searched);
    return carriageReturn != nullptr ? static_cast<std::size_t>(static_cast<const char*>(carriageReturn) - data)
                                     : r.lineFeedAt;
}

// Keeps the current line and reads more after it. The buffer only grows while the line in
// hand still fits the length limit, so it never exceeds twice the limit.
bool refill(LineReader& r) {
    if (r.endOfInput || r.readErrno != 0) return false;
    if (r.begin > 0) {
        std::memmove(r.buffer.data(), r.buffer.data() + r.begin, r.end - r.begin);
        r.end -= r.begin;
        r.searched -= r.begin;
        r.lineFeedAt = r.lineFeedAt > r.begin ? r.lineFeedAt - r.begin : 0;
        r.begin = 0;
    }
    if (r.end == r.buffer.size()) r.buffer.resize(r.buffer.size() * 2);
    for (;;) {
        const ssize_t got = r.bytes.read(r.bytes.context, r.buffer.data() + r.end, r.buffer.size() - r.end);
        if (got > 0) {
            r.end += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            r.endOfInput = true;
            return false;
        }
        if (errno != EINTR) {
            r.readErrno = errno != 0 ? errno : EIO;
            return false;
        }
    }
}

LineResult lineFrom(LineReader& r, std::size_t lineEnd, std::size_t next, std::string_view& line) {
    ++r.lineNumber;
    if (lineEnd - r.begin > kMaxLineLength) return LineResult::tooLong;
    line = std::string_view(r.buffer.data() + r.begin, lineEnd - r.begin);
    r.begin = r.searched = next;
    return LineResult::line;
}

// The next line without its line end: LF, CRLF or a lone CR. The last line needs none.
LineResult nextLine(LineReader& r, std::string_view& line) {
    if (r.lineFeedMayFollow) {
        if (r.begin == r.end) refill(r);
        if (r.begin < r.end && r.buffer[r.begin] == '\n') r.searched = ++r.begin;
        r.lineFeedMayFollow = false;
    }
    for (;;) {
        const char* data = r.buffer.data();
        const std::size_t p = findLineEnd(r);
        r.searched = p;
        if (p < r.end) {
            std::size_t next = p + 1;
            if (data[p] == '\r') {
                if (next == r.end) {
                    r.lineFeedMayFollow = true;
                } else if (data[next] == '\n') {
                    ++next;
                }
            }
            return lineFrom(r, p, next, line);
        }
        if (r.end - r.begin > kMaxLineLength) {
            ++r.lineNumber;
            return LineResult::tooLong;
        }
        if (!refill(r)) {
            if (r.readErrno != 0) {
                ++r.lineNumber;
                return LineResult::readError;
            }
            if (r.begin == r.end) return LineResult::endOfInput;
            return lineFrom(r, r.end, r.end, line);
        }
    }
}

// ---- fields -------------------------------------------------------------------------------

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// The end of the field that starts at `p`. Ranges are a few bytes long, and a loop over
// single bytes mispredicts at the end of every one, so eight bytes are looked at together:
// every byte up to 0x20 is flagged as a possible blank (a flag may also fall on a later
// byte, never miss one), and isBlank decides.
const char* fieldEnd(const char* p, const char* last) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    while (last - p >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, sizeof word);
        for (std::uint64_t flags = (word - 0x21 * kOnes) & ~word & kHighBits; flags != 0; flags &= flags - 1) {
            const int at = __builtin_ctzll(flags) / 8;
            if (isBlank(p[at])) return p + at;
        }
        p += 8;
    }
#endif
    while (p != last && !isBlank(*p)) ++p;
    return p;
}

std::string_view firstField(std::string_view line) {
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start])) ++start;
    std::size_t end = start;
    while (end < line.size() && !isBlank(line[end])) ++end;
    return line.substr(start, end - start);
}

void splitFields(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    const char* p = line.data();
    const char* const last = p + line.size();
    for (;;) {
        while (p != last && isBlank(*p)) ++p;
        if (p == last) return;
        const char* start = p;
        p = fieldEnd(p, last);
        fields.emplace_back(start, static_cast<std::size_t>(p - start));
    }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool parseCount(std::string_view text, std::uint64_t& count) {
    if (text.empty()) return false;
    count = 0;
    for (char c : text) {
        if (!isDigit(c)) return false;
        count = count * 10 + static_cast<unsigned>(c - '0');
        if (count > kMaxCount) return false;
    }
    return true;
}

// ---- time stamps --------------------------------------------------------------------------

bool multiplyAdd(std::uint64_t& value, unsigned digit) {
    return !__builtin_mul_overflow(value, 10u, &value) && !__builtin_add_overflow(value, digit, &value);
}

enum class StampResult { ok, notANumber, outOfRange };

// Seconds in decimal, as the C library prints them (`1771520011.719411`, `1.13486e+09`),
// turned into nanoseconds digit by digit: a double on the way would spoil the microseconds
// of today's epoch times. The grammar is the viewer's number grammar; digits below a
// nanosecond are rounded, half away from zero.
StampResult parseStampNs(std::string_view text, std::int64_t& stampNs) {
    std::size_t p = 0;
    const bool negative = p < text.size() && text[p] == '-';
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    const std::size_t wholeStart = p;
    while (p < text.size() && isDigit(text[p])) ++p;
    const std::size_t wholeEnd = p;
    std::size_t fractionStart = p, fractionEnd = p;
    if (p < text.size() && text[p] == '.') {
        fractionStart = ++p;
        while (p < text.size() && isDigit(text[p])) ++p;
        fractionEnd = p;
    }
    if (wholeEnd == wholeStart && fractionEnd == fractionStart) return StampResult::notANumber;
    std::int64_t exponent = 0;
    if (p < text.size() && (text[p] == 'e' || text[p] == 'E')) {
        ++p;
        const bool negativeExponent = p < text.size() && text[p] == '-';
        if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
        if (p == text.size() || !isDigit(text[p])) return StampResult::notANumber;
        for (; p < text.size() && isDigit(text[p]); ++p) {
            if (exponent < 10000000) exponent = exponent * 10 + (text[p] - '0');
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (p != text.size()) return StampResult::notANumber;

    // Digit i of the written digits (whole part, then fraction) is worth 10^(wholeDigits + 8
    // - i + exponent) nanoseconds; the first `kept` digits make the whole nanoseconds.
    const auto wholeDigits = static_cast<std::int64_t>(wholeEnd - wholeStart);
    const auto allDigits = wholeDigits + static_cast<std::int64_t>(fractionEnd - fractionStart);
    const std::int64_t kept = wholeDigits + 9 + exponent;
    auto digitAt = [&](std::int64_t i) {
        return static_cast<unsigned>(i < wholeDigits ? text[wholeStart + i] - '0'
                                                     : text[fractionStart + (i - wholeDigits)] - '0');
    };
    std::uint64_t value = 0;
    for (std::int64_t i = 0; i < kept && i < allDigits; ++i) {
        if (!multiplyAdd(value, digitAt(i))) return StampResult::outOfRange;
    }
    for (std::int64_t i = allDigits; i < kept && value != 0; ++i) {
        if (!multiplyAdd(value, 0)) return StampResult::outOfRange;
    }
    if (kept >= 0 && kept < allDigits && digitAt(kept) >= 5 && __builtin_add_overflow(value, 1u, &value)) {
        return StampResult::outOfRange;
    }
    if (value > static_cast<std::uint64_t>(INT64_MAX)) return StampResult::outOfRange;
    stampNs = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    return StampResult::ok;
}

// ---- laser lines --------------------------------------------------------------------------

enum class Layout { none, pose, plain, raw, robot };

bool isKindWithNumber(std::string_view kind, std::string_view stem) {
    if (kind.size() <= stem.size() || kind.substr(0, stem.size()) != stem) return false;
    for (char c : kind.substr(stem.size())) {
        if (!isDigit(c)) return false;
    }
    return true;
}

Layout layoutOf(std::string_view kind) {
    if (kind == "FLASER" || kind == "RLASER") return Layout::pose;
    if (kind == "LASER3" || kind == "LASER4") return Layout::plain;
    if (isKindWithNumber(kind, "RAWLASER")) return Layout::raw;
    if (isKindWithNumber(kind, "ROBOTLASER")) return Layout::robot;
    return Layout::none;
}

// Fields after the ranges (and remissions) and before the three closing ones.
std::size_t poseFieldsOf(Layout layout) {
    if (layout == Layout::pose) return 6;
    if (layout == Layout::robot) return 11;
    return 0;
}

bool hasSensorConfig(Layout layout) { return layout == Layout::raw || layout == Layout::robot; }

constexpr std::size_t kClosingFields = 3;  // ipc_timestamp ipc_hostname logger_timestamp
constexpr std::size_t kConfigFields = 7;   // RAWLASER/ROBOTLASER: type ... remission_mode

// The old line kinds give only the beam count; the angles follow CARMEN's own convention.
void setCountedGeometry(std::size_t beams, RawScan& scan) {
    scan.angleMin = -kPi / 2;
    if (beams == 180 || beams == 181) {
        scan.angleIncrement = kPi / 180;
    } else if (beams == 360 || beams == 361) {
        scan.angleIncrement = kPi / 360;
    } else {
        scan.angleIncrement = beams > 1 ? kPi / static_cast<double>(beams - 1) : 0;
    }
    scan.rangeMax = std::numeric_limits<double>::infinity();
    scan.rangeMaxIsNoReturn = false;
}

std::string quoted(std::string_view token) { return "\"" + printableToken(token) + "\""; }

bool parseField(std::string_view kind, const char* name, std::string_view token, double& value, std::string& what) {
    if (parseNumber(token.data(), token.data() + token.size(), value)) return true;
    what = std::string(kind) + " " + name + " is not a number: " + quoted(token);
    return false;
}

bool parseCountField(std::string_view kind, const char* name, std::string_view token, std::uint64_t& count,
                     std::string& what) {
    if (parseCount(token, count)) return true;
    what = std::string(kind) + " " + name + " " + quoted(token) + " is not a whole number from 0 to " +
           std::to_string(kMaxCount);
    return false;
}

std::string fieldCountMismatch(std::string_view kind, std::uint64_t beams, const std::string& remissions,
                               const char* atLeast, std::size_t needed, std::size_t has) {
    return std::string(kind) + " line with " + std::to_string(beams) + " ranges" + remissions + " needs " + atLeast +
           std::to_string(needed) + " fields, but it has " + std::to_string(has);
}

bool parseSensorConfig(std::string_view kind, const std::vector<std::string_view>& fields, RawScan& scan,
                       std::string& what) {
    double maximumRange = 0;
    if (!parseField(kind, "start_angle", fields[2], scan.angleMin, what) ||
        !parseField(kind, "angular_resolution", fields[4], scan.angleIncrement, what) ||
        !parseField(kind, "maximum_range", fields[5], maximumRange, what)) {
        return false;
    }
    scan.rangeMax = maximumRange;
    scan.rangeMaxIsNoReturn = true;
    return true;
}

bool parseStampField(std::string_view kind, std::string_view token, RawScan& scan, std::string& what) {
    switch (parseStampNs(token, scan.stampNs)) {
        case StampResult::ok: return true;
        case StampResult::notANumber:
            what = std::string(kind) + " ipc_timestamp is not a number: " + quoted(token);
            return false;
        case StampResult::outOfRange:
            what = std::string(kind) + " ipc_timestamp " + quoted(token) +
                   " is out of range (more than 9223372036 seconds from 1970)";
            return false;
    }
    return false;
}

// The laser's pose: first of the pose fields on FLASER/RLASER (corrected logs correct it) and
// on ROBOTLASER lines. Left unset when it does not read as numbers.
void takeLaserPose(Layout layout, const std::vector<std::string_view>& fields, std::size_t at, RawScan& scan) {
    scan.hasPose = false;
    if (layout != Layout::pose && layout != Layout::robot) return;
    double values[3];
    for (int k = 0; k < 3; ++k) {
        const std::string_view token = fields[at + k];
        if (!parseNumber(token.data(), token.data() + token.size(), values[k])) return;
    }
    scan.pose = Pose2D{values[0], values[1], values[2]};
    scan.hasPose = true;
}

// Fills `scan` from the fields of one laser line; false with `what` saying what is wrong.
bool parseLaserLine(Layout layout, const std::vector<std::string_view>& fields, RawScan& scan, std::string& what) {
    const std::string_view kind = fields[0];
    const std::size_t countAt = hasSensorConfig(layout) ? 1 + kConfigFields : 1;
    if (fields.size() <= countAt) {
        what = std::string(kind) + " line ends before its beam count";
        return false;
    }
    std::uint64_t beams = 0;
    if (!parseCountField(kind, "beam count", fields[countAt], beams, what)) return false;
    const std::size_t firstRange = countAt + 1;
    std::size_t afterRanges = firstRange + beams;
    std::uint64_t remissions = 0;
    if (hasSensorConfig(layout)) {
        if (fields.size() <= afterRanges) {
            const std::size_t least = afterRanges + 1 + poseFieldsOf(layout) + kClosingFields;
            what = fieldCountMismatch(kind, beams, "", "at least ", least, fields.size());
            return false;
        }
        if (!parseCountField(kind, "remission count", fields[afterRanges], remissions, what)) return false;
        afterRanges += 1 + remissions;
    }
    const std::size_t needed = afterRanges + poseFieldsOf(layout) + kClosingFields;
    if (fields.size() != needed) {
        const std::string remissionText =
            hasSensorConfig(layout) ? " and " + std::to_string(remissions) + " remissions" : "";
        what = fieldCountMismatch(kind, beams, remissionText, "", needed, fields.size());
        return false;
    }
    if (hasSensorConfig(layout)) {
        if (!parseSensorConfig(kind, fields, scan, what)) return false;
    } else {
        setCountedGeometry(beams, scan);
    }
    scan.rangeMin = 0;
    scan.ranges.resize(beams);
    for (std::size_t i = 0; i < beams; ++i) {
        const std::string_view token = fields[firstRange + i];
        if (!parseNumber(token.data(), token.data() + token.size(), scan.ranges[i])) {
            what = std::string(kind) + " range " + std::to_string(i + 1) + " of " + std::to_string(beams) +
                   " is not a number: " + quoted(token);
            return false;
        }
    }
    takeLaserPose(layout, fields, afterRanges, scan);
    return parseStampField(kind, fields[needed - kClosingFields], scan, what);
}

// ---- the log ------------------------------------------------------------------------------

struct CarmenReading {
    const std::string& path;
    const RawScanSink& sink;
    std::string kind;  // the line kind taken; empty until the first front-laser line
    bool begun = false;
    double frontLaserMax = kNoReturnCode;  // from PARAM lines, when the log has them
    double rearLaserMax = kNoReturnCode;
};

// PARAM lines are settings, not scans: one that does not read is passed over.
void takeParameter(CarmenReading& reading, std::string_view line, std::vector<std::string_view>& fields) {
    splitFields(line, fields);
    if (fields.size() < 3) return;
    double* setting = fields[1] == "robot_front_laser_max" ? &reading.frontLaserMax
                      : fields[1] == "robot_rear_laser_max" ? &reading.rearLaserMax
                                                            : nullptr;
    double value = 0;
    if (setting != nullptr && parseNumber(fields[2].data(), fields[2].data() + fields[2].size(), value) && value > 0) {
        *setting = value;
    }
}

// Odometry is wanted only when the scans to come take their pose from it: the kind taken
// has no pose of its own (RAWLASER, LASER3, LASER4), or is not known yet.
bool wantsOdometry(const CarmenReading& reading) {
    if (!reading.sink.pose) return false;
    const Layout layout = layoutOf(reading.kind);
    return reading.kind.empty() || layout == Layout::raw || layout == Layout::plain;
}

bool parseOdometry(const std::vector<std::string_view>& fields, PoseSample& sample, std::string& what) {
    if (fields.size() != kOdomFields) {
        what = "ODOM line needs " + std::to_string(kOdomFields) + " fields, but it has " + std::to_string(fields.size());
        return false;
    }
    RawScan stamped;
    if (!parseField("ODOM", "x", fields[1], sample.pose.x, what) ||
        !parseField("ODOM", "y", fields[2], sample.pose.y, what) ||
        !parseField("ODOM", "theta", fields[3], sample.pose.yaw, what) ||
        !parseStampField("ODOM", fields[7], stamped, what)) {
        return false;
    }
    sample.stampNs = stamped.stampNs;
    sample.topic = "ODOM";
    return true;
}

std::string defaultTopic() {
    std::string topic;
    for (std::string_view kind : kFrontLaserKinds) topic += std::string(topic.empty() ? "" : ", ") + std::string(kind);
    return topic;
}

void beginOnce(CarmenReading& reading) {
    if (reading.begun) return;
    reading.begun = true;
    LogInfo info;
    info.format = LogFormat::carmen;
    info.topic = reading.kind.empty() ? defaultTopic() : reading.kind;
    if (reading.sink.begin) reading.sink.begin(info);
}

bool fail(CarmenReading& reading, std::uint64_t line, const std::string& what, std::string& error) {
    beginOnce(reading);
    error = reading.path + ": line " + std::to_string(line) + ": " + what;
    return false;
}

// A control byte (a NUL, say) has no place in a text log: in a line of any kind, even one not
// read, it shows damage that may have joined a laser line to it. Tabs, form feeds and the
// carriage return of a CRLF line end are blanks.
const char* controlByteIn(std::string_view line) {
    for (const char& c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !isBlank(c) && c != '\r') || byte == 0x7f) return &c;
    }
    return nullptr;
}

// Without --laser, the first front-laser line decides the kind for the whole log: CARMEN
// loggers often write the same scans twice, as RAWLASER1 and as ROBOTLASER1.
bool takesLine(CarmenReading& reading, std::string_view kind) {
    if (!reading.kind.empty()) return kind == reading.kind;
    for (std::string_view front : kFrontLaserKinds) {
        if (kind == front) {
            reading.kind = std::string(kind);
            return true;
        }
    }
    return false;
}

}  // namespace

bool readCarmenLog(const ByteReader& bytes, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                   std::string& error) {
    CarmenReading reading{path, sink, options.laser, false, kNoReturnCode, kNoReturnCode};
    if (!options.laser.empty() && layoutOf(options.laser) == Layout::none) {
        beginOnce(reading);
        error = path + ": --laser " + quoted(options.laser) +
                " is not a laser line kind (FLASER, RLASER, LASER3, LASER4, RAWLASERn or ROBOTLASERn)";
        return false;
    }

    LineReader reader;
    reader.bytes = bytes;
    reader.buffer.resize(kFirstBufferSize);
    std::vector<std::string_view> fields;
    RawScan scan;
    std::string what;
    for (;;) {
        std::string_view line;
        switch (nextLine(reader, line)) {
            case LineResult::endOfInput: beginOnce(reading); return true;
            case LineResult::tooLong:
                return fail(reading, reader.lineNumber,
                            "the line is longer than " + std::to_string(kMaxLineLength) + " bytes", error);
            case LineResult::readError:
                return fail(reading, reader.lineNumber, std::string("cannot read: ") + std::strerror(reader.readErrno),
                            error);
            case LineResult::line: break;
        }
        if (const char* control = controlByteIn(line)) {
            return fail(reading, reader.lineNumber,
                        "a control byte in the line (" + printableName(std::string_view(control, 1)) + ")", error);
        }
        const std::string_view kind = firstField(line);
        if (kind == "PARAM") {
            takeParameter(reading, line, fields);
            continue;
        }
        if (kind == "ODOM" && wantsOdometry(reading)) {
            splitFields(line, fields);
            PoseSample sample;
            if (!parseOdometry(fields, sample, what)) return fail(reading, reader.lineNumber, what, error);
            if (!sink.pose(sample)) return true;
            continue;
        }
        if (!takesLine(reading, kind)) continue;
        beginOnce(reading);
        splitFields(line, fields);
        const Layout layout = layoutOf(kind);
        if (!parseLaserLine(layout, fields, scan, what)) return fail(reading, reader.lineNumber, what, error);
        scan.noReturnFrom = layout != Layout::pose ? std::numeric_limits<double>::infinity()
                            : kind == "RLASER"      ? reading.rearLaserMax
                                                    : reading.frontLaserMax;
        if (!sink.scan(scan)) return true;
    }
}
