// CARMEN logs: to be written.
#include "log_source.hpp"

bool readCarmenLog(const ByteReader&, const std::string& path, const LogOptions&, const RawScanSink&, std::string& error) {
    error = path + ": CARMEN logs are not read yet";
    return false;
}
