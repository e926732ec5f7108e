#include "history.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "stream/records.hpp"
#include "stream/temporary_file.hpp"

namespace {

std::string systemError(int code) { return std::strerror(code); }

void closeRereader(History& history) {
    closeScanInput(history.rereader);
    history.rereaderNext = 0;
}

}  // namespace

bool isRegularFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

namespace {

// A kept record's bytes: its leading text, a line end, then the readings as they are in memory
// (a no return is not a number, which no text form would keep apart from a reading).
void encodeKept(const KeptRecord& kept, std::string& bytes) {
    bytes.assign(kept.leadingText);
    bytes += '\n';
    bytes.append(reinterpret_cast<const char*>(kept.record.readings.data()), sizeof kept.record.readings);
}

bool decodeKept(const std::string& bytes, KeptRecord& kept) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string::npos || bytes.size() - end - 1 != sizeof kept.record.readings) return false;
    kept.leadingText.assign(bytes, 0, end);
    std::memcpy(kept.record.readings.data(), bytes.data() + end + 1, sizeof kept.record.readings);
    double value = 0;
    parseNumber(kept.leadingText.data(), kept.leadingText.data() + kept.leadingText.size(), value);
    kept.record.leadingValue = value;
    return true;
}

bool keepLine(History& history, const std::string& line, std::string& error) {
    if (history.keptFd < 0) {
        std::string folder;
        history.keptFd = openTemporaryFile(folder);
        if (history.keptFd < 0) {
            error = "scanlog: cannot keep the played records (for stepping back) in " + folder + ": " +
                    systemError(errno);
            return false;
        }
    }
    history.offsets.push_back(history.keptBytes);
    if (!writeAll(history.keptFd, line)) {
        error = "scanlog: cannot keep the played records (for stepping back): " + systemError(errno);
        return false;
    }
    history.keptBytes += line.size();
    return true;
}

bool findKeptLine(const History& history, std::uint64_t number, std::string& line, std::string& error) {
    const std::uint64_t begin = history.offsets[number - 1];
    const std::uint64_t end = number < history.offsets.size() ? history.offsets[number] : history.keptBytes;
    line.resize(end - begin);
    std::size_t have = 0;
    while (have < line.size()) {
        const ssize_t got = pread(history.keptFd, line.data() + have, line.size() - have,
                                  static_cast<off_t>(begin + have));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = "scanlog: cannot read back the kept record " + std::to_string(number) + ": " +
                    systemError(got < 0 ? errno : EIO);
            return false;
        }
        have += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

bool keepRecord(History& history, const KeptRecord& kept, std::string& error) {
    std::string bytes;
    encodeKept(kept, bytes);
    return keepLine(history, bytes, error);
}

bool findKeptRecord(const History& history, std::uint64_t number, KeptRecord& kept, std::string& error) {
    std::string bytes;
    if (!findKeptLine(history, number, bytes, error)) return false;
    if (!decodeKept(bytes, kept)) {
        error = "scanlog: cannot read back the kept record " + std::to_string(number) + ": it was changed";
        return false;
    }
    return true;
}

// Reads record `number` of the scan file again with the viewer's reader: on from where it
// stopped when it is the following record (a loop replays the file in order), else from
// the record's offset.
bool rereadScanRecord(History& history, std::uint64_t number, KeptRecord& kept, std::string& error) {
    if (history.rereaderNext != number) {
        closeRereader(history);
        const int fd = open(history.sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || lseek(fd, static_cast<off_t>(history.offsets[number - 1]), SEEK_SET) < 0) {
            error = "Error reading laser file " + history.sourcePath + ": " + systemError(errno);
            if (fd >= 0) close(fd);
            return false;
        }
        history.rereader = scanInputFromDescriptor(fd, history.sourcePath);
        history.rereaderNext = number;
    }
    ScanRecord& record = kept.record;
    const ReadResult result = readScanRecord(history.rereader, record);
    if (result != ReadResult::record) {
        error = result == ReadResult::failed ? history.rereader.error
                                             : "Error reading laser file " + history.sourcePath + ": record " +
                                                   std::to_string(number) + " is gone (the file was cut short)";
        closeRereader(history);
        return false;
    }
    ++history.rereaderNext;
    char text[32];
    kept.leadingText.assign(text, formatShortest(record.leadingValue, text));
    return true;
}

void closeHistory(History& history) {
    closeRereader(history);
    if (history.keptFd >= 0) close(history.keptFd);
    history.keptFd = -1;
}
