// A ROS 2 bag folder: its metadata.yaml names the storage and the files to read, in order.
#pragma once

#include <string>
#include <vector>

#include "formats/format_reader.hpp"

struct BagFolder {
    std::vector<std::string> files;  // the bag's files, in the order to read them
    LogFormat format = LogFormat::ros2Sqlite;  // the reader their storage calls for
};

// Reads the folder's metadata.yaml and checks that every file it lists can be opened. False
// with `error` set to the whole message ("scanlog: " included) when it can't.
bool readBagFolder(const std::string& path, BagFolder& folder, std::string& error);
