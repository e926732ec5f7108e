// MCAP files: to be written.
#include "log_source.hpp"

bool readMcap(const std::vector<std::string>&, const std::string& path, const LogOptions&, const RawScanSink&,
              std::string& error) {
    error = path + ": MCAP files are not read yet";
    return false;
}
