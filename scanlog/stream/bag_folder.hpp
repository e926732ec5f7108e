// A ROS 2 bag folder: its metadata.yaml names the storage and the files to read, in order.
#pragma once

#include <string>

#include "formats/format_reader.hpp"

bool readBagFolder(const std::string& path, const LogOptions& options, const RawScanSink& raw, std::string& error);
