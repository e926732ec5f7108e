// What the ROS 2 decoders ask of Fast CDR, for both of the versions Debian ships: Debian 12 has
// Fast CDR 1, Debian 13 Fast CDR 2, which renamed these calls in snake case and moved the CDR
// versions out of the class. The bytes read are the same: plain DDS CDR after a 4-byte
// encapsulation header. The version decides at compile time.
#pragma once

#include <cstddef>
#include <fastcdr/Cdr.h>
#include <fastcdr/config.h>

namespace fastCdr {

using eprosima::fastcdr::Cdr;

#if FASTCDR_VERSION_MAJOR >= 2
constexpr auto kPlainCdr = eprosima::fastcdr::DDS_CDR;
inline char* position(Cdr& cdr) { return cdr.get_current_position(); }
inline char* start(Cdr& cdr) { return cdr.get_buffer_pointer(); }
inline void readFloatArray(Cdr& cdr, float* values, std::size_t count) { cdr.deserialize_array(values, count); }
#else
constexpr auto kPlainCdr = Cdr::DDS_CDR;
inline char* position(Cdr& cdr) { return cdr.getCurrentPosition(); }
inline char* start(Cdr& cdr) { return cdr.getBufferPointer(); }
inline void readFloatArray(Cdr& cdr, float* values, std::size_t count) { cdr.deserializeArray(values, count); }
#endif

// The bytes of a `size`-byte message that are still to be read.
inline std::size_t remaining(Cdr& cdr, std::size_t size) {
    const std::size_t used = static_cast<std::size_t>(position(cdr) - start(cdr));
    return used < size ? size - used : 0;
}

}  // namespace fastCdr
