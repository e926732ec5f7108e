// Conversion speed per input format, on the real samples beside the project: every scan is
// read, resampled and written as a scan-file line into memory, as `scanlog convert` does
// before its writes. Reports scans per second and input megabytes per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "stream/log_source.hpp"
#include "stream/picture.hpp"
#include "stream/records.hpp"

namespace {

const std::string kFormats = SHARED_DATA_PATH "/formats/";

std::uintmax_t inputBytes(const std::string& path) {
    if (!std::filesystem::is_directory(path)) return std::filesystem::file_size(path);
    std::uintmax_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
}

void convertSample(benchmark::State& state, const std::string& sample) {
    const std::string path = kFormats + sample;
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("the shared samples are not beside the project");
        return;
    }
    std::string lines;
    std::uint64_t scans = 0;
    LogSink sink;
    const PictureOptions picture;  // convert's defaults
    ScanRecord record;
    sink.scan = [&](const LogScan& scan) {
        lines.clear();
        prepareRecord(scan, picture, scan.zoom, record);
        appendScanLine(scan.leadingText, record, lines);
        ++scans;
        return true;
    };
    LogOptions options;
    options.stamp = StampMode::index;  // no warning lines for the logs with unusable times
    for (auto _ : state) {
        std::string error;
        if (!readPictureLog(path, options, picture, 1, false, sink, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        benchmark::DoNotOptimize(lines.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(scans));
    state.SetBytesProcessed(static_cast<std::int64_t>(inputBytes(path) * state.iterations()));
    state.counters["scans"] = static_cast<double>(scans / state.iterations());
}

void registerSamples() {
    const std::pair<const char*, const char*> samples[] = {
        {"CARMEN gzip, 361 beams", "carmen/ple_csail-corrected.log.gz"},
        {"CARMEN gzip, 181 beams", "carmen/ple_orebro-corrected.log.gz"},
        {"ROS 1 bag, 768 beams", "ros1/leg_tracker_positive_2.bag"},
        {"ROS 1 bag, 681 beams", "ros1/scan_tools_laser_scan_matcher_demo.bag"},
        {"ROS 1 bag, lz4 chunks", "ros1/embag_test_lz4.bag"},
        {"ROS 1 bag, 897 beams", "ros1/mehd1k_test_2026-02-19-11-53-31.bag"},
        {"ROS 2 SQLite, 897 beams", "ros2_db3/mehd1k_test_2026-02-19-11-53-31"},
        {"ROS 2 SQLite, 360 beams", "ros2_db3/mumble_straight"},
        {"MCAP, 5 beams among 94 types", "ros2_mcap/rosbags_rs_test_bag_mcap"},
    };
    for (const auto& [name, sample] : samples) {
        benchmark::RegisterBenchmark(name, convertSample, std::string(sample))->Unit(benchmark::kMillisecond)->UseRealTime();
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerSamples();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
