#include "defaults.h"

#include <algorithm>

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;
constexpr uint64_t LATENCY_MAX_FLOOR = 32 * MIB;   // the default --max is at least this
constexpr uint64_t UNKNOWN_CACHE_SIZE = 32 * MIB;  // bandwidth --size without cache sizes
constexpr uint64_t SMALLEST_DEFAULT = 4 * KIB;

// Rounds a default down to whole MiB (whole pages below 1 MiB), at least floor.
uint64_t round_default(uint64_t bytes, uint64_t floor) {
    const uint64_t grain = bytes >= MIB ? MIB : 4 * KIB;
    return std::max(bytes / grain * grain, floor);
}

uint64_t quarter_of_available(const MachineFacts& facts) {
    return facts.mem_available_bytes == 0 ? UINT64_MAX : facts.mem_available_bytes / 4;
}

}  // namespace

uint64_t default_latency_max(const MachineFacts& facts) {
    const uint64_t wanted = std::max(4 * facts.largest_cache_bytes, LATENCY_MAX_FLOOR);
    return round_default(std::min(wanted, quarter_of_available(facts)), SMALLEST_DEFAULT);
}

uint64_t default_bandwidth_size(const MachineFacts& facts, int max_workers) {
    const uint64_t wanted =
        facts.largest_cache_bytes != 0 ? 8 * facts.largest_cache_bytes : UNKNOWN_CACHE_SIZE;
    // Every worker has its own source and destination.
    const uint64_t share = quarter_of_available(facts) / (2 * static_cast<uint64_t>(max_workers));
    return round_default(std::min(wanted, share), SMALLEST_DEFAULT);
}

uint32_t default_stride(const MachineFacts& facts) {
    return facts.l1_line_bytes != 0 ? facts.l1_line_bytes : 64;
}

std::vector<int> default_workers(const MachineFacts& facts) {
    if (facts.online_cpus > 1) return {1, std::min(facts.online_cpus, MAX_WORKERS)};
    return {1};
}
