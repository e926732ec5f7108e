// The pose messages of ROS 2 bags, for maps: CDR decoded with Fast CDR, field by field, with
// only the calls the LaserScan decoder uses (fast_cdr_versions.hpp), so that both build against
// both versions.
#include <cstdint>
#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>
#include <fastcdr/exceptions/Exception.h>
#include <string>

#include "fast_cdr_versions.hpp"
#include "format_reader.hpp"
#include "pose_messages.hpp"

namespace {

using eprosima::fastcdr::Cdr;
using fastCdr::remaining;

// The smallest a geometry_msgs/msg/TransformStamped can be: a stamp, two strings of one byte
// with their lengths, and seven float64 (aligned).
constexpr std::size_t kLeastTransformBytes = 8 + 2 * 5 + 56;

void readHeader(Cdr& cdr, PoseSample& sample) {
    std::int32_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    cdr >> seconds >> nanoseconds >> sample.parent;
    sample.stampNs = std::int64_t{seconds} * 1000000000 + nanoseconds;
}

// geometry_msgs/msg/Pose, or a Transform (Vector3 and Quaternion: the same seven float64).
void readPose(Cdr& cdr, PoseSample& sample) {
    double x = 0, y = 0, z = 0, qx = 0, qy = 0, qz = 0, qw = 1;
    cdr >> x >> y >> z >> qx >> qy >> qz >> qw;
    sample.pose = Pose2D{x, y, yawOf(qx, qy, qz, qw)};
}

bool readTransforms(Cdr& cdr, std::size_t size, const std::string& topic,
                    const std::function<void(const PoseSample&)>& take, std::string& error) {
    std::uint32_t count = 0;
    cdr >> count;
    if (count > remaining(cdr, size) / kLeastTransformBytes) {
        error = "TFMessage of " + std::to_string(count) + " transforms in " + std::to_string(size) + " bytes";
        return false;
    }
    PoseSample sample;
    sample.topic = topic;
    sample.fixed = isStaticTransformTopic(topic);
    for (std::uint32_t k = 0; k < count; ++k) {
        readHeader(cdr, sample);
        cdr >> sample.child;
        readPose(cdr, sample);
        take(sample);
    }
    return true;
}

}  // namespace

bool decodeRos2Poses(const unsigned char* data, std::size_t size, const std::string& type, const std::string& topic,
                     const std::function<void(const PoseSample&)>& take, std::string& error) {
    if (size < 4 || data[0] != 0 || data[1] > 1) {
        error = type + " message is not plain CDR";
        return false;
    }
    // Fast CDR only reads the buffer; the cast drops a const it never uses.
    eprosima::fastcdr::FastBuffer buffer(reinterpret_cast<char*>(const_cast<unsigned char*>(data)), size);
    Cdr cdr(buffer, Cdr::DEFAULT_ENDIAN, fastCdr::kPlainCdr);
    try {
        cdr.read_encapsulation();
        if (isTransformType(type)) return readTransforms(cdr, size, topic, take, error);
        PoseSample sample;
        sample.topic = topic;
        readHeader(cdr, sample);
        if (type == "nav_msgs/msg/Odometry") cdr >> sample.child;
        readPose(cdr, sample);  // the covariance that may follow is not needed
        take(sample);
    } catch (const eprosima::fastcdr::exception::Exception& e) {
        error = "damaged " + type + " message: " + e.what();
        return false;
    }
    return true;
}
