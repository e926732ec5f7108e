#include "topics.hpp"

#include <string_view>

namespace {

// Long lists are cut here, so that the message stays one readable line.
constexpr std::size_t kListedTopics = 8;

std::string messageCount(std::uint64_t messages) {
    return std::to_string(messages) + (messages == 1 ? " message" : " messages");
}

std::vector<const TopicCount*> laserScanTopics(const std::vector<TopicCount>& topics) {
    std::vector<const TopicCount*> found;
    for (const TopicCount& topic : topics) {
        if (isLaserScanType(topic.type)) found.push_back(&topic);
    }
    return found;
}

// "a, b, c and 5 more": items past kListedTopics are counted, not named.
std::string listOf(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size() && i < kListedTopics; ++i) text += (i ? ", " : "") + items[i];
    if (items.size() > kListedTopics) text += " and " + std::to_string(items.size() - kListedTopics) + " more";
    return text;
}

std::string laserScanList(const std::vector<const TopicCount*>& scans) {
    std::vector<std::string> items;
    for (const TopicCount* topic : scans) items.push_back(topic->name + " (" + messageCount(topic->messages) + ")");
    return listOf(items);
}

std::string allTopicsList(const std::vector<TopicCount>& topics) {
    if (topics.empty()) return "the bag has none";
    std::vector<std::string> items;
    for (const TopicCount& topic : topics) items.push_back(topic.name + " (" + topic.type + ")");
    return listOf(items);
}

std::string_view withoutLeadingSlash(std::string_view name) {
    return !name.empty() && name.front() == '/' ? name.substr(1) : name;
}

// The topic the user means: the one stored exactly so, or else the one that differs only by a
// leading slash (ROS 1 bags may hold `right_scan` where users type `/right_scan`). A bag can't
// hold two topics that differ only so and both differ from `wanted`, so the choice is unique.
const TopicCount* topicNamed(const std::vector<TopicCount>& topics, const std::string& wanted) {
    for (const TopicCount& topic : topics) {
        if (topic.name == wanted) return &topic;
    }
    for (const TopicCount& topic : topics) {
        if (withoutLeadingSlash(topic.name) == withoutLeadingSlash(wanted)) return &topic;
    }
    return nullptr;
}

std::string availableScans(const std::vector<const TopicCount*>& scans) {
    return scans.empty() ? "the bag has no LaserScan topic" : "LaserScan topics: " + laserScanList(scans);
}

bool chooseWanted(const std::vector<TopicCount>& topics, const std::string& wanted, std::string& chosen,
                  std::string& error) {
    const std::vector<const TopicCount*> scans = laserScanTopics(topics);
    const TopicCount* named = topicNamed(topics, wanted);
    if (named == nullptr) {
        error = "no topic " + wanted + " in the bag; " + availableScans(scans);
        return false;
    }
    if (!isLaserScanType(named->type)) {
        error = "topic " + named->name + " holds " + named->type + ", not LaserScan; " + availableScans(scans);
        return false;
    }
    chosen = named->name;
    return true;
}

}  // namespace

bool isLaserScanType(const std::string& type) {
    return type == "sensor_msgs/LaserScan" || type == "sensor_msgs/msg/LaserScan";
}

std::vector<std::string> laserScanTopicNames(const std::vector<TopicCount>& topics) {
    std::vector<std::string> names;
    for (const TopicCount* topic : laserScanTopics(topics)) names.push_back(topic->name);
    return names;
}

bool chooseLaserScanTopic(const std::vector<TopicCount>& topics, const std::string& wanted, std::string& chosen,
                          std::string& error) {
    if (!wanted.empty()) return chooseWanted(topics, wanted, chosen, error);
    const std::vector<const TopicCount*> scans = laserScanTopics(topics);
    if (scans.size() == 1) {
        chosen = scans[0]->name;
        return true;
    }
    if (scans.empty()) {
        error = "no sensor_msgs/LaserScan topic (topics: " + allTopicsList(topics) + ")";
    } else {
        error = "several LaserScan topics; choose one with --topic: " + laserScanList(scans);
    }
    return false;
}

void mergeTopic(std::vector<TopicCount>& topics, const TopicCount& part) {
    for (TopicCount& topic : topics) {
        if (topic.name != part.name) continue;
        const bool wasScan = isLaserScanType(topic.type), isScan = isLaserScanType(part.type);
        if (wasScan == isScan) {
            topic.messages += part.messages;
        } else if (isScan) {
            topic.type = part.type;
            topic.messages = part.messages;
        }
        return;
    }
    topics.push_back(part);
}
