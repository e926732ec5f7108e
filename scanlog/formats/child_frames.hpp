// The frames a child reader sends its parent through a pipe: a 12-byte header (kind as
// uint32, payload length as uint64) and its payload, in this machine's byte order, since both
// ends are this program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format_reader.hpp"

// A frame id frame comes before the scan frames of that frame id (only when it changes); a
// pose frame carries one PoseSample.
enum FrameKind : std::uint32_t {
    kInfoFrame = 1, kScanFrame = 2, kDoneFrame = 3, kErrorFrame = 4, kFrameIdFrame = 5, kPoseFrame = 6
};

constexpr std::size_t kHeaderSize = sizeof(std::uint32_t) + sizeof(std::uint64_t);

// Sizes `out` for one frame and writes its header; returns where the payload starts.
std::size_t startFrame(std::vector<char>& out, FrameKind kind, std::uint64_t length);
void textFrame(std::vector<char>& out, FrameKind kind, const std::string& text);
void infoFrame(std::vector<char>& out, const LogInfo& info);
void scanFrame(std::vector<char>& out, const RawScan& scan);
void poseFrame(std::vector<char>& out, const PoseSample& sample);

// Read a payload back; false when it is garbled.
bool readInfo(const char* payload, std::uint64_t length, LogInfo& info);
bool readScan(const char* payload, std::uint64_t length, RawScan& scan);
bool readPose(const char* payload, std::uint64_t length, PoseSample& sample);
