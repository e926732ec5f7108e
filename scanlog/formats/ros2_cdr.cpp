// sensor_msgs/msg/LaserScan as ROS 2 stores it: CDR (little- or big-endian, chosen by the
// encapsulation header), decoded with Fast CDR, the library ROS 2 itself serialises with.
#include <cstdint>
#include <cstdio>
#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <string>
#include <vector>

#include "fast_cdr_versions.hpp"
#include "format_reader.hpp"

namespace {

using eprosima::fastcdr::Cdr;

using fastCdr::kPlainCdr;
using fastCdr::remaining;

std::string sequenceCut(const char* name, std::size_t available, std::uint32_t count) {
    return std::string("LaserScan ") + name + " end after " + std::to_string(available) + " of " +
           std::to_string(count) + " values";
}

// A sequence of float32. Its length is checked against the bytes that are left before
// anything is allocated, so a damaged length can't ask for gigabytes. With no `values` (the
// intensities, which are not converted) only the length is checked: a message cut there is
// still a damaged message.
bool readFloats(Cdr& cdr, std::size_t size, const char* name, std::vector<float>* values, std::string& error) {
    std::uint32_t count = 0;
    cdr >> count;
    // The first element is aligned to 4 bytes, which a uint32 length already is.
    const std::size_t available = remaining(cdr, size) / sizeof(float);
    if (count > available) {
        error = sequenceCut(name, available, count);
        return false;
    }
    if (values == nullptr) return true;
    values->resize(count);
    if (count > 0) fastCdr::readFloatArray(cdr, values->data(), count);
    return true;
}

// ROS 2 writes plain CDR, 0x0000 (big-endian) or 0x0001 (little-endian). Fast CDR would take
// a parameter-list or XCDR2 header too and then misread the fields that follow.
bool plainCdr(const unsigned char* data, std::string& error) {
    if (data[0] == 0 && data[1] <= 1) return true;
    char header[8];
    std::snprintf(header, sizeof header, "%02x%02x", data[0], data[1]);
    error = std::string("not plain CDR (encapsulation 0x") + header + ")";
    return false;
}

}  // namespace

bool decodeRos2LaserScan(const unsigned char* data, std::size_t size, RawScan& scan, std::string& error) {
    if (size < 4) {
        error = "LaserScan message of " + std::to_string(size) + " bytes is too short";
        return false;
    }
    if (!plainCdr(data, error)) return false;
    // Fast CDR only reads the buffer; the cast drops a const it never uses.
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(const_cast<unsigned char*>(data)), size);
    Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, kPlainCdr);
    static thread_local std::vector<float> ranges;
    try {
        cdr.read_encapsulation();
        std::int32_t seconds = 0;
        std::uint32_t nanoseconds = 0;
        std::string frame;
        float angleMin = 0, angleMax = 0, angleIncrement = 0, timeIncrement = 0, scanTime = 0, rangeMin = 0,
              rangeMax = 0;
        cdr >> seconds >> nanoseconds >> frame;
        cdr >> angleMin >> angleMax >> angleIncrement >> timeIncrement >> scanTime >> rangeMin >> rangeMax;
        if (!readFloats(cdr, size, "ranges", &ranges, error)) return false;
        if (!readFloats(cdr, size, "intensities", nullptr, error)) return false;
        takeLaserScanFields({seconds, nanoseconds, angleMin, angleIncrement, rangeMin, rangeMax}, scan);
        scan.ranges.assign(ranges.begin(), ranges.end());
        scan.frameId = frame;
        (void)angleMax;
        (void)timeIncrement;
        (void)scanTime;
    } catch (const eprosima::fastcdr::exception::Exception& e) {
        error = std::string("damaged LaserScan message: ") + e.what();
        return false;
    }
    return true;
}
