// Running a format reader in a child process of its own, for readers built on a library that
// may crash on a damaged log (rosbag does, on a damaged index). The child reads and streams its
// LogInfo and RawScans through a pipe; this process hands them to the real sink as they come,
// so every scan before the damage is handed over, and a crash of the child becomes one error
// line instead of the end of scanlog.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format_reader.hpp"

struct ChildReading {
    std::string path;       // names the log in the error line
    std::string crashText;  // what a crash means, e.g. "the bag is damaged: the ROS bag library crashed reading it"
    std::vector<int> keepFds;  // descriptors (3 and above) the child reads; all others are closed there
    // Bytes of data the child may allocate beyond what it inherits (0: no limit). A damaged
    // length then fails as the library's std::bad_alloc instead of taking the machine's
    // memory. Not in a sanitizer build, whose shadow memory counts too.
    std::uint64_t memoryAllowance = 0;
    bool poses = false;     // the child's sink takes poses too (the real sink has `pose`)
    std::string poseTopic{};  // and the real sink's poseTopic
};

// The reader, as the child runs it: hands everything to `sink`, false with `error` set.
using ChildRead = std::function<bool(const RawScanSink& sink, std::string& error)>;

// fork() copies only the calling thread, so a lock that another thread holds stays held in the
// child for ever: only a single-threaded process may read in a child.
bool canReadInChild();

// Opens `file` for reading as a descriptor the child can keep (see keepFds); -1 with errno set
// when it can't. A child reader opens it again as /proc/self/fd/N, since the child closes
// every descriptor it does not keep, and `file` may itself be such a name.
int openForChild(const std::string& file);

// Runs `read` in a child process and hands what it reads to `sink` here. Errors the reader
// reports pass through unchanged. A child that dies (or ends without its final report) gives
// "PATH: message N: CRASHTEXT (Segmentation fault)" (the message place when the log's scan
// count says one was due), after the scans before it; a sink that wants no more ends the child
// at once. No child is left behind either way.
bool readInChild(const ChildReading& how, const ChildRead& read, const RawScanSink& sink, std::string& error);
