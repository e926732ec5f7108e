#include "bag_folder.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>
#include <yaml-cpp/yaml.h>

#include "log_bytes.hpp"

bool readBagFolder(const std::string& path, const LogOptions& options, const RawScanSink& raw, std::string& error) {
    const std::string metadataPath = path + "/metadata.yaml";
    if (access(metadataPath.c_str(), F_OK) != 0) {
        error = "scanlog: " + path + ": not a ROS 2 bag folder (it has no metadata.yaml)";
        return false;
    }
    std::vector<std::string> files;
    std::string storage;
    try {
        const YAML::Node info = YAML::LoadFile(metadataPath)["rosbag2_bagfile_information"];
        if (!info) throw YAML::Exception(YAML::Mark::null_mark(), "no rosbag2_bagfile_information");
        if (info["storage_identifier"]) storage = info["storage_identifier"].as<std::string>();
        const std::string compression = info["compression_mode"] ? info["compression_mode"].as<std::string>() : "";
        if (!compression.empty()) {
            error = "scanlog: " + metadataPath + ": compressed bags (compression_mode " + compression +
                    ") are not supported; decompress it with `ros2 bag convert` first";
            return false;
        }
        for (const YAML::Node& file : info["relative_file_paths"]) files.push_back(path + "/" + file.as<std::string>());
    } catch (const YAML::Exception& e) {
        error = "scanlog: " + metadataPath + ": " + e.what();
        return false;
    }
    if (files.empty()) {
        error = "scanlog: " + metadataPath + ": lists no files";
        return false;
    }
    for (const std::string& file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = cannotOpen(file, errno);
            return false;
        }
        close(fd);
    }
    if (storage == "mcap") return readMcap(files, path, options, raw, error);
    if (storage == "sqlite3" || storage.empty()) return readRos2Sqlite(files, path, options, raw, error);
    error = "scanlog: " + metadataPath + ": unknown storage \"" + storage + "\" (sqlite3 and mcap are read)";
    return false;
}
