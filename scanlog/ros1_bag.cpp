// ROS 1 bags: to be written.
#include "log_source.hpp"

bool readRos1Bag(const std::string&, const std::string& path, const LogOptions&, const RawScanSink&, std::string& error) {
    error = path + ": ROS 1 bags are not read yet";
    return false;
}
