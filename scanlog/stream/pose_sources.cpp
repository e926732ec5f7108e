#include "pose_sources.hpp"

#include <algorithm>
#include <set>

#include "formats/pose_messages.hpp"
#include "scan_reader.hpp"

namespace {

constexpr std::size_t kMaxBufferedSamples = 200000;  // a topic's or a transform's, while undecided
constexpr std::size_t kListedNames = 8;

std::string listOf(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kListedNames; ++i) text += (i ? ", " : "") + printableName(names[i]);
    if (names.size() > kListedNames) text += " and " + std::to_string(names.size() - kListedNames) + " more";
    return text.empty() ? "none" : text;
}

void buffer(std::deque<PoseSample>& samples, const PoseSample& sample) {
    if (samples.size() == kMaxBufferedSamples) samples.pop_front();
    samples.push_back(sample);
}

void keepTransform(PoseSources& s, const PoseSample& sample) {
    const std::string child = frameName(sample.child);
    auto [place, added] = s.edges.try_emplace(child);
    TransformEdge& edge = place->second;
    if (added) {
        edge.parent = frameName(sample.parent);
        edge.fixed = sample.fixed;
    }
    if (edge.fixed) {
        edge.track.fixed = true;
        edge.track.fixedPose = sample.pose;
    } else {
        buffer(edge.track.samples, sample);
    }
}

bool hasFrame(const PoseSources& s, const std::string& frame) {
    if (s.edges.count(frame) > 0) return true;
    for (const auto& [child, edge] : s.edges) {
        if (edge.parent == frame) return true;
    }
    return false;
}

std::string fixedFrameOf(const PoseSources& s) {
    if (!s.choice.fixedFrame.empty()) return frameName(s.choice.fixedFrame);
    return hasFrame(s, "map") ? "map" : "odom";
}

// The frames from `fixed` down to the scan's frame, each named by its child frame; empty when
// the tree does not lead there.
std::vector<std::string> chainTo(const PoseSources& s, const std::string& fixed) {
    std::vector<std::string> chain;
    std::string frame = s.scanFrame;
    std::set<std::string> seen;
    while (frame != fixed) {
        const auto edge = s.edges.find(frame);
        if (edge == s.edges.end() || !seen.insert(frame).second) return {};
        chain.push_back(frame);
        frame = edge->second.parent;
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// The laser's mounting from the transforms that never move, up from the scan's frame.
bool staticOffset(const PoseSources& s, Pose2D& offset, std::string& from) {
    std::vector<const TransformEdge*> steps;
    std::string frame = s.scanFrame;
    std::set<std::string> seen;
    for (auto edge = s.edges.find(frame); edge != s.edges.end() && edge->second.fixed && seen.insert(frame).second;
         edge = s.edges.find(frame)) {
        steps.push_back(&edge->second);
        frame = edge->second.parent;
    }
    if (steps.empty()) return false;
    offset = Pose2D{};
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) offset = composePoses(offset, (*step)->track.fixedPose);
    from = frame;
    return true;
}

void useTransforms(PoseSources& s, const std::vector<std::string>& chain, const std::string& fixed) {
    s.mode = PoseMode::transforms;
    std::size_t moving = 0;
    for (const std::string& child : chain) {
        s.chainIndex[child] = s.poser.chain.size();
        TransformEdge& edge = s.edges[child];
        if (!edge.fixed) ++moving;
        s.samples += edge.track.samples.size();
        s.poser.chain.push_back(std::move(edge.track));
    }
    s.edges.clear();
    s.topics.clear();
    s.description = "/tf, " + printableName(fixed) + " to " + printableName(s.scanFrame) + " through " + std::to_string(chain.size()) +
                    " transforms (" + std::to_string(moving) + " moving)";
}

// `topic` by value: the name may be a key of the samples this lets go.
void useTopic(PoseSources& s, const std::string topic) {
    s.mode = PoseMode::topic;
    s.topic = topic;
    PoseTrack track;
    const auto samples = s.topics.find(topic);
    if (samples != s.topics.end()) track.samples.assign(samples->second.begin(), samples->second.end());
    std::sort(track.samples.begin(), track.samples.end(),
              [](const PoseSample& a, const PoseSample& b) { return a.stampNs < b.stampNs; });
    s.samples += track.samples.size();
    PoseTrack mounting;
    mounting.fixed = true;
    std::string from, offsetText = "the laser at the robot's pose";
    if (topic != "ODOM" && staticOffset(s, mounting.fixedPose, from)) {
        offsetText = "the laser's offset from /tf_static (" + printableName(from) + " to " + printableName(s.scanFrame) + ")";
    } else if (s.choice.hasLaserPose) {
        mounting.fixedPose = s.choice.laserPose;
        offsetText = "the laser's offset from --laser-pose";
    }
    s.poser.chain = {std::move(track), mounting};
    s.edges.clear();
    s.topics.clear();
    s.description = topic == "ODOM" ? std::string("odometry") : printableName(topic);
    s.mounting = offsetText;
}

void decide(PoseSources& s) {
    if (s.mode != PoseMode::undecided || s.poser.waiting.empty()) return;
    if (!s.choice.poseTopic.empty()) {
        useTopic(s, s.topics.empty() ? s.choice.poseTopic : s.topics.begin()->first);
    } else if (s.topics.count("ODOM") > 0) {
        useTopic(s, "ODOM");
    } else {
        const std::string fixed = fixedFrameOf(s);
        const std::vector<std::string> chain = chainTo(s, fixed);
        if (chain.empty()) return;
        useTransforms(s, chain, fixed);
    }
    s.poser.ready = true;
}

std::vector<std::string> frameNames(const PoseSources& s) {
    std::set<std::string> frames;
    for (const auto& [child, edge] : s.edges) {
        frames.insert(child);
        frames.insert(edge.parent);
    }
    return std::vector<std::string>(frames.begin(), frames.end());
}

// Nothing more will come to decide by: the only pose topic, or no choice at all.
void decideAtLast(PoseSources& s) {
    decide(s);
    if (s.mode != PoseMode::undecided || s.poser.waiting.empty()) return;
    if (s.topics.size() == 1) {
        useTopic(s, s.topics.begin()->first);
        s.poser.ready = true;
        return;
    }
    std::vector<std::string> topicNames;
    for (const auto& [name, samples] : s.topics) topicNames.push_back(name);
    if (s.scanFrame.empty() && s.edges.empty() && topicNames.empty()) {
        s.failure = "the log holds no poses for its scans (none on their lines, no ODOM lines, no pose topic)";
        return;
    }
    s.failure = "no poses for the scans in frame \"" + printableName(s.scanFrame) + "\": /tf does not reach it from " +
                printableName(fixedFrameOf(s)) + " (frames: " + listOf(frameNames(s)) + "), and pose topics: " + listOf(topicNames) +
                "; choose with --pose TOPIC or --fixed-frame FRAME";
}

}  // namespace

