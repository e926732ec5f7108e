// Scan files, read with the viewer's own reader and passed through as they are.
#pragma once

#include <string>

#include "formats/format_reader.hpp"
#include "log_scan.hpp"
#include "scan_reader.hpp"

// Hands every record of `input` to `sink`: leading values kept (or numbered, with
// StampMode::index), timed when they are seconds. False with `error` set on damage.
bool readScanFile(ScanInput& input, bool leadingValuesAreSeconds, const LogOptions& options, const LogSink& sink,
                  std::string& error);
