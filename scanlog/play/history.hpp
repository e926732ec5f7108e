// Where records already played are found again, so that the player can step back through
// them without keeping them in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan_reader.hpp"

// Where records already played are found again.
struct History {
    std::vector<std::int64_t> logTimes;  // each record's log time, record 1 first
    std::vector<std::uint64_t> offsets;  // each record's place in the scan file or in keptFd
    // A seekable scan file is read again by the viewer's own reader, from a record's offset.
    std::string sourcePath;              // empty: the lines are kept in keptFd instead
    ScanInput rereader;
    std::uint64_t rereaderNext = 0;      // the record `rereader` reads next; 0 when closed
    // Anything else (converted logs, pipes, compressed files): the records are kept in an
    // unnamed temporary file, so that memory does not grow with the log.
    int keptFd = -1;
    std::uint64_t keptBytes = 0;
};

// Whether `path` names a regular file (which can be read again from a record's offset).
bool isRegularFile(const std::string& path);

// A record as the player keeps it: unscaled, as the log gave it (a LogScan's record), so that
// it can be written again at whatever zoom is chosen later.
struct KeptRecord {
    std::string leadingText;  // the leading value as written
    ScanRecord record;
};

// Keeps `kept` (the next record) in the temporary file; false with `error` set.
bool keepRecord(History& history, const KeptRecord& kept, std::string& error);
// Reads record `number` back from the temporary file.
bool findKeptRecord(const History& history, std::uint64_t number, KeptRecord& kept, std::string& error);
// Reads record `number` again from the scan file itself.
bool rereadScanRecord(History& history, std::uint64_t number, KeptRecord& kept, std::string& error);
void closeHistory(History& history);
