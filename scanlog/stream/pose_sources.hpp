// Which of a log's poses place its scans, and how they chain up to the laser.
//
// CARMEN laser lines carry their own pose; scans without one take the robot's pose from the
// ODOM lines. ROS bags hold a pose topic (Odometry, PoseStamped, PoseWithCovarianceStamped),
// or /tf and /tf_static: the transforms from a fixed frame down to the scan's frame_id. Since
// a log is read once, the choice is made as soon as what has been read allows it; scans wait
// until then (a bounded number of them).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "stream/scan_poses.hpp"

struct PoseChoice {
    std::string poseTopic;   // --pose: this topic (and the laser's offset); empty: as the log allows
    std::string fixedFrame;  // --fixed-frame; empty: map when the transforms have it, else odom
    bool hasLaserPose = false;
    Pose2D laserPose;        // --laser-pose: the laser on the robot, when /tf_static does not say
};

enum class PoseMode { undecided, topic, transforms };

// One transform of the tree, as read before the choice was made.
struct TransformEdge {
    std::string parent;
    bool fixed = false;
    PoseTrack track;
};

struct PoseSources {
    PoseChoice choice;
    ScanPoser poser;
    PoseMode mode = PoseMode::undecided;
    std::string scanFrame;                             // of the first scan that needs a pose
    std::map<std::string, TransformEdge> edges;        // by child frame
    std::map<std::string, std::deque<PoseSample>> topics;  // pose topics' samples, while undecided
    std::string topic;                                 // the chosen pose topic
    std::map<std::string, std::size_t> chainIndex;     // transforms: child frame -> place in the chain
    std::uint64_t samples = 0;                         // pose samples used
    std::string description;                           // where the poses come from, for the summary
    std::string mounting;                              // where the laser's offset comes from (pose topics)
    std::string failure;                               // no choice could be made: why
};

void startPoseSources(PoseSources& sources, const PoseChoice& choice,
                      std::function<bool(const RawScan&, const Pose2D&)> placed);
// A scan without a pose of its own; false when the consumer asked to stop, or no source of
// poses can be chosen (failure set).
bool addScanNeedingPose(PoseSources& sources, const RawScan& scan);
bool addLogPose(PoseSources& sources, const PoseSample& sample);
// The log has ended: decides if still undecided, and places or leaves out every waiting scan.
void finishPoseSources(PoseSources& sources);

// "a" from "/a": transforms name frames without the slash, older bags with it.
std::string frameName(const std::string& frame);
