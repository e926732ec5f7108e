#include "scan_reader.hpp"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr int kWaitSliceMs = 25;

bool isSpace(unsigned char c) { return c == ' ' || static_cast<unsigned char>(c - '\t') < 5; }
bool isDigit(unsigned char c) { return static_cast<unsigned char>(c - '0') < 10; }

// ---- byte input -------------------------------------------------------------------------

// Blocks until the descriptor has something to read, giving the waiting callback its turn
// first and then every few tens of milliseconds.
void waitUntilReadable(ScanInput& input) {
    if (input.whileWaiting == nullptr || input.fd < 0) return;
    pollfd pending{input.fd, POLLIN, 0};
    if (poll(&pending, 1, 0) != 0) return;
    do {
        input.whileWaiting();
    } while (poll(&pending, 1, kWaitSliceMs) == 0);
}

// The same for writing: blocks until `fd` can take more.
void waitUntilWritable(int fd, void (*whileWaiting)()) {
    if (whileWaiting == nullptr) return;
    pollfd pending{fd, POLLOUT, 0};
    if (poll(&pending, 1, 0) != 0) return;
    do {
        whileWaiting();
    } while (poll(&pending, 1, kWaitSliceMs) == 0);
}

// Moves the unread bytes to the front and reads whatever is ready after them. False at end
// of input or on a read error (readErrno set).
bool refill(ScanInput& input) {
    if (input.endOfInput || input.readErrno != 0) return false;
    if (input.fd < 0 && input.bytes.read == nullptr) {
        input.endOfInput = true;
        return false;
    }
    if (input.begin > 0) {
        std::memmove(input.buffer.data(), input.buffer.data() + input.begin, input.end - input.begin);
        input.end -= input.begin;
        input.bufferOffset += input.begin;
        input.begin = 0;
    }
    for (;;) {
        waitUntilReadable(input);
        char* into = input.buffer.data() + input.end;
        const std::size_t room = input.buffer.size() - input.end;
        const ssize_t got = input.bytes.read != nullptr ? input.bytes.read(input.bytes.context, into, room)
                                                       : read(input.fd, into, room);
        if (got > 0) {
            input.end += static_cast<std::size_t>(got);
            return true;
        }
        if (got == 0) {
            input.endOfInput = true;
            return false;
        }
        if (errno != EINTR) {
            input.readErrno = errno;
            return false;
        }
    }
}

// Skips whitespace, counting lines. A line ends with LF, CR LF or a CR alone (old Mac files),
// so a CR is counted where it stands and the LF right after it is not. False when the input
// ends (or fails) first.
bool skipWhitespace(ScanInput& input) {
    bool afterCarriageReturn = false;  // whitespace runs never start after a CR: a token precedes
    for (;;) {
        const char* bytes = input.buffer.data();
        while (input.begin < input.end) {
            const auto c = static_cast<unsigned char>(bytes[input.begin]);
            if (!isSpace(c)) return true;
            input.line += c == '\r' || (c == '\n' && !afterCarriageReturn);
            afterCarriageReturn = c == '\r';
            ++input.begin;
        }
        if (!refill(input)) return false;
    }
}

enum class TokenResult { ok, tooLong, readError };

// Takes the token that starts at input.begin. It is complete only once the byte after it is
// whitespace or the input has ended, so a number cut by a pipe's buffering is never misread.
TokenResult takeToken(ScanInput& input, std::string_view& token) {
    std::size_t length = 0;
    for (;;) {
        const char* start = input.buffer.data() + input.begin;
        const std::size_t available = input.end - input.begin;
        while (length < available && !isSpace(static_cast<unsigned char>(start[length]))) ++length;
        if (length < available || length > kMaxTokenLength || !refill(input)) break;
    }
    token = std::string_view(input.buffer.data() + input.begin, length);
    if (input.readErrno != 0) return TokenResult::readError;
    if (length > kMaxTokenLength) return TokenResult::tooLong;
    input.begin += length;
    return TokenResult::ok;
}

// ---- messages ---------------------------------------------------------------------------

