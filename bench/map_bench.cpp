// Map speed on the real CARMEN corrected logs beside the project: every scan read from the
// gzip-compressed log and traced onto a grid of 5 cm cells, then the picture made and
// encoded, as `scanlog map` does before it writes. Reports scans per second.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "pictures/map_files.hpp"
#include "stream/log_source.hpp"

namespace {

const std::string kFormats = SHARED_DATA_PATH "/formats/";

void mapSample(benchmark::State& state, const std::string& sample) {
    const std::string path = kFormats + sample;
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("the shared samples are not beside the project");
        return;
    }
    std::uint64_t scans = 0;
    for (auto _ : state) {
        OccupancyGrid grid = makeGrid(MapSettings{});
        RawScanSink sink;
        std::string error;
        sink.scan = [&](const RawScan& scan) {
            ++scans;
            return addScan(grid, scan, scan.pose, error);
        };
        if (!readRawLog(path, LogOptions{}, sink, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::vector<unsigned char> png;
        cv::imencode(".png", mapPicture(grid), png);
        benchmark::DoNotOptimize(png.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(scans));
    state.counters["scans"] = static_cast<double>(scans / state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(mapSample, csail_361_beams, std::string("carmen/ple_csail-corrected.log.gz"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mapSample, freiburg_360_beams, std::string("carmen/ple_freiburg-101-corrected.log.gz"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mapSample, orebro_181_beams, std::string("carmen/ple_orebro-corrected.log.gz"))
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
