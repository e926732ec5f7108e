// Where each scan was taken, from the poses a log holds beside its scans.
//
// The laser's pose at a scan's stamp is composed along a chain of transforms, from the map's
// fixed frame outwards: each a track of timed samples (odometry, a pose topic, a transform
// that moves) or a fixed one (the laser's mounting). A moving one is interpolated between
// the two samples around the stamp: linearly in x and y, yaw by the shorter way round.
//
// Logs are read in one pass, and a scan may come before the pose samples after it, so scans
// wait in a bounded window until every track can place them; their order is kept. Samples
// the window no longer needs are dropped: memory stays bounded whatever the log's length.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "formats/format_reader.hpp"

// A scan further than this from its nearest pose sample is left out.
constexpr std::int64_t kMaxPoseGapNs = 500000000;
// Scans held while waiting for poses; past this the oldest is left out.
constexpr std::size_t kMaxWaitingScans = 2000;

struct PoseTrack {
    bool fixed = false;            // one pose for all time (fixedPose)
    Pose2D fixedPose;
    std::deque<PoseSample> samples;  // by stamp
    bool ended = false;            // no more samples will come
};

struct PosedScanCounts {
    std::uint64_t placed = 0;
    std::uint64_t outsideSpan = 0;  // before the first or after the last pose sample
    std::uint64_t farFromPose = 0;  // more than kMaxPoseGapNs from the nearest sample
};

struct ScanPoser {
    std::vector<PoseTrack> chain;  // from the fixed frame out to the laser
    std::function<bool(const RawScan&, const Pose2D&)> placed;  // false: stop
    std::deque<RawScan> waiting;
    PosedScanCounts counts;
    bool anyScan = false;
    std::int64_t newestStampNs = 0;  // of the scans seen, when anyScan
    bool stopped = false;
    bool ready = true;  // false while the chain is not known yet: scans only wait
};

Pose2D composePoses(const Pose2D& outer, const Pose2D& inner);
// The pose `fraction` of the way from `a` to `b`.
Pose2D interpolatePoses(const Pose2D& a, const Pose2D& b, double fraction);

// A scan to place; false when the consumer asked to stop.
bool addPosedScan(ScanPoser& poser, const RawScan& scan);
// A sample of track `track`; false when the consumer asked to stop.
bool addPoseSample(ScanPoser& poser, std::size_t track, const PoseSample& sample);
// Places what waits and can be placed now: after the chain was set up or changed.
bool placeWaitingScans(ScanPoser& poser);
// The log has ended: scans still waiting lie after the last sample of some track.
void finishPoses(ScanPoser& poser);
