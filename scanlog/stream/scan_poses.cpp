#include "scan_poses.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kTwoPi = 2 * 3.141592653589793;
// Samples kept from before the oldest scan still to place, for scans whose stamps step back.
constexpr std::int64_t kKeptHistoryNs = 2000000000;
constexpr std::size_t kMaxSamples = 200000;  // a track's samples at most, whatever the gaps

enum class Placing { placed, waiting, outsideSpan, farFromPose };

bool earlier(const PoseSample& sample, std::int64_t stampNs) { return sample.stampNs < stampNs; }

// The track's pose at `stampNs`.
Placing poseOf(const PoseTrack& track, std::int64_t stampNs, Pose2D& pose) {
    if (track.fixed) {
        pose = track.fixedPose;
        return Placing::placed;
    }
    const auto& samples = track.samples;
    const auto after = std::lower_bound(samples.begin(), samples.end(), stampNs, earlier);
    if (after == samples.end()) return track.ended ? Placing::outsideSpan : Placing::waiting;
    if (after->stampNs == stampNs) {
        pose = after->pose;
        return Placing::placed;
    }
    if (after == samples.begin()) return Placing::outsideSpan;
    const PoseSample& before = *(after - 1);
    // Stamps from a log may lie anywhere in 64 bits: their differences need more.
    const __int128 sinceBefore = static_cast<__int128>(stampNs) - before.stampNs;
    const __int128 untilAfter = static_cast<__int128>(after->stampNs) - stampNs;
    if (std::min(sinceBefore, untilAfter) > kMaxPoseGapNs) return Placing::farFromPose;
    const double fraction = static_cast<double>(sinceBefore) / static_cast<double>(sinceBefore + untilAfter);
    pose = interpolatePoses(before.pose, after->pose, fraction);
    return Placing::placed;
}

Placing laserPoseOf(const ScanPoser& poser, std::int64_t stampNs, Pose2D& laser) {
    laser = Pose2D{};
    for (const PoseTrack& track : poser.chain) {
        Pose2D step;
        const Placing placing = poseOf(track, stampNs, step);
        if (placing != Placing::placed) return placing;
        laser = composePoses(laser, step);
    }
    return Placing::placed;
}

// Drops samples that no scan still to come will need: all but one from before the oldest
// stamp that may still be asked for.
void dropOldSamples(ScanPoser& poser) {
    std::int64_t oldest = std::numeric_limits<std::int64_t>::min();
    if (poser.anyScan) {
        const std::int64_t asked = poser.waiting.empty() ? poser.newestStampNs
                                                         : std::min(poser.newestStampNs, poser.waiting.front().stampNs);
        if (asked > oldest + kKeptHistoryNs) oldest = asked - kKeptHistoryNs;
    }
    for (PoseTrack& track : poser.chain) {
        auto& samples = track.samples;
        while (samples.size() >= 2 && (samples[1].stampNs <= oldest || samples.size() > kMaxSamples)) {
            samples.pop_front();
        }
    }
}

// Places the waiting scans, oldest first, until one must still wait.
bool placeWaiting(ScanPoser& poser) {
    while (poser.ready && !poser.waiting.empty() && !poser.stopped) {
        const RawScan& scan = poser.waiting.front();
        Pose2D laser;
        const Placing placing = laserPoseOf(poser, scan.stampNs, laser);
        if (placing == Placing::waiting) break;
        if (placing == Placing::placed) {
            ++poser.counts.placed;
            if (!poser.placed(scan, laser)) poser.stopped = true;
        } else if (placing == Placing::outsideSpan) {
            ++poser.counts.outsideSpan;
        } else {
            ++poser.counts.farFromPose;
        }
        poser.waiting.pop_front();
    }
    dropOldSamples(poser);
    return !poser.stopped;
}

}  // namespace

Pose2D composePoses(const Pose2D& outer, const Pose2D& inner) {
    const double c = std::cos(outer.yaw), s = std::sin(outer.yaw);
    return Pose2D{outer.x + c * inner.x - s * inner.y, outer.y + s * inner.x + c * inner.y, outer.yaw + inner.yaw};
}

Pose2D interpolatePoses(const Pose2D& a, const Pose2D& b, double fraction) {
    const double turn = std::remainder(b.yaw - a.yaw, kTwoPi);
    return Pose2D{a.x + fraction * (b.x - a.x), a.y + fraction * (b.y - a.y), a.yaw + fraction * turn};
}

bool addPosedScan(ScanPoser& poser, const RawScan& scan) {
    if (poser.stopped) return false;
    poser.newestStampNs = poser.anyScan ? std::max(poser.newestStampNs, scan.stampNs) : scan.stampNs;
    poser.anyScan = true;
    if (poser.waiting.size() == kMaxWaitingScans) {
        // No pose has come for the oldest scan in all this time: it is far from any.
        ++poser.counts.farFromPose;
        poser.waiting.pop_front();
    }
    poser.waiting.push_back(scan);
    return placeWaiting(poser);
}

bool addPoseSample(ScanPoser& poser, std::size_t track, const PoseSample& sample) {
    if (poser.stopped) return false;
    auto& samples = poser.chain[track].samples;
    if (samples.empty() || samples.back().stampNs < sample.stampNs) {
        samples.push_back(sample);
    } else {
        const auto at = std::lower_bound(samples.begin(), samples.end(), sample.stampNs, earlier);
        if (at != samples.end() && at->stampNs == sample.stampNs) {
            *at = sample;  // the later word on the same instant
        } else {
            samples.insert(at, sample);
        }
    }
    return placeWaiting(poser);
}

bool placeWaitingScans(ScanPoser& poser) { return placeWaiting(poser); }

void finishPoses(ScanPoser& poser) {
    for (PoseTrack& track : poser.chain) track.ended = true;
    placeWaiting(poser);
}
