// CDR-encoded ROS 2 LaserScan messages: to be written.
#include "log_source.hpp"

bool decodeRos2LaserScan(const unsigned char*, std::size_t, RawScan&, std::string& error) {
    error = "CDR LaserScan decoding is not written yet";
    return false;
}
