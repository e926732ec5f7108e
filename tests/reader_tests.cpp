// The reader and the echo, on in-memory input and real pipes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <locale>
#include <random>
#include <thread>
#include <unistd.h>

#include "scan_reader.hpp"
#include "test_support.hpp"

namespace {

struct Outcome {
    std::string echo;
    ReadResult last;
    std::string error;
};

// Hands out one byte per read, so that every CR LF pair is split between two reads.
ssize_t oneByteAtATime(void* context, char* into, std::size_t) {
    std::string_view& rest = *static_cast<std::string_view*>(context);
    if (rest.empty()) return 0;
    *into = rest.front();
    rest.remove_prefix(1);
    return 1;
}

// Reads every record of `text` the way the scan loop does, collecting the echo; from memory,
// or when `byteByByte`, through a reader that hands out one byte at a time.
Outcome readAll(const std::string& text, bool byteByByte = false) {
    std::string_view rest = text;
    ScanInput input = byteByByte ? scanInputFromReader(ByteReader{oneByteAtATime, &rest}, "log.scans")
                                 : scanInputFromText(text, "log.scans");
    ScanRecord record;
    Outcome outcome;
    while ((outcome.last = readScanRecord(input, record)) == ReadResult::record) appendEcho(record, outcome.echo);
    outcome.error = input.error;
    return outcome;
}

std::vector<std::string> tokensOf(const std::vector<double>& numbers) {
    std::vector<std::string> tokens;
    for (double n : numbers) {
        std::ostringstream out;
        out.precision(17);
        out << n;
        tokens.push_back(out.str());
    }
    return tokens;
}

// The oracle: a classic-locale stream accepts the token when it extracts a double and
// consumes every byte of it.
bool streamAccepts(const std::string& token, double& value) {
    std::istringstream in(token);
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail() && in.peek() == std::char_traits<char>::eof();
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ParseNumber, AcceptsExactlyWhatTheStreamAccepts) {
    struct Case {
        std::string token;
        bool accepted;
        double value;
    };
    const Case cases[] = {
        {"512", true, 512},
        {"+12.5", true, 12.5},
        {"1.5E+03", true, 1500},
        {".5", true, 0.5},
        {"5.", true, 5},
        {"00012", true, 12},
        {"-0", true, -0.0},
        {"1e-400", true, 0},
        {"1e-310", true, 1e-310},
        {"1.7976931348623157e308", true, 1.7976931348623157e308},
        {"5.e3", true, 5000},
        {"0e99999999", true, 0},
        {"123456789012345678901234567890", true, 123456789012345678901234567890.0},
        {"0.1", true, 0.1},
        {"8191", true, 8191},
        {"abc", false, 0},
        {"12abc", false, 0},
        {"1.5.3", false, 0},
        {"0x10", false, 0},
        {"1,5", false, 0},
        {"inf", false, 0},
        {"nan", false, 0},
        {"1e400", false, 0},
        {"-1e400", false, 0},
        {"-", false, 0},
        {".", false, 0},
        {"1e", false, 0},
        {"1e+", false, 0},
        {"e5", false, 0},
        {".e5", false, 0},
        {"--1", false, 0},
        {std::string("1\0", 2), false, 0},
        {"1\x01", false, 0},
        {"\xc2\xb5", false, 0},
    };
    for (const Case& c : cases) {
        double value = 0;
        const bool accepted = parseNumber(c.token.data(), c.token.data() + c.token.size(), value);
        EXPECT_EQ(accepted, c.accepted) << c.token;
        if (c.accepted && accepted) {
            EXPECT_TRUE(sameBits(value, c.value)) << c.token << " gave " << value;
        }
        double oracle = 0;
        EXPECT_EQ(streamAccepts(c.token, oracle), c.accepted) << "oracle disagrees on " << c.token;
    }
}

TEST(ParseNumber, AgreesWithTheStreamOnRandomTokens) {
    std::mt19937_64 random(12345);
    const std::string alphabet = "0123456789000+-..eE ex,a\x01";
    auto check = [](const std::string& token) {
        double expected = 0, value = 0;
        const bool accepted = streamAccepts(token, expected);
        ASSERT_EQ(parseNumber(token.data(), token.data() + token.size(), value), accepted) << token;
        if (accepted) {
            ASSERT_TRUE(sameBits(value, expected)) << token << ": " << value << " vs " << expected;
        }
    };
    for (int n = 0; n < 5000; ++n) {
        std::string token(1 + random() % 12, ' ');
        for (char& c : token) c = alphabet[random() % alphabet.size()];
        if (token.find(' ') == std::string::npos) check(token);
    }
    const char* formats[] = {"%g", "%.17g", "%.3f", "%e", "%.25e", "%.0f", "%.20f"};
    for (int n = 0; n < 5000; ++n) {
        const double magnitude = std::pow(10.0, static_cast<int>(random() % 60) - 30);
        const double value = std::uniform_real_distribution<double>(-1, 1)(random) * magnitude;
        char text[128];
        std::snprintf(text, sizeof text, formats[random() % 7], value);
        check(text);
    }
}

TEST(FormatNumber, WritesWhatADefaultStreamWrites) {
    std::vector<double> values = {0.0,    -0.0,       512,       12.5,     0.1,      7.25e6,  1e-5,  999999,
                                  1e6,    999999.5,   123456.7,  -8191,    1e-310,   1e300,   -1e300, 0.0001,
                                  0.00001, 123.456789, 1.7976931348623157e308, 4.9e-324, 2147483648.0};
    std::mt19937_64 random(7);
    for (int n = 0; n < 20000; ++n) {
        const double magnitude = std::pow(10.0, static_cast<int>(random() % 40) - 20);
        values.push_back(std::uniform_real_distribution<double>(-1, 1)(random) * magnitude);
        values.push_back(std::round(values.back()));
    }
    for (double v : values) {
        std::ostringstream expected;
        expected << v;
        char text[32];
        ASSERT_EQ(std::string(text, formatNumber(v, text)), expected.str()) << v;
    }
}

// Seven numbers to a line with a blank line now and then, so records start mid-line.
std::string spanningLines(const std::vector<std::string>& tokens) {
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i) text += tokens[i] + (i % 50 == 49 ? "\n\n" : i % 7 == 6 ? "\n" : " ");
    return text;
}

