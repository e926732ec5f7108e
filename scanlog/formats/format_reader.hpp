// The formats layer (scanlog/formats/): the format readers' side of scanlog, what a reader is
// given and what it hands on. It includes nothing of scanlog's other layers, only the viewer's
// libraries.
//
// Each unit in this folder reads one input format (CARMEN logs, ROS 1 bags, ROS 2 bags in
// SQLite or MCAP) and turns its laser messages into RawScans: the sensor's own beams, in
// metres, with their geometry and time. Readers know nothing of scan files, stamps as
// written, pacing or pictures; the log stream above them does that. A new input format is one
// more unit here, declared at the end of this header, a case in LogFormat, and where the log
// stream recognises a log and runs its reader (stream/recognise.cpp, stream/log_source.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <sys/types.h>
#include <vector>

#include "scan_reader.hpp"

enum class StampMode { relative, absolute, index };

struct LogOptions {
    std::string topic;  // ROS bags: the LaserScan topic; empty: the only one there is
    std::string laser;  // CARMEN: the line kind; empty: the front laser
    StampMode stamp = StampMode::relative;
    double facing = 0;  // degrees: the sensor's bearing that the records put straight ahead
};

// A pose in the plane: metres, and radians counter-clockwise from the x axis.
struct Pose2D {
    double x = 0, y = 0, yaw = 0;
};

// One scan as the sensor gave it, before resampling.
struct RawScan {
    std::int64_t stampNs = 0;      // nanoseconds (since the epoch for ROS); 0 when unknown
    double angleMin = 0;           // bearing of beam 0 in radians, counter-clockwise positive
    double angleIncrement = 0;     // radians from one beam to the next; may be negative
    double rangeMin = 0;           // metres; a reading below it is no return
    double rangeMax = std::numeric_limits<double>::infinity();  // metres; above it: no return
    bool rangeMaxIsNoReturn = false;  // CARMEN RAWLASER: a reading equal to the maximum too
    std::vector<double> ranges;    // metres, beam 0 first
    // For maps. CARMEN FLASER/RLASER lines have no range limit of their own: readings at or
    // above this are no return there (the log's PARAM robot_*_laser_max, else the sensors'
    // no-return code). Infinite for every other kind of scan.
    double noReturnFrom = std::numeric_limits<double>::infinity();
    bool hasPose = false;          // CARMEN laser lines that carry the laser's pose
    Pose2D pose;                   // the laser's pose in the log's fixed frame, when hasPose
    std::string frameId;           // ROS: the frame the scan was taken in
};

// A pose the log holds beside its scans, for maps: `child`'s pose in `parent`'s frame at
// `stampNs`. CARMEN ODOM lines: the robot's pose in the log's fixed frame, `topic` "ODOM".
// ROS bags: a message of a pose topic (`parent` its frame_id, `child` the Odometry's
// child_frame_id or empty), or one transform of /tf or /tf_static (`fixed`: for all time).
struct PoseSample {
    std::int64_t stampNs = 0;
    Pose2D pose;
    std::string topic, parent, child;
    bool fixed = false;
};

// The formats scanlog reads. A new input format adds its case here and its name below.
enum class LogFormat { scanFile, carmen, ros1Bag, ros2Sqlite, mcap };

// The format as messages and `scanlog info` name it.
constexpr const char* formatName(LogFormat format) {
    switch (format) {
        case LogFormat::scanFile: return "scan file";
        case LogFormat::carmen: return "CARMEN log";
        case LogFormat::ros1Bag: return "ROS 1 bag";
        case LogFormat::ros2Sqlite: return "ROS 2 bag (SQLite)";
        case LogFormat::mcap: return "MCAP";
    }
    return "";
}

// What a reader knows about the log before its first scan.
struct LogInfo {
    LogFormat format = LogFormat::scanFile;
    std::string topic;           // the topic or line kind the scans come from; empty for scan files
    std::vector<std::string> laserScanTopics;  // bags: every LaserScan topic they hold, as stored
    std::uint64_t scanCount = 0;  // scans the log holds, when the format says so; 0 unknown
    bool compressed = false;     // the file was gzip-compressed
};

// What a reader reports to: `begin` at most once, before the first scan, `scan` for every scan
// in order. `scan` returns false when the consumer wants no more; the reader then stops and
// returns true. A reader that fails before it knows what to say in `begin` just returns false:
// readLog announces the log then, so that every consumer hears what the log was. A bag whose
// LaserScan topic is left open among several is announced with them (severalLaserScanTopics).
struct RawScanSink {
    std::function<void(const LogInfo&)> begin;
    std::function<bool(const RawScan&)> scan;
    // May be empty: readers then skip the log's poses unread. Returns false like `scan`.
    std::function<bool(const PoseSample&)> pose;
    // ROS bags: the pose topic to read beside /tf and /tf_static; empty: every topic of a pose
    // type.
    std::string poseTopic{};
};

// ---- format readers: each hands its scans to `sink` and returns false with `error` set
// ---- ("FILE: PLACE: WHAT", without "scanlog: ", which readLog adds) on damage. `path` is
// ---- what the user gave; `file` what to open.

// Text logs are read through a ByteReader (the viewer's, in scan_reader.hpp), so gzip is undone
// on the fly.
bool readCarmenLog(const ByteReader& bytes, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                   std::string& error);
bool readRos1Bag(const std::string& file, const std::string& path, const LogOptions& options, const RawScanSink& sink,
                 std::string& error);
// `files`: the bag's .db3 files in order (from metadata.yaml, or the one file given).
bool readRos2Sqlite(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
                    const RawScanSink& sink, std::string& error);
bool readMcap(const std::vector<std::string>& files, const std::string& path, const LogOptions& options,
              const RawScanSink& sink, std::string& error);

// Decodes a CDR-encoded sensor_msgs/msg/LaserScan (ROS 2), encapsulation header included.
// False with `error` set to what is wrong (no file or place: the caller adds those).
bool decodeRos2LaserScan(const unsigned char* data, std::size_t size, RawScan& scan, std::string& error);

// The fields every sensor_msgs/LaserScan holds, as ROS 1 and ROS 2 both store them, put into
// `scan` (its ranges and frame id are the decoder's): one place for the meaning of each.
struct LaserScanFields {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    float angleMin = 0, angleIncrement = 0, rangeMin = 0, rangeMax = 0;
};
inline void takeLaserScanFields(const LaserScanFields& fields, RawScan& scan) {
    scan.stampNs = fields.seconds * 1000000000 + fields.nanoseconds;
    scan.angleMin = fields.angleMin;
    scan.angleIncrement = fields.angleIncrement;
    scan.rangeMin = fields.rangeMin;
    scan.rangeMax = fields.rangeMax;
    scan.rangeMaxIsNoReturn = false;
}
// Decodes a CDR-encoded pose message of ROS 2 type `type` (nav_msgs/msg/Odometry,
// geometry_msgs/msg/PoseStamped or PoseWithCovarianceStamped: one sample; tf2_msgs/msg/TFMessage:
// one a transform), handing each to `take` with `topic` set. False with `error` set on damage.
bool decodeRos2Poses(const unsigned char* data, std::size_t size, const std::string& type, const std::string& topic,
                     const std::function<void(const PoseSample&)>& take, std::string& error);
