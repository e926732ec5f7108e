// Arithmetic on stamps (signed 64-bit nanosecond counts) that never wraps round.
//
// Two stamps may lie further apart than one such count holds: a log stamped from -9.2e18 to
// 9.2e18 ns, or a damaged one. A step between them, or a sum with one, then saturates at the
// ends of the range instead of wrapping, so that a later time never comes out as an earlier
// one and a long step stays long. Where the exact span matters, secondsBetween gives it.
#pragma once

#include <cstdint>
#include <limits>

// `to - from`, saturated.
inline std::int64_t stampStep(std::int64_t from, std::int64_t to) {
    std::int64_t step = 0;
    if (!__builtin_sub_overflow(to, from, &step)) return step;
    return to > from ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// `stamp + step`, saturated.
inline std::int64_t stampPlus(std::int64_t stamp, std::int64_t step) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(stamp, step, &sum)) return sum;
    return step > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// `step * factor`, saturated.
inline std::int64_t stampTimes(std::int64_t step, std::int64_t factor) {
    std::int64_t product = 0;
    if (!__builtin_mul_overflow(step, factor, &product)) return product;
    return (step < 0) == (factor < 0) ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// The magnitude of `to - from`, exact: it always fits in 64 unsigned bits.
inline std::uint64_t stampDistance(std::int64_t from, std::int64_t to) {
    return to >= from ? static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from)
                      : static_cast<std::uint64_t>(from) - static_cast<std::uint64_t>(to);
}

// `to - from` in seconds.
inline double secondsBetween(std::int64_t from, std::int64_t to) {
    const double seconds = static_cast<double>(stampDistance(from, to)) / 1e9;
    return to >= from ? seconds : -seconds;
}