TEST(ReadScanRecord, EveryLayoutReadsAlike) {
    std::vector<double> numbers = sampleRecord(1, 100);
    const std::vector<double> second = sampleRecord(2.5, -7.25);
    numbers.insert(numbers.end(), second.begin(), second.end());
    const std::vector<std::string> tokens = tokensOf(numbers);
    const std::vector<std::string> firstRecord(tokens.begin(), tokens.begin() + kNumbersPerRecord);
    const std::vector<std::string> secondRecord(tokens.begin() + kNumbersPerRecord, tokens.end());

    struct Layout {
        const char* name;
        std::string text;
    };
    const Layout layouts[] = {
        {"one line per record", joined(firstRecord, " ") + "\n" + joined(secondRecord, " ") + "\n"},
        {"no final line end", joined(firstRecord, " ") + "\n" + joined(secondRecord, " ")},
        {"one number per line", joined(tokens, "\n") + "\n"},
        {"records spanning lines", spanningLines(tokens)},
        {"CRLF", joined(firstRecord, " ") + "\r\n" + joined(secondRecord, " ") + "\r\n"},
        {"tabs and blank lines", "\n\t " + joined(tokens, "\t") + "\t\n\n  \f\v"},
        {"two records on one line", joined(tokens, "  ")},
    };
    for (const Layout& layout : layouts) {
        const Outcome outcome = readAll(layout.text);
        EXPECT_EQ(outcome.last, ReadResult::endOfInput) << layout.name << ": " << outcome.error;
        EXPECT_EQ(outcome.echo, streamEcho(numbers)) << layout.name;
    }
}

