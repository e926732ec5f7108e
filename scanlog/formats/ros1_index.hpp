// What a ROS 1 bag (format 2.0) says about itself at its end, read with checks of our own
// before the ROS bag library is trusted with the file: its Chunk Info records' message counts
// per connection, and the size of its largest chunk.
//
// The library reads a chunk's messages from the chunk's Index Data records and never holds
// them to the Chunk Info counts, so an index that lost entries loses messages without a word.
// It also allocates whatever a chunk's length says; the largest chunk tells how much memory
// an honest reading needs.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct Ros1Index {
    bool found = false;                          // a 2.0 bag whose index section was read
    std::map<std::uint32_t, std::uint64_t> messages;  // per connection id, over all chunks
    std::uint64_t largestChunk = 0;              // bytes of the largest chunk, stored plus unpacked (see .cpp)
};

// Reads the index section of the bag open on `fd`. False with `error` set when the bag
// header or the index section is damaged; true with `found` false for bags it does not
// describe (older formats, or without an index), which the library judges alone.
bool readRos1Index(int fd, Ros1Index& index, std::string& error);
