// Choosing the LaserScan topic of a bag, shared by the ROS 1, ROS 2 (SQLite) and MCAP readers so
// that all three say the same thing when the choice fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A topic as a bag lists it: its name as stored, its message type (`sensor_msgs/LaserScan` in
// ROS 1, `sensor_msgs/msg/LaserScan` in ROS 2) and how many messages it holds.
struct TopicCount {
    std::string name;
    std::string type;
    std::uint64_t messages = 0;
};

bool isLaserScanType(const std::string& type);

// The names of the LaserScan topics among `topics`, in their order (for LogInfo).
std::vector<std::string> laserScanTopicNames(const std::vector<TopicCount>& topics);

// Adds `part` (one connection's, channel's or file's messages on a topic) to `topics`: to the
// topic of the same name when there is one, else as a new topic at the end. A topic whose parts
// disagree about the type counts as LaserScan when any of them is, with only those messages
// counted, since only those are read.
void mergeTopic(std::vector<TopicCount>& topics, const TopicCount& part);

// Picks the LaserScan topic: `wanted` (with or without a leading slash, when that is
// unambiguous), or with `wanted` empty the only LaserScan topic there is. False with `error`
// set (without the "PATH: " prefix) when there is none, several, or `wanted` is not a
// LaserScan topic of the bag; `chosen` is the name as stored.
bool chooseLaserScanTopic(const std::vector<TopicCount>& topics, const std::string& wanted, std::string& chosen,
                          std::string& error);