// Appends `c` as itself when `asIs`, otherwise as \xHH.
void appendShown(std::string& shown, unsigned char c, bool asIs) {
    static const char hex[] = "0123456789abcdef";
    if (asIs) {
        shown += static_cast<char>(c);
        return;
    }
    shown += "\\x";
    shown += hex[c >> 4];
    shown += hex[c & 0xf];
}

ReadResult fail(ScanInput& input, const std::string& detail) {
    input.error = "Error reading laser file " + printableName(input.name) + ": " + detail;
    return ReadResult::failed;
}

ReadResult failReading(ScanInput& input) { return fail(input, std::strerror(input.readErrno)); }

ReadResult failCutShort(ScanInput& input, int numbersRead) {
    return fail(input, "record " + std::to_string(input.recordsRead + 1) + " ends after " +
                           std::to_string(numbersRead) + " of " + std::to_string(kNumbersPerRecord) +
                           " numbers");
}

ReadResult failBadNumber(ScanInput& input, std::string_view token, std::uint64_t line) {
    return fail(input, "bad number \"" + printableToken(token) + "\" at line " + std::to_string(line) +
                           " (record " + std::to_string(input.recordsRead + 1) + ")");
}

// ---- numbers ----------------------------------------------------------------------------

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The C library's conversion in the classic locale, as the stream uses it, for the rare
// tokens that the exact fast path can't take. The locale is fixed here because a window
// toolkit may switch the process locale to one with a decimal comma.
bool parseWithCLibrary(const char* first, const char* last, double& value) {
    static const locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const std::string text(first, last);
    value = strtod_l(text.c_str(), nullptr, classic);
    return std::isfinite(value);
}

}  // namespace

// ---- public -----------------------------------------------------------------------------

bool parseNumber(const char* first, const char* last, double& value) {
    const char* p = first;
    const bool negative = p != last && *p == '-';
    if (p != last && (*p == '+' || *p == '-')) ++p;

    // Grammar: digits [. digits] | . digits, then an optional exponent with at least one digit.
    // Up to 19 significant digits are gathered exactly; more send the token to the slow path.
    std::uint64_t mantissa = 0;
    int significant = 0;
    int exponent = 0;
    bool anyDigit = false;
    bool exact = true;
    for (; p != last && isDigit(*p); ++p) {
        anyDigit = true;
        if (significant < 19) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
            significant += mantissa != 0;
        } else {
            exact = false;
        }
    }
    if (p != last && *p == '.') {
        for (++p; p != last && isDigit(*p); ++p) {
            anyDigit = true;
            if (significant < 19) {
                mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
                significant += mantissa != 0;
                --exponent;
            } else {
                exact = false;
            }
        }
    }
    if (!anyDigit) return false;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p != last && *p == '-';
        if (p != last && (*p == '+' || *p == '-')) ++p;
        if (p == last || !isDigit(*p)) return false;
        int written = 0;
        for (; p != last && isDigit(*p); ++p) {
            if (written < 100000) written = written * 10 + (*p - '0');
        }
        if (written >= 100000) exact = false;
        exponent += negativeExponent ? -written : written;
    }
    if (p != last) return false;

    // Both the mantissa and the power of ten are exact doubles here, so one multiplication or
    // division rounds correctly, just as the C library would.
    if (exact && mantissa <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
        double magnitude = static_cast<double>(mantissa);
        magnitude = exponent < 0 ? magnitude / kPowersOfTen[-exponent] : magnitude * kPowersOfTen[exponent];
        value = negative ? -magnitude : magnitude;
        return true;
    }
    if (exact && mantissa == 0) {
        value = negative ? -0.0 : 0.0;
        return true;
    }
    return parseWithCLibrary(first, last, value);
}

char* formatNumber(double value, char* out) {
    const double magnitude = std::fabs(value);
    // Whole numbers below a million print as plain integers; that is nearly every reading.
    if (magnitude < 1e6 && magnitude == static_cast<double>(static_cast<std::int64_t>(magnitude))) {
        if (std::signbit(value)) *out++ = '-';
        return std::to_chars(out, out + 8, static_cast<std::int32_t>(magnitude)).ptr;
    }
    return std::to_chars(out, out + 16, value, std::chars_format::general, 6).ptr;
}

