// ROS 2 SQLite bags: to be written.
#include "log_source.hpp"

bool readRos2Sqlite(const std::vector<std::string>&, const std::string& path, const LogOptions&, const RawScanSink&,
                    std::string& error) {
    error = path + ": ROS 2 SQLite bags are not read yet";
    return false;
}
