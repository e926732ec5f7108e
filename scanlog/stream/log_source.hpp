// The stream layer (scanlog/stream/): any log that scanlog understands as a stream of scan
// records, through readLog below. Its units: recognise (a log's format from its first bytes),
// log_bytes (files, pipes, gzip), bag_folder (a ROS 2 bag folder's metadata.yaml), scan_file,
// stamping (leading values), records (resampling and writing records), temporary_file. It
// uses the format readers (formats/format_reader.hpp) and the viewer's libraries, never the
// play, pictures or commands layers above it.
//
// Each input format has a reader that turns its laser messages into RawScans (the sensor's
// own beams, in metres, with their geometry and time). The log source opens the input,
// recognises its format by content, runs the right reader, resamples every RawScan onto the
// 361 half-degree readings of a scan file and gives it its leading value. Scan files are read
// with the viewer's own reader and pass through as they are.
//
// Everything is streamed: one scan (or one chunk of a bag) at a time, so memory does not grow
// with the log, and a consumer sees the first scan before the reader has seen the second
// bag chunk.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "formats/format_reader.hpp"
#include "log_scan.hpp"
#include "scan_reader.hpp"

// Reads the log at `path` (a file, a gzip-compressed file, or a ROS 2 bag folder) and hands
// every scan to `sink`. `timed` on the scans says whether their stamps can pace a replay: for
// ROS bags and CARMEN logs, whether the first two scans' times increase; for scan files,
// only when `leadingValuesAreSeconds`. When relative or absolute stamps are asked for and the
// times are unusable, the leading values fall back to 1, 2, 3 ... with one warning line on
// standard error. False with `error` set to the one-line message (without a trailing line end)
// when the log can't be opened, isn't recognised, or is damaged; every scan before the damage
// has been handed over by then.
bool readLog(const std::string& path, const LogOptions& options, bool leadingValuesAreSeconds, const LogSink& sink,
             std::string& error);

// Whether readLog's `error` is a mistake on the command line rather than in the log: a facing
// asked of a scan file, which has no bearings beyond its 361 readings.
bool isUsageError(const std::string& error);

// Reads the log at `path` as the sensor's own scans, with the poses the log holds beside them
// when `sink.pose` is set: for pictures of the whole log, which need every beam and where it
// was taken. Errors as readLog's; a scan file is refused, as it holds neither.
bool readRawLog(const std::string& path, const LogOptions& options, const RawScanSink& sink, std::string& error);