void appendEcho(const ScanRecord& record, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + 16 * (kNumbersPerRecord + 1));
    char* p = out.data() + start;
    p = formatNumber(record.leadingValue, p);
    *p++ = '\n';
    for (double reading : record.readings) {
        p = formatNumber(reading, p);
        *p++ = ' ';
    }
    *p++ = '\n';
    out.resize(static_cast<std::size_t>(p - out.data()));
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool writeAllWaiting(int fd, std::string_view data, void (*whileWaiting)()) {
    // Once poll has reported room, a pipe takes a piece of PIPE_BUF bytes without blocking, so
    // the window gets its turn again before the next piece however slowly the reader reads.
    while (!data.empty()) {
        waitUntilWritable(fd, whileWaiting);
        const std::string_view piece = data.substr(0, PIPE_BUF);
        if (!writeAll(fd, piece)) return false;
        data.remove_prefix(piece.size());
    }
    return true;
}

std::string printableToken(std::string_view token) {
    constexpr std::size_t kShown = 32;
    std::string shown;
    for (std::size_t i = 0; i < token.size() && i < kShown; ++i) {
        // The quote ends the token in the message and the backslash starts an escape, so both
        // are escaped too: the token \x00 and a NUL byte must not read alike.
        const auto c = static_cast<unsigned char>(token[i]);
        appendShown(shown, c, c >= 0x21 && c <= 0x7e && c != '\\' && c != '"');
    }
    if (token.size() > kShown) shown += "...";
    return shown;
}

std::string printableName(std::string_view name) {
    std::string shown;
    for (const char byte : name) {
        const auto c = static_cast<unsigned char>(byte);
        appendShown(shown, c, c >= 0x20 && c != 0x7f);
    }
    return shown;
}

std::string printableText(std::string_view text, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        appendShown(shown, c, c >= 0x20 && c < 0x7f);
    }
    if (text.size() > limit) shown += "...";
    return shown;
}

bool openScanInput(ScanInput& input, const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    input = scanInputFromDescriptor(fd, path);
    return true;
}

ScanInput scanInputFromDescriptor(int fd, const std::string& name) {
    ScanInput input;
    input.name = name;
    input.fd = fd;
    input.buffer.resize(kBufferSize);
    return input;
}

ScanInput scanInputFromReader(const ByteReader& bytes, const std::string& name) {
    ScanInput input = scanInputFromDescriptor(-1, name);
    input.bytes = bytes;
    return input;
}

std::uint64_t scanInputPosition(const ScanInput& input) { return input.bufferOffset + input.begin; }

void closeScanInput(ScanInput& input) {
    if (input.fd >= 0) close(input.fd);
    input.fd = -1;
}

ScanInput scanInputFromText(std::string_view text, const std::string& name) {
    ScanInput input;
    input.name = name;
    input.buffer.assign(text.begin(), text.end());
    input.end = input.buffer.size();
    return input;
}

ReadResult readScanRecord(ScanInput& input, ScanRecord& record) {
    for (int index = 0; index < kNumbersPerRecord; ++index) {
        if (!skipWhitespace(input)) {
            if (input.readErrno != 0) return failReading(input);
            if (index == 0) return ReadResult::endOfInput;
            return failCutShort(input, index);
        }
        const std::uint64_t tokenLine = input.line;
        std::string_view token;
        switch (takeToken(input, token)) {
            case TokenResult::readError: return failReading(input);
            case TokenResult::tooLong: return failBadNumber(input, token, tokenLine);
            case TokenResult::ok: break;
        }
        double& field = index == 0 ? record.leadingValue : record.readings[index - 1];
        if (!parseNumber(token.data(), token.data() + token.size(), field)) {
            return failBadNumber(input, token, tokenLine);
        }
    }
    ++input.recordsRead;
    return ReadResult::record;
}
