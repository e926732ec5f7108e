#include "scan_file.hpp"

#include <cmath>
#include <cstdint>

#include "records.hpp"

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
        scan.scanFile = true;
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
