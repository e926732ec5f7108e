// The ROS 1 bag reader, on bags the tests write with rosbag::Bag itself, and the choice of the
// LaserScan topic that all bag readers share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_source.hpp"
#include "topics.hpp"

namespace {

// ---- topic choice -------------------------------------------------------------------------

struct TopicCase {
    const char* label;
    std::vector<TopicCount> topics;
    std::string wanted;
    bool ok;
    std::string chosenOrError;
};

const TopicCount kImu{"/imu", "sensor_msgs/Imu", 50};
const TopicCount kFront{"/front_scan", "sensor_msgs/LaserScan", 1200};
const TopicCount kRear{"/rear_scan", "sensor_msgs/LaserScan", 1187};
const TopicCount kBare{"right_scan", "sensor_msgs/LaserScan", 1};
const TopicCount kRos2{"/scan", "sensor_msgs/msg/LaserScan", 7};

class TopicChoice : public testing::TestWithParam<TopicCase> {};

TEST_P(TopicChoice, ChoosesOrSaysWhy) {
    const TopicCase& c = GetParam();
    std::string chosen = "untouched", error;
    EXPECT_EQ(chooseLaserScanTopic(c.topics, c.wanted, chosen, error), c.ok);
    EXPECT_EQ(c.ok ? chosen : error, c.chosenOrError);
    if (!c.ok) {
        EXPECT_EQ(chosen, "untouched");
    }
}

std::vector<TopicCount> manyTopics(int count) {
    std::vector<TopicCount> topics;
    for (int i = 0; i < count; ++i) topics.push_back({"/t" + std::to_string(i), "std_msgs/String", 1});
    return topics;
}

INSTANTIATE_TEST_SUITE_P(
    Topics, TopicChoice,
    testing::Values(
        TopicCase{"only", {kImu, kFront}, "", true, "/front_scan"},
        TopicCase{"ros2_type", {kImu, kRos2}, "", true, "/scan"},
        TopicCase{"several",
                  {kFront, kImu, kRear},
                  "",
                  false,
                  "several LaserScan topics; choose one with --topic: /front_scan (1200 messages), /rear_scan "
                  "(1187 messages)"},
        TopicCase{"none", {kImu}, "", false, "no sensor_msgs/LaserScan topic (topics: /imu (sensor_msgs/Imu))"},
        TopicCase{"empty_bag", {}, "", false, "no sensor_msgs/LaserScan topic (topics: the bag has none)"},
        TopicCase{"long_list_cut",
                  manyTopics(11),
                  "",
                  false,
                  "no sensor_msgs/LaserScan topic (topics: /t0 (std_msgs/String), /t1 (std_msgs/String), /t2 "
                  "(std_msgs/String), /t3 (std_msgs/String), /t4 (std_msgs/String), /t5 (std_msgs/String), /t6 "
                  "(std_msgs/String), /t7 (std_msgs/String) and 3 more)"},
        TopicCase{"wanted_exact", {kFront, kRear}, "/rear_scan", true, "/rear_scan"},
        TopicCase{"wanted_slash_added", {kBare, kImu}, "/right_scan", true, "right_scan"},
        TopicCase{"wanted_slash_left_out", {kFront, kRear}, "front_scan", true, "/front_scan"},
        TopicCase{"exact_beats_slash", {kBare, {"/right_scan", "sensor_msgs/LaserScan", 3}}, "right_scan", true,
                  "right_scan"},
        TopicCase{"only_one_slash_is_optional",
                  {{"/a/scan", "sensor_msgs/LaserScan", 1}, {"a/scan", "sensor_msgs/LaserScan", 2}},
                  "//a/scan",
                  false,
                  "no topic //a/scan in the bag; LaserScan topics: /a/scan (1 message), a/scan (2 messages)"},
        TopicCase{"missing",
                  {kFront, kImu},
                  "/back",
                  false,
                  "no topic /back in the bag; LaserScan topics: /front_scan (1200 messages)"},
        TopicCase{"missing_no_scans", {kImu}, "/back", false,
                  "no topic /back in the bag; the bag has no LaserScan topic"},
        TopicCase{"not_laserscan",
                  {kFront, kImu},
                  "imu",
                  false,
                  "topic /imu holds sensor_msgs/Imu, not LaserScan; LaserScan topics: /front_scan (1200 "
                  "messages)"}),
    [](const testing::TestParamInfo<TopicCase>& info) { return std::string(info.param.label); });

}  // namespace
