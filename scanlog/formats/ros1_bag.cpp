// ROS 1 bags, read with ROS's own rosbag library: it knows the chunk formats, the compressions
// and the older bag versions. The LaserScan messages themselves are decoded here, field by field
// with ROS's serialization streams, so that a damaged sequence length is caught before anything
// is allocated for it (the generated deserializer would first resize to whatever length it
// finds).
//
// rosbag itself trusts the offsets and lengths in a bag: a damaged one makes it read far outside
// its buffers and crash, or ask for gigabytes. So the library runs in a child process with a
// memory limit (isolated_reader.hpp), which streams the scans to this one; a crash there is
// one error line here.
#include <cerrno>
#include <console_bridge/console.h>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <rosbag/bag.h>
#include <rosbag/view.h>
#include <ros/serialization.h>
#include <geometry_msgs/PoseStamped.h>
#include <geometry_msgs/PoseWithCovarianceStamped.h>
#include <nav_msgs/Odometry.h>
#include <sensor_msgs/LaserScan.h>
#include <tf2_msgs/TFMessage.h>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include "isolated_reader.hpp"
#include "format_reader.hpp"
#include "ros1_index.hpp"
#include "scan_reader.hpp"
#include "pose_messages.hpp"
#include "topics.hpp"

namespace {

const char* const kLaserScanType = "sensor_msgs/LaserScan";

std::string laserScanMd5() { return ros::message_traits::MD5Sum<sensor_msgs::LaserScan>::value(); }

// rosbag copies a message's bytes out through any stream that offers advance(); this one keeps
// them in a buffer reused from message to message.
struct ByteBuffer {
    std::vector<std::uint8_t>* bytes;
    std::uint8_t* advance(std::uint32_t size) {
        bytes->resize(size);
        return bytes->data();
    }
};

// Reads a float32 sequence's length and, when its values are all there, the values. The length
// is checked against the bytes left before anything is allocated.
bool readFloats(ros::serialization::IStream& in, const char* name, std::vector<double>* values, std::string& error) {
    std::uint32_t count = 0;
    in.next(count);
    const std::uint32_t available = in.getLength() / sizeof(float);
    if (count > available) {
        error = std::string("LaserScan ") + name + " end after " + std::to_string(available) + " of " +
                std::to_string(count) + " values";
        return false;
    }
    const std::uint8_t* data = in.advance(count * sizeof(float));
    if (values == nullptr) return true;
    values->resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        float value = 0;
        std::memcpy(&value, data + i * sizeof(float), sizeof(float));
        (*values)[i] = value;
    }
    return true;
}