TEST(ReadScanRecord, EmptyOrBlankInputHasNoRecord) {
    for (const char* text : {"", "\n", "  \t\r\n\n  "}) {
        const Outcome outcome = readAll(text);
        EXPECT_EQ(outcome.last, ReadResult::endOfInput) << '"' << text << '"';
        EXPECT_EQ(outcome.echo, "");
    }
}

TEST(ReadScanRecord, DamagedLogsStopWithOneMessageAfterTheLastCompleteRecord) {
    const std::vector<std::string> good = tokensOf(sampleRecord(1, 100));
    const std::string goodText = joined(good, " ") + "\n";
    const std::string goodEcho = streamEcho(sampleRecord(1, 100));
    std::vector<std::string> withBadToken = good;
    withBadToken[200] = "12abc";
    std::vector<std::string> withControlBytes = good;
    withControlBytes[5] = "\x1b[31m\x7f\xff";

    struct Case {
        const char* name;
        std::string text;
        std::string echo;
        std::string error;
    };
    const std::string prefix = "Error reading laser file log.scans: ";
    const Case cases[] = {
        {"cut after the leading value", goodText + "7\n", goodEcho, prefix + "record 2 ends after 1 of 362 numbers"},
        {"cut inside the first record", "1 2 3", "", prefix + "record 1 ends after 3 of 362 numbers"},
        {"cut one short", joined(std::vector<std::string>(good.begin(), good.end() - 1), " "), "",
         prefix + "record 1 ends after 361 of 362 numbers"},
        {"bad token in the second record", goodText + joined(withBadToken, "\n"), goodEcho,
         prefix + "bad number \"12abc\" at line 202 (record 2)"},
        {"control bytes shown escaped", joined(withControlBytes, " "), "",
         prefix + "bad number \"\\x1b[31m\\x7f\\xff\" at line 1 (record 1)"},
        {"long token cut to 32 bytes", "1\n\n" + std::string(40, 'x'), "",
         prefix + "bad number \"" + std::string(32, 'x') + "...\" at line 3 (record 1)"},
        {"token over the size limit", "5 " + std::string(kMaxTokenLength + 10, '7'), "",
         prefix + "bad number \"" + std::string(32, '7') + "...\" at line 1 (record 1)"},
        {"overflow", "1e400", "", prefix + "bad number \"1e400\" at line 1 (record 1)"},
        {"NUL byte", std::string("1 2\0 3", 6), "", prefix + "bad number \"2\\x00\" at line 1 (record 1)"},
        {"quote and backslash escaped", "1 \\x00\"", "", prefix + "bad number \"\\x5cx00\\x22\" at line 1 (record 1)"},
        {"a lone CR ends a line", "1\r2\rx", "", prefix + "bad number \"x\" at line 3 (record 1)"},
        {"CR LF ends one line", "1\r\n2\r\r\n\n\rx", "", prefix + "bad number \"x\" at line 6 (record 1)"},
    };
    for (const Case& c : cases) {
        for (bool byteByByte : {false, true}) {
            const Outcome outcome = readAll(c.text, byteByByte);
            EXPECT_EQ(outcome.last, ReadResult::failed) << c.name;
            EXPECT_EQ(outcome.echo, c.echo) << c.name;
            EXPECT_EQ(outcome.error, c.error) << c.name << (byteByByte ? ", byte by byte" : "");
        }
    }
}

TEST(ReadScanRecord, ADirectoryIsReportedAsUnreadable) {
    ScanInput input;
    ASSERT_TRUE(openScanInput(input, "/"));
    ScanRecord record;
    EXPECT_EQ(readScanRecord(input, record), ReadResult::failed);
    EXPECT_EQ(input.error, "Error reading laser file /: Is a directory");
    closeScanInput(input);
}

// ---- pipes: a live log arrives in pieces ------------------------------------------------

struct Pipe {
    int readEnd = -1;
    int writeEnd = -1;
};

Pipe openPipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    return {fds[0], fds[1]};
}

ScanInput pipeInput(const Pipe& p) { return scanInputFromDescriptor(p.readEnd, "live"); }

