// What the library's modules share privately: saturating conversions that
// behave the same on every target, and the clock's usage snapshots.
#ifndef LIB_TIMING_INTERNAL_H
#define LIB_TIMING_INTERNAL_H

#include <sys/resource.h>

#include <cstddef>
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

// One adaptive timing pass of the calibration, for tests: times body with the
// persistent count and leaves the pass's time and count in the clock.
void adaptive_timing_pass(void* (*body)(uint32_t n), uint32_t& count);

// CPU placement, for tests: the allocator behind the custom list and the
// affinity masks (malloc-compatible; null restores malloc).
using PlacementAllocator = void* (*)(size_t bytes);
void set_placement_allocator(PlacementAllocator allocator);

// Largest affinity mask tried: room for 8192 CPUs.
constexpr size_t PLACEMENT_MAX_MASK_BYTES = 8192 / 8;
// First mask length for this many online CPUs: online / 16 + 1 32-bit words,
// rounded up to whole unsigned long words.
size_t placement_mask_bytes(int online);
// Reads the caller's allowed set into a new zeroed mask (free() it), asking
// with first_bytes and doubling while the kernel answers EINVAL. 0 on success
// with *mask and *bytes set; -1 when sched_getaffinity failed (errno kept);
// -2 when memory ran out.
int read_allowed_mask(size_t first_bytes, unsigned long** mask, size_t* bytes);

}  // namespace timing_internal

#endif
