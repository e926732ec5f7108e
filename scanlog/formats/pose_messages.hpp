// The ROS messages maps take poses from, shared by the ROS 1 and ROS 2 readers.
#pragma once

#include <string>
#include <vector>

#include "format_reader.hpp"
#include "topics.hpp"

// nav_msgs/Odometry, geometry_msgs/PoseStamped, geometry_msgs/PoseWithCovarianceStamped, in
// ROS 1's or ROS 2's spelling.
bool isPoseType(const std::string& type);
// tf2_msgs/TFMessage (and ROS 1's older tf/tfMessage, the same message).
bool isTransformType(const std::string& type);
bool isTransformTopic(const std::string& topic);  // /tf or /tf_static, with or without the slash
bool isStaticTransformTopic(const std::string& topic);

// The rotation about z of a unit quaternion; roll and pitch are left out.
double yawOf(double x, double y, double z, double w);

// The topics a map reads poses from: `wanted` (with or without a leading slash), or every
// topic of a pose type when it is empty. False with `error` set (without "PATH: ") when
// `wanted` is not a pose topic of the bag.
bool choosePoseTopics(const std::vector<TopicCount>& topics, const std::string& wanted,
                      std::vector<std::string>& chosen, std::string& error);
