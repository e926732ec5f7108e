// rangeScanInspector: replays a log of planar laser range scans, echoing every record to
// standard output and drawing it, top-down, in a window.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "scan_display.hpp"
#include "scan_reader.hpp"

namespace {

[[noreturn]] void failWith(const std::string& message) {
    writeAll(STDERR_FILENO, message + "\n");
    std::exit(1);
}

// Standard output is the program's transcript: losing part of it is a failure, not a success.
void writeStandardOutput(std::string_view text) {
    if (!writeAll(STDOUT_FILENO, text)) failWith(std::string("Error writing standard output: ") + std::strerror(errno));
}

std::string parseArgs(int argc, char** argv) {
    if (argc == 2) return argv[1];
    // Started with an empty argument vector, there is no name to show (newer Linux kernels
    // pass an empty string in its place).
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    const std::string programName = named ? argv[0] : "rangeScanInspector";
    writeAll(STDOUT_FILENO, "USAGE: " + programName + " <laserFile>\n");
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string fileName = parseArgs(argc, argv);
    ScanInput input;
    if (!openScanInput(input, fileName)) failWith("Error opening laser file " + fileName + ". Please ensure file exists");
    cv::Mat scanImage = makeScanImage();
    writeStandardOutput("Starting feature extractor\n");

    // While a live log pauses, the window keeps painting the latest scan.
    input.whileWaiting = pumpWindowEvents;
    ScanRecord record;
    std::string echo;
    for (;;) {
        const ReadResult result = readScanRecord(input, record);
        if (result == ReadResult::endOfInput) break;
        if (result == ReadResult::failed) failWith(input.error);
        echo.clear();
        appendEcho(record, echo);
        writeStandardOutput(echo);
        drawScan(scanImage, record);
        showScan(scanImage);
    }
    closeScanInput(input);
    return 0;
}