std::string frameName(const std::string& frame) { return !frame.empty() && frame[0] == '/' ? frame.substr(1) : frame; }

void startPoseSources(PoseSources& sources, const PoseChoice& choice,
                      std::function<bool(const RawScan&, const Pose2D&)> placed) {
    sources.choice = choice;
    sources.poser.placed = std::move(placed);
    sources.poser.ready = false;
}

bool addScanNeedingPose(PoseSources& s, const RawScan& scan) {
    if (!s.failure.empty()) return false;
    if (s.mode == PoseMode::undecided) {
        if (s.poser.waiting.empty() && s.scanFrame.empty()) s.scanFrame = frameName(scan.frameId);
        if (s.poser.waiting.size() + 1 >= kMaxWaitingScans) {
            decideAtLast(s);
            if (!s.failure.empty()) return false;
        }
    }
    const bool more = addPosedScan(s.poser, scan);
    decide(s);
    return more && placeWaitingScans(s.poser);
}

bool addLogPose(PoseSources& s, const PoseSample& sample) {
    if (!s.failure.empty()) return false;
    const bool transform = isTransformTopic(sample.topic);
    if (s.mode == PoseMode::undecided) {
        if (transform) {
            keepTransform(s, sample);
        } else {
            buffer(s.topics[sample.topic], sample);
        }
        decide(s);
        return placeWaitingScans(s.poser);
    }
    if (s.mode == PoseMode::topic) {
        // With --pose the reader passes on that topic alone, under its stored name.
        if (transform || (s.choice.poseTopic.empty() && sample.topic != s.topic)) return true;
        ++s.samples;
        return addPoseSample(s.poser, 0, sample);
    }
    if (!transform || sample.fixed) return true;
    const auto place = s.chainIndex.find(frameName(sample.child));
    if (place == s.chainIndex.end() || s.poser.chain[place->second].fixed) return true;
    ++s.samples;
    return addPoseSample(s.poser, place->second, sample);
}

void finishPoseSources(PoseSources& s) {
    if (s.failure.empty()) decideAtLast(s);
    if (!s.failure.empty()) return;
    finishPoses(s.poser);
}
