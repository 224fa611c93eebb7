// What the library's modules share privately: saturating conversions that
// behave the same on every target, and the clock's usage snapshots.
#ifndef LIB_TIMING_INTERNAL_H
#define LIB_TIMING_INTERNAL_H

#include <sys/resource.h>

#include <cstdint>
#include <limits>

namespace timing_internal {

// double -> integer conversions that saturate at the target type's range
// (NaN and negatives give 0 for unsigned types), since the raw conversion is
// undefined out of range and x86 and ARM answer differently.
template <typename Int>
Int saturate(double value) {
    constexpr Int lo = std::numeric_limits<Int>::min();
    constexpr Int hi = std::numeric_limits<Int>::max();
    if (!(value == value)) return 0;  // NaN
    if (value <= static_cast<double>(lo)) return lo;
    if (value >= static_cast<double>(hi)) return hi;
    return static_cast<Int>(value);  // truncates toward zero
}

inline uint32_t saturate_u32(double value) { return saturate<uint32_t>(value); }
inline uint64_t saturate_u64(double value) { return saturate<uint64_t>(value); }
inline int32_t saturate_i32(double value) { return saturate<int32_t>(value); }

// getrusage snapshots taken by the last clock_begin / clock_end.
const struct rusage& clock_start_usage();
const struct rusage& clock_stop_usage();

// The result sink's current value (nothing in the library reads it).
uint64_t result_sink_value();

}  // namespace timing_internal

#endif
