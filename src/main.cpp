// rangeScanInspector: replays a log of planar laser range scans, echoing every record to
// standard output and drawing it, top-down, in a window.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "scan_display.hpp"
#include "scan_reader.hpp"

namespace {

// Records whose echo has been written whole: the transcript ends after the last of them.
std::uint64_t recordsEchoed = 0;

[[noreturn]] void failWith(const std::string& message) {
    writeAll(STDERR_FILENO, message + "\n");
    std::exit(1);
}

// A user who closes the window has asked the program to stop. It ends with the status an
// interrupt from the keyboard gives, so that scripts can tell it from the end of the log (0)
// and from an error (1).
[[noreturn]] void stopBecauseTheWindowWasClosed() {
    writeAll(STDERR_FILENO, "Stopped: the window was closed after record " + std::to_string(recordsEchoed) + "\n");
    std::exit(130);
}

// Started with any of descriptors 0, 1 and 2 closed, the program would hand those numbers to
// the log and to the window system's connection, and every message meant for standard error
// would go into that socket. So each closed one is opened on /dev/null before anything else
// is opened. Standard output is opened for reading only: the transcript's first write still
// fails as it would on the closed descriptor.
void occupyClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Every lower number is open by now, so this one is the lowest free and open() takes it.
        open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
    }
}

// While the log pauses the window keeps painting, and closing it stops the program there.
void whileWaitingForInput() {
    pumpWindowEvents();
    if (windowClosed()) stopBecauseTheWindowWasClosed();
}

// Standard output is the program's transcript: losing part of it is a failure, not a success.
// While its reader pauses (`| less`), the window keeps painting.
void writeStandardOutput(std::string_view text) {
    if (!writeAllWaiting(STDOUT_FILENO, text, pumpWindowEvents)) {
        failWith(std::string("Error writing standard output: ") + std::strerror(errno));
    }
}

std::string parseArgs(int argc, char** argv) {
    if (argc == 2) return argv[1];
    // Started with an empty argument vector, there is no name to show (newer Linux kernels
    // pass an empty string in its place).
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    const std::string programName = named ? printableName(argv[0]) : "rangeScanInspector";
    writeAll(STDOUT_FILENO, "USAGE: " + programName + " <laserFile>\n");
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    occupyClosedStandardDescriptors();
    const std::string fileName = parseArgs(argc, argv);
    ScanInput input;
    if (!openScanInput(input, fileName)) {
        failWith("Error opening laser file " + printableName(fileName) + ". Please ensure file exists");
    }
    ScanPicture scanPicture = makeScanPicture();
    writeStandardOutput("Starting feature extractor\n");

    input.whileWaiting = whileWaitingForInput;
    ScanRecord record;
    std::string echo;
    for (;;) {
        const ReadResult result = readScanRecord(input, record);
        if (result == ReadResult::endOfInput) break;
        if (result == ReadResult::failed) failWith(input.error);
        if (windowClosed()) stopBecauseTheWindowWasClosed();
        echo.clear();
        appendEcho(record, echo);
        // A close seen while the echo waits for its reader takes effect once the echo is out
        // whole, so that the transcript never ends inside a record.
        writeStandardOutput(echo);
        ++recordsEchoed;
        drawScan(scanPicture, record);
        if (!showScan(scanPicture.image)) stopBecauseTheWindowWasClosed();
    }
    closeScanInput(input);
    return 0;
}
