// Read-and-echo of a realistic log, the program's hot path, side by side with the same stage
// written with std::ifstream >> and std::cout <<. Both echo into memory, and both must
// produce the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <unistd.h>

#include "scan_reader.hpp"

namespace {

constexpr int kRecords = 10000;

// A log like the real ones: a time stamp, then ranges in whole centimetres (or with one
// decimal, as some loggers write them), with the "no return" value where nothing was hit.
std::string makeLog() {
    std::mt19937 random(42);
    std::string text;
    char number[32];
    for (int r = 0; r < kRecords; ++r) {
        std::snprintf(number, sizeof number, "%g", r / 75.0);
        text += number;
        double range = 300;
        for (int i = 0; i < kReadingCount; ++i) {
            range = std::max(20.0, std::min(6000.0, range + std::normal_distribution<double>(0, 40)(random)));
            const bool noReturn = random() % 10 == 0;
            if (r % 2 == 0) {
                std::snprintf(number, sizeof number, " %d", noReturn ? 8191 : static_cast<int>(range));
            } else {
                std::snprintf(number, sizeof number, " %.1f", noReturn ? 8191.0 : range);
            }
            text += number;
        }
        text += '\n';
    }
    return text;
}

const std::string& logPath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/reader-bench-XXXXXX";
        const int fd = mkstemp(pattern);
        const std::string log = makeLog();
        writeAll(fd, log);
        close(fd);
        return std::string(pattern);
    }();
    return path;
}

// A memory sink for a stream: the bytes land in a buffer that is simply reused.
struct MemorySink : std::streambuf {
    char area[1 << 16];
    std::size_t bytes = 0;
    MemorySink() { setp(area, area + sizeof area); }
    int_type overflow(int_type c) override {
        sync();
        if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
        return 0;
    }
    int sync() override {
        bytes += static_cast<std::size_t>(pptr() - pbase());
        setp(area, area + sizeof area);
        return 0;
    }
};

std::size_t programReadAndEcho(std::string* transcript) {
    ScanInput input;
    openScanInput(input, logPath());
    ScanRecord record;
    std::string echo;
    std::size_t bytes = 0;
    while (readScanRecord(input, record) == ReadResult::record) {
        echo.clear();
        appendEcho(record, echo);
        bytes += echo.size();
        if (transcript) *transcript += echo;
    }
    closeScanInput(input);
    return bytes;
}

std::size_t streamReadAndEcho(std::ostream& out) {
    std::ifstream in(logPath());
    double leading = 0;
    double readings[kReadingCount];
    in >> std::ws;
    while (!in.eof()) {
        in >> leading;
        out << leading << std::endl;
        for (double& reading : readings) {
            in >> reading;
            out << reading << " ";
        }
        out << std::endl;
        in >> std::ws;
    }
    return 0;
}

void checkSameTranscript() {
    std::string ours;
    programReadAndEcho(&ours);
    std::ostringstream theirs;
    streamReadAndEcho(theirs);
    if (ours != theirs.str()) {
        std::fprintf(stderr, "the two transcripts differ\n");
        std::exit(1);
    }
}

void ProgramReader(benchmark::State& state) {
    checkSameTranscript();
    std::size_t bytes = 0;
    for (auto _ : state) bytes += programReadAndEcho(nullptr);
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void StreamReader(benchmark::State& state) {
    MemorySink sink;
    std::streambuf* original = std::cout.rdbuf(&sink);
    for (auto _ : state) streamReadAndEcho(std::cout);
    std::cout.rdbuf(original);
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetBytesProcessed(static_cast<std::int64_t>(sink.bytes));
}

BENCHMARK(ProgramReader)->Unit(benchmark::kMillisecond);
BENCHMARK(StreamReader)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
