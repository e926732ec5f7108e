// libFuzzer target for the reader: whatever the bytes, reading must end either with complete
// records or with one of the reader's messages, without touching memory it doesn't own, and
// every echoed number must read back as a number.
#include <cstdint>
#include <cstdlib>
#include <locale>
#include <sstream>
#include <string>

#include "scan_reader.hpp"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void checkEchoReadsBack(const std::string& echo) {
    std::size_t start = 0;
    while (start < echo.size()) {
        const std::size_t end = echo.find_first_of(" \n", start);
        if (end > start) {
            double value = 0;
            require(parseNumber(echo.data() + start, echo.data() + end, value));
        }
        start = end + 1;
    }
}

// A lone token must be accepted exactly when a classic-locale stream takes all of it.
void checkAgainstStream(const std::string& token) {
    std::istringstream in(token);
    in.imbue(std::locale::classic());
    double expected = 0;
    in >> expected;
    const bool streamAccepts = !in.fail() && in.peek() == std::char_traits<char>::eof();
    double value = 0;
    const bool accepted = parseNumber(token.data(), token.data() + token.size(), value);
    require(accepted == streamAccepts);
    require(!accepted || value == expected || (value != value && expected != expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (size < 64 && text.find_first_of(" \t\n\v\f\r") == std::string::npos && size > 0) checkAgainstStream(text);

    ScanInput input = scanInputFromText(text, "fuzz");
    ScanRecord record;
    std::string echo;
    std::uint64_t records = 0;
    ReadResult result;
    while ((result = readScanRecord(input, record)) == ReadResult::record) {
        ++records;
        echo.clear();
        appendEcho(record, echo);
        checkEchoReadsBack(echo);
    }
    // A record needs at least 362 one-byte numbers and 361 separators.
    require(records * (2 * kNumbersPerRecord - 1) <= size);
    require(input.recordsRead == records);
    if (result == ReadResult::endOfInput) {
        require(input.error.empty());
    } else {
        const std::string prefix = "Error reading laser file fuzz: ";
        require(startsWith(input.error, prefix + "record " + std::to_string(records + 1) + " ends after ") ||
                startsWith(input.error, prefix + "bad number \""));
        require(input.error.find_first_of("\n\r\x1b") == std::string::npos);
    }
    return 0;
}
