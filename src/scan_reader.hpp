// Reading scan records from a log and echoing them to standard output.
//
// A log is a flat sequence of whitespace-separated numbers, 362 per record: the leading
// value, then 361 range readings in centimetres. The reader works on a file descriptor with
// its own buffer (or on text already in memory, for tests), so that it is fast, never waits
// for more input than the record in hand needs, and keeps memory bounded whatever the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

constexpr int kReadingCount = 361;
constexpr int kNumbersPerRecord = kReadingCount + 1;

// A token longer than this is reported as a bad number instead of being buffered whole.
constexpr std::size_t kMaxTokenLength = 4096;

struct ScanRecord {
    double leadingValue = 0;
    std::array<double, kReadingCount> readings{};  // centimetres, index 0 at -90 degrees
};

// A source of bytes other than a descriptor (a decompressor, say): `read` fills up to `size`
// bytes and returns the count, 0 at the end, -1 with errno set on an error. The one byte-source
// shape shared by the viewer's reader and scanlog's text readers.
struct ByteReader {
    ssize_t (*read)(void* context, char* into, std::size_t size) = nullptr;
    void* context = nullptr;
};

struct ScanInput {
    std::string name;  // the path as the user gave it, for messages
    int fd = -1;       // -1: the whole input is already in the buffer, or comes from `bytes`
    ByteReader bytes;  // when its read is set, bytes come from there instead of a descriptor
    std::vector<char> buffer;
    std::uint64_t bufferOffset = 0;  // position in the input of buffer[0]
    std::size_t begin = 0;  // first unread byte
    std::size_t end = 0;    // one past the last buffered byte
    bool endOfInput = false;
    int readErrno = 0;
    std::uint64_t line = 1;         // line of the byte at `begin`
    std::uint64_t recordsRead = 0;  // complete records handed out so far
    // Called whenever the next read would block (a pipe with nothing ready), and then again
    // every few tens of milliseconds until input arrives, so that a window stays painted.
    void (*whileWaiting)() = nullptr;
    std::string error;  // the one-line message when readScanRecord fails
};

enum class ReadResult { record, endOfInput, failed };

// Opens `path` for reading; false with errno set when it can't be opened.
bool openScanInput(ScanInput& input, const std::string& path);
// Reads from an already open descriptor, such as one end of a pipe.
ScanInput scanInputFromDescriptor(int fd, const std::string& name);
// Reads through `bytes`.
ScanInput scanInputFromReader(const ByteReader& bytes, const std::string& name);
void closeScanInput(ScanInput& input);
// Position in the input of the next unread byte: after readScanRecord, where the next record
// (or the whitespace before it) starts.
std::uint64_t scanInputPosition(const ScanInput& input);
// An input that reads `text` as if it were the whole file called `name`.
ScanInput scanInputFromText(std::string_view text, const std::string& name);

// Reads the next complete record. endOfInput when only whitespace is left; failed (with
// input.error set) on a damaged or unreadable log, in which case `record` may hold part of
// the damaged record and must not be used.
ReadResult readScanRecord(ScanInput& input, ScanRecord& record);

// Whole-token number parsing, exactly as a classic-locale stream extraction of a double
// that must consume the token entirely. False for anything else, including overflow.
bool parseNumber(const char* first, const char* last, double& value);

// Writes `value` as a default-formatted stream does (general notation, six significant
// digits). `out` needs room for 16 bytes; returns one past the last byte written.
char* formatNumber(double value, char* out);

// Appends the record's two-line echo: the leading value, then every reading followed by a
// blank.
void appendEcho(const ScanRecord& record, std::string& out);

// Writes all of `data` to `fd`, riding out partial writes and interruptions. False with
// errno set when the descriptor refuses it.
bool writeAll(int fd, std::string_view data);

// Writes all of `data` to `fd` as writeAll does, but while the descriptor can take nothing
// more (a pipe whose reader has paused), `whileWaiting` gets its turn first and then every few
// tens of milliseconds, so that a window stays painted. The bytes and their order are the
// same; the descriptor itself is left in blocking mode, as it may be shared with others.
bool writeAllWaiting(int fd, std::string_view data, void (*whileWaiting)());

// A token made safe for a terminal: printable ASCII as is, except the backslash and the
// double quote, every other byte as \xHH, and cut to its first 32 bytes followed by "..."
// when longer.
std::string printableToken(std::string_view token);
// A file name made safe for a one-line message: control bytes (0x00 to 0x1f and 0x7f) as
// \xHH, every other byte exactly as given (blanks and UTF-8 included), so that an ordinary
// name reads as the user typed it.
std::string printableName(std::string_view name);
// Text from inside a log (a topic, an encoding) made safe for a one-line message: printable
// ASCII as is, every other byte as \xHH, and cut to its first `limit` bytes followed by "..."
// when longer.
std::string printableText(std::string_view text, std::size_t limit);
