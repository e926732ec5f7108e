#include "pose_messages.hpp"

#include <cmath>

namespace {

std::string withoutLeadingSlash(const std::string& name) { return !name.empty() && name[0] == '/' ? name.substr(1) : name; }

}  // namespace

bool isPoseType(const std::string& type) {
    return type == "nav_msgs/Odometry" || type == "nav_msgs/msg/Odometry" || type == "geometry_msgs/PoseStamped" ||
           type == "geometry_msgs/msg/PoseStamped" || type == "geometry_msgs/PoseWithCovarianceStamped" ||
           type == "geometry_msgs/msg/PoseWithCovarianceStamped";
}

bool isTransformType(const std::string& type) {
    return type == "tf2_msgs/TFMessage" || type == "tf2_msgs/msg/TFMessage" || type == "tf/tfMessage";
}

bool isTransformTopic(const std::string& topic) {
    const std::string name = withoutLeadingSlash(topic);
    return name == "tf" || name == "tf_static";
}

bool isStaticTransformTopic(const std::string& topic) { return withoutLeadingSlash(topic) == "tf_static"; }

double yawOf(double x, double y, double z, double w) { return std::atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)); }

bool choosePoseTopics(const std::vector<TopicCount>& topics, const std::string& wanted,
                      std::vector<std::string>& chosen, std::string& error) {
    chosen.clear();
    std::string available;
    for (const TopicCount& topic : topics) {
        if (!isPoseType(topic.type)) continue;
        available += (available.empty() ? "" : ", ") + topic.name + " (" + topic.type + ")";
        if (wanted.empty() || withoutLeadingSlash(topic.name) == withoutLeadingSlash(wanted)) chosen.push_back(topic.name);
    }
    if (!wanted.empty() && chosen.empty()) {
        error = "--pose " + wanted + " is not a pose topic of the bag (" +
                (available.empty() ? "it has none" : "pose topics: " + available) + ")";
        return false;
    }
    return true;
}