TEST(ReadScanRecord, PiecesOfAnyLengthMakeTheSameRecords) {
    std::vector<double> numbers;
    for (int r = 0; r < 20; ++r) {
        const std::vector<double> record = sampleRecord(r, r * 1.25 + 0.5);
        numbers.insert(numbers.end(), record.begin(), record.end());
    }
    const std::string text = joined(tokensOf(numbers), " ");
    for (std::size_t pieceLength : {1, 7, 4096, 65537}) {
        const Pipe p = openPipe();
        std::thread writer([&] {
            for (std::size_t at = 0; at < text.size(); at += pieceLength) {
                writeAll(p.writeEnd, std::string_view(text).substr(at, pieceLength));
            }
            close(p.writeEnd);
        });
        ScanInput input = pipeInput(p);
        ScanRecord record;
        std::string echo;
        while (readScanRecord(input, record) == ReadResult::record) appendEcho(record, echo);
        writer.join();
        EXPECT_EQ(input.error, "");
        EXPECT_EQ(echo, streamEcho(numbers)) << "pieces of " << pieceLength;
        close(p.readEnd);
    }
}

int pendingWriteEnd = -1;
int waits = 0;
const char* lateBytes = nullptr;

// Stands in for the window: notes each wait, then hands over what the test holds back.
void onWait() {
    ++waits;
    if (lateBytes != nullptr) {
        writeAll(pendingWriteEnd, lateBytes);
        lateBytes = nullptr;
    } else {
        close(pendingWriteEnd);
    }
}

TEST(ReadScanRecord, ARecordIsHandedOverAsSoonAsItsLastNumberHasEnded) {
    const Pipe p = openPipe();
    writeAll(p.writeEnd, joined(tokensOf(sampleRecord(1, 100)), " ") + "\n");
    ScanInput input = pipeInput(p);
    pendingWriteEnd = p.writeEnd;
    waits = 0;
    input.whileWaiting = onWait;
    ScanRecord record;
    EXPECT_EQ(readScanRecord(input, record), ReadResult::record);
    EXPECT_EQ(waits, 0);
    EXPECT_EQ(readScanRecord(input, record), ReadResult::endOfInput);  // the wait closes the pipe
    EXPECT_EQ(waits, 1);
    close(p.readEnd);
}

TEST(ReadScanRecord, ANumberCutByThePipeIsNotTakenEarly) {
    const Pipe p = openPipe();
    std::vector<std::string> tokens = tokensOf(sampleRecord(1, 100));
    tokens.back() = "12";
    writeAll(p.writeEnd, joined(tokens, " "));
    ScanInput input = pipeInput(p);
    pendingWriteEnd = p.writeEnd;
    lateBytes = "3 ";
    waits = 0;
    input.whileWaiting = onWait;
    ScanRecord record;
    ASSERT_EQ(readScanRecord(input, record), ReadResult::record);
    EXPECT_EQ(record.readings[360], 123);
    EXPECT_EQ(waits, 1);
    close(p.writeEnd);
    close(p.readEnd);
}

int stalledReadEnd = -1;
std::string drained;

// The pipe's only reader, which reads only while the writer waits: had the writer blocked in
// a write, nothing would ever empty the pipe and the test would hang.
void readSome() {
    char chunk[5000];
    const ssize_t got = read(stalledReadEnd, chunk, sizeof chunk);
    drained.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
}

TEST(WriteAllWaiting, NeverBlocksOnAFullPipeAndKeepsEveryByteInOrder) {
    for (int pipeSize : {4096, 65536}) {  // one page, and the usual size
        const Pipe p = openPipe();
        ASSERT_GE(fcntl(p.writeEnd, F_SETPIPE_SZ, pipeSize), pipeSize);
        std::string data(1 << 20, ' ');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
        stalledReadEnd = p.readEnd;
        drained.clear();
        EXPECT_TRUE(writeAllWaiting(p.writeEnd, data, readSome));
        close(p.writeEnd);
        for (std::size_t before = SIZE_MAX; before != drained.size(); readSome()) before = drained.size();
        EXPECT_EQ(drained, data) << "through a pipe of " << pipeSize;
        close(p.readEnd);
    }
}

}  // namespace