// sensor_msgs/LaserScan as ROS 1 serialises it: a std_msgs/Header (seq, stamp, frame_id),
// seven float32 fields, then the ranges and intensities sequences.
bool decodeRos1LaserScan(std::vector<std::uint8_t>& bytes, RawScan& scan, std::string& error) {
    ros::serialization::IStream in(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    try {
        std::uint32_t sequence = 0, seconds = 0, nanoseconds = 0, frameLength = 0;
        in.next(sequence);
        in.next(seconds);
        in.next(nanoseconds);
        in.next(frameLength);
        // checked: throws if the frame name runs past the message
        const std::uint8_t* frame = in.advance(frameLength);
        scan.frameId.assign(reinterpret_cast<const char*>(frame), frameLength);
        float angleMin = 0, angleMax = 0, angleIncrement = 0, timeIncrement = 0, scanTime = 0, rangeMin = 0,
              rangeMax = 0;
        in >> angleMin >> angleMax >> angleIncrement >> timeIncrement >> scanTime >> rangeMin >> rangeMax;
        if (!readFloats(in, "ranges", &scan.ranges, error)) return false;
        if (!readFloats(in, "intensities", nullptr, error)) return false;
        takeLaserScanFields({seconds, nanoseconds, angleMin, angleIncrement, rangeMin, rangeMax}, scan);
    } catch (const ros::serialization::StreamOverrunException&) {
        error = "LaserScan message of " + std::to_string(bytes.size()) + " bytes ends inside its fixed fields";
        return false;
    }
    return true;
}

// The bag's topics with their message counts. A topic written by several publishers has one
// connection each; a topic whose connections disagree about the type counts as LaserScan when
// any of them is, with only those messages counted, since only those are read.
//
// Names and types are kept as messages show them (control bytes as \xHH). Each connection's
// count, taken from the Index Data records the library reads the messages by, must match the
// bag's Chunk Info records when there are any (`expected`): else the index lost messages.
bool bagTopics(const rosbag::Bag& bag, const Ros1Index& expected, std::vector<TopicCount>& topics, std::string& error) {
    rosbag::View all(bag);
    for (const rosbag::ConnectionInfo* connection : all.getConnections()) {
        const std::uint32_t id = connection->id;
        rosbag::View one(bag, [id](const rosbag::ConnectionInfo* c) { return c->id == id; });
        const std::uint64_t messages = one.size();
        const std::string name = printableName(connection->topic);
        const auto counted = expected.messages.find(id);
        const std::uint64_t claimed = counted == expected.messages.end() ? 0 : counted->second;
        if (expected.found && claimed != messages) {
            error = "damaged bag index: the Chunk Info records count " + std::to_string(claimed) + " messages on " +
                    name + " (connection " + std::to_string(id) + "), its Index Data records list " +
                    std::to_string(messages);
            return false;
        }
        mergeTopic(topics, {name, printableName(connection->datatype), messages});
    }
    return true;
}

// What the library's exception says (it may quote the bag), made to read as one line of ours.
std::string libraryError(const std::exception& e) {
    const std::string what = printableName(e.what());
    return what.empty() ? "unreadable bag" : what;
}

// rosbag says "Error reading ..." when the file ends before what its records promise.
std::string ioError(const rosbag::BagIOException& e, const std::string& failed) {
    const std::string what = libraryError(e);
    if (what.compare(0, 13, "Error reading") != 0) return what;
    return failed + "; the file may be cut short (" + what + ")";
}

// rosbag passes on lz4's and bz2's own words for a chunk that won't decompress (ROSLZ4_...,
// BZ_..., or words about compressed data), which don't say that a chunk is what failed.
std::string chunkError(const std::exception& e) {
    const std::string what = libraryError(e);
    const bool decompressing = what.compare(0, 7, "ROSLZ4_") == 0 || what.compare(0, 3, "BZ_") == 0 ||
                               what.find("ompress") != std::string::npos;
    return decompressing ? "damaged compressed chunk (" + what + ")" : what;
}

std::string unindexedAdvice() {
    return "the bag has no index (recording stopped before it was closed); rebuild it with `rosbag reindex`";
}

// The bag is made here too, since even an empty rosbag::Bag may throw (it loads its plugins).
bool openBag(std::optional<rosbag::Bag>& bag, const std::string& file, const Ros1Index& expected,
             std::vector<TopicCount>& topics, std::string& error) {
    try {
        bag.emplace();
        bag->open(file, rosbag::bagmode::Read);
        return bagTopics(*bag, expected, topics, error);
    } catch (const rosbag::BagUnindexedException&) {
        error = unindexedAdvice();
    } catch (const rosbag::BagIOException& e) {
        error = ioError(e, "cannot read the bag's header and index");
    } catch (const rosbag::BagFormatException& e) {
        error = "damaged bag (" + libraryError(e) + ")";
    } catch (const std::bad_alloc&) {
        error = "damaged bag index (it asks for more memory than there is)";
    } catch (const std::exception& e) {
        error = libraryError(e);
    }
    return false;
}

struct Reading {
    const std::string& path;
    const RawScanSink& sink;
    std::string& error;
    std::uint64_t number = 0;  // of the LaserScan message being read, from 1
    std::vector<std::uint8_t> bytes;
    RawScan scan;
    std::vector<std::string> poseTopics;  // read for maps beside /tf and /tf_static
    std::uint64_t poseNumber = 0;         // of the pose or transform message being read, from 1
};

bool fail(Reading& r, const std::string& what) {
    r.error = r.path + ": message " + std::to_string(r.number) + ": " + what;
    return false;
}

// ---- poses, for maps ----------------------------------------------------------------------

Pose2D planePose(const geometry_msgs::Point& position, const geometry_msgs::Quaternion& rotation) {
    return Pose2D{position.x, position.y, yawOf(rotation.x, rotation.y, rotation.z, rotation.w)};
}

std::int64_t stampOf(const ros::Time& stamp, const rosbag::MessageInstance& message) {
    return stamp.isZero() ? static_cast<std::int64_t>(message.getTime().toNSec()) : static_cast<std::int64_t>(stamp.toNSec());
}

bool passOn(Reading& r, const PoseSample& sample, bool& more) {
    more = r.sink.pose(sample);
    return true;
}

template <typename Message>
boost::shared_ptr<Message> instantiated(Reading& r, const rosbag::MessageInstance& message) {
    boost::shared_ptr<Message> decoded = message.instantiate<Message>();
    if (!decoded) {
        r.error = r.path + ": " + message.getTopic() + " message " + std::to_string(r.poseNumber) + ": " +
                  message.getDataType() + " of another definition (md5sum " + message.getMD5Sum() + ")";
    }
    return decoded;
}

bool readTransforms(Reading& r, const rosbag::MessageInstance& message, bool& more) {
    const auto decoded = instantiated<tf2_msgs::TFMessage>(r, message);
    if (!decoded) return false;
    for (const geometry_msgs::TransformStamped& transform : decoded->transforms) {
        PoseSample sample;
        sample.stampNs = stampOf(transform.header.stamp, message);
        const geometry_msgs::Vector3& t = transform.transform.translation;
        const geometry_msgs::Quaternion& q = transform.transform.rotation;
        sample.pose = Pose2D{t.x, t.y, yawOf(q.x, q.y, q.z, q.w)};
        sample.topic = message.getTopic();
        sample.parent = transform.header.frame_id;
        sample.child = transform.child_frame_id;
        sample.fixed = isStaticTransformTopic(message.getTopic());
        if (!passOn(r, sample, more) || !more) return true;
    }
    return true;
}

template <typename Message>
bool readStampedPose(Reading& r, const rosbag::MessageInstance& message, bool& more) {
    const auto decoded = instantiated<Message>(r, message);
    if (!decoded) return false;
    PoseSample sample;
    sample.stampNs = stampOf(decoded->header.stamp, message);
    if constexpr (std::is_same_v<Message, geometry_msgs::PoseStamped>) {
        sample.pose = planePose(decoded->pose.position, decoded->pose.orientation);
    } else {
        sample.pose = planePose(decoded->pose.pose.position, decoded->pose.pose.orientation);
    }
    if constexpr (std::is_same_v<Message, nav_msgs::Odometry>) sample.child = decoded->child_frame_id;
    sample.topic = message.getTopic();
    sample.parent = decoded->header.frame_id;
    return passOn(r, sample, more);
}

// One message of a pose topic or of /tf or /tf_static: false on damage (error set).
bool readPoseMessage(Reading& r, const rosbag::MessageInstance& message, bool& more) {
    ++r.poseNumber;
    const std::string& type = message.getDataType();
    try {
        if (isTransformType(type)) return readTransforms(r, message, more);
        if (type == "nav_msgs/Odometry") return readStampedPose<nav_msgs::Odometry>(r, message, more);
        if (type == "geometry_msgs/PoseStamped") return readStampedPose<geometry_msgs::PoseStamped>(r, message, more);
        return readStampedPose<geometry_msgs::PoseWithCovarianceStamped>(r, message, more);
    } catch (const ros::Exception& e) {
        r.error = r.path + ": " + message.getTopic() + " message " + std::to_string(r.poseNumber) + ": damaged " + type +
                  " (" + libraryError(e) + ")";
        return false;
    }
}

bool isPoseConnection(const Reading& r, const rosbag::ConnectionInfo* c) {
    if (!r.sink.pose) return false;
    if (isTransformTopic(c->topic)) return isTransformType(c->datatype);
    for (const std::string& topic : r.poseTopics) {
        if (c->topic == topic && isPoseType(c->datatype)) return true;
    }
    return false;
}

// One message: false on damage (error set); `more` false when the sink wants no more.
bool readMessage(Reading& r, const rosbag::MessageInstance& message, bool& more) {
    if (message.getMD5Sum() != laserScanMd5() && message.getMD5Sum() != "*") {
        return fail(r, "sensor_msgs/LaserScan of another definition (md5sum " + printableName(message.getMD5Sum()) + ")");
    }
    r.bytes.clear();
    ByteBuffer buffer{&r.bytes};
    message.write(buffer);
    std::string what;
    if (!decodeRos1LaserScan(r.bytes, r.scan, what)) return fail(r, what);
    if (r.scan.stampNs == 0) r.scan.stampNs = static_cast<std::int64_t>(message.getTime().toNSec());
    more = r.sink.scan(r.scan);
    return true;
}

bool readScans(const rosbag::Bag& bag, const std::string& topic, Reading& r) {
    try {
        // Poses come in the same view, so that all arrive in the bag's time order.
        rosbag::View view(bag, [&topic, &r](const rosbag::ConnectionInfo* c) {
            return (printableName(c->topic) == topic && c->datatype == kLaserScanType) || isPoseConnection(r, c);
        });
        for (const rosbag::MessageInstance& message : view) {
            bool more = true;
            if (printableName(message.getTopic()) != topic || message.getDataType() != kLaserScanType) {
                if (!readPoseMessage(r, message, more)) return false;
                if (!more) return true;
                continue;
            }
            ++r.number;
            if (!readMessage(r, message, more)) return false;
            if (!more) return true;
        }
    } catch (const rosbag::BagUnindexedException&) {
        return fail(r, unindexedAdvice());
    } catch (const rosbag::BagIOException& e) {
        return fail(r, ioError(e, "cannot read it"));
    } catch (const std::bad_alloc&) {
        return fail(r, "damaged chunk (it asks for more memory than there is)");
    } catch (const std::exception& e) {
        return fail(r, chunkError(e));
    }
    return true;
}

bool readBag(const std::string& file, const std::string& path, const LogOptions& options, const Ros1Index& expected,
             const RawScanSink& sink, std::string& error) {
    // rosbag also logs its complaints through console_bridge; ours is the one line the user sees.
    console_bridge::setLogLevel(console_bridge::CONSOLE_BRIDGE_LOG_NONE);
    LogInfo info;
    info.format = LogFormat::ros1Bag;
    std::optional<rosbag::Bag> bag;
    std::vector<TopicCount> topics;
    std::string topic;
    const bool opened = openBag(bag, file, expected, topics, error);
    info.laserScanTopics = laserScanTopicNames(topics);
    if (!opened || !chooseLaserScanTopic(topics, options.topic, topic, error)) {
        if (opened && severalLaserScanTopics(topics, options.topic) && sink.begin) sink.begin(info);
        error = path + ": " + error;
        return false;
    }
    info.topic = topic;
    for (const TopicCount& t : topics) {
        if (t.name == topic) info.scanCount = t.messages;
    }
    Reading reading{path, sink, error, 0, {}, {}, {}, 0};
    if (sink.pose && !choosePoseTopics(topics, sink.poseTopic, reading.poseTopics, error)) {
        error = path + ": " + error;
        if (sink.begin) sink.begin(info);
        return false;
    }
    if (sink.begin) sink.begin(info);
    return readScans(*bag, topic, reading);
}


// The child's memory beyond what it inherits: the library's own needs, and for each chunk it
// holds (one at a time) the chunk as stored and unpacked, with room for copies of both.
// Without an index to measure chunks by, a fixed allowance.
constexpr std::uint64_t kLibraryAllowance = std::uint64_t{96} << 20;
constexpr std::uint64_t kUnmeasuredAllowance = std::uint64_t{512} << 20;

std::uint64_t allowanceFor(const Ros1Index& index) {
    return index.found ? kLibraryAllowance + 3 * index.largestChunk : kUnmeasuredAllowance;
}

bool readWithIndex(int fd, const std::string& file, const std::string& path, const LogOptions& options,
                   const RawScanSink& sink, std::string& error) {
    ChildReading how;
    how.path = path;
    how.crashText = "the bag is damaged: the ROS bag library crashed reading it";
    how.poses = static_cast<bool>(sink.pose);
    how.poseTopic = sink.poseTopic;
    Ros1Index index;
    if (!readRos1Index(fd, index, error)) {
        error = path + ": " + error;
        return false;
    }
    if (!canReadInChild()) return readBag(file, path, options, index, sink, error);
    how.keepFds.push_back(fd);
    how.memoryAllowance = allowanceFor(index);
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    const ChildRead inChild = [&](const RawScanSink& childSink, std::string& childError) {
        return readBag(name, path, options, index, childSink, childError);
    };
    return readInChild(how, inChild, sink, error);
}

}  // namespace

bool readRos1Bag(const std::string& file, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                 std::string& error) {
    const int fd = openForChild(file);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = readWithIndex(fd, file, path, options, sink, error);
    close(fd);
    return ok;
}
