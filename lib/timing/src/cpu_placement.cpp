// CPU placement: pins the calling process to one CPU chosen by the policy
// named in QUENTAR_SCHED. Policy indices are positions within the set of CPUs
// the process may run on, not CPU numbers.
//
// Two process-wide caches: the custom CPU list (parsed on first use, never
// rebuilt) and the allowed CPU set (read from the kernel on first use). A
// forked worker starts with whatever its parent had cached.
#include <errno.h>
#include <sched.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "lib_timing.h"

namespace {

constexpr size_t WORD_BITS = 8 * sizeof(unsigned long);

void* default_allocator(size_t bytes) { return std::malloc(bytes); }

timing_internal::PlacementAllocator placement_allocator = default_allocator;

struct CustomCpuList {
    bool built;
    int* entries;
    int count;
};

CustomCpuList custom_list;

struct AffinityCache {
    bool filled;
    size_t mask_bytes;  // length of both masks, whole unsigned long words
    unsigned long* allowed;
    unsigned long* target;
    int allowed_count;  // 0 when the read failed or memory ran out
};

AffinityCache affinity;

// The online CPU count as used for reductions: never below 1, so that a
// failing sysconf cannot make a remainder divide by zero.
int online_for_reduction() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1) return 1;
    if (n > INT_MAX) return INT_MAX;
    return static_cast<int>(n);
}

bool mask_bit(const unsigned long* mask, size_t bit) {
    return (mask[bit / WORD_BITS] >> (bit % WORD_BITS)) & 1UL;
}

int count_bits(const unsigned long* mask, size_t bytes) {
    int count = 0;
    for (size_t i = 0; i < bytes / sizeof(unsigned long); ++i) {
        count += __builtin_popcountl(mask[i]);
    }
    return count;
}

// Splits text into its runs of decimal digits; stores up to `room` of them
// (converted as sscanf "%d" does) and returns how many runs there are.
size_t scan_digit_runs(const char* text, int* entries, size_t room) {
    size_t runs = 0;
    const char* p = text;
    while (*p != '\0') {
        if (*p < '0' || *p > '9') {
            ++p;
            continue;
        }
        if (runs < room) {
            int value = 0;
            std::sscanf(p, "%d", &value);
            entries[runs] = value;
        }
        ++runs;
        while (*p >= '0' && *p <= '9') ++p;
    }
    return runs;
}

void build_custom_list(const char* list_text) {
    custom_list.built = true;
    custom_list.entries = nullptr;
    custom_list.count = 0;
    int* entries = nullptr;
    const int count = timing_internal::parse_custom_cpu_list(list_text, &entries);
    if (count <= 0) return;  // no entries, or no memory: the list stays empty
    custom_list.entries = entries;
    custom_list.count = count;
}

enum class Policy {
    None,  // unset, DEFAULT or an unknown word: workers are not pinned
    Single,
    Balanced,
    BalancedSpread,
    Unique,
    UniqueSpread,
    Custom,
    CustomSpread
};

// The policy a QUENTAR_SCHED value names (keywords in any case); for the
// custom ones *list is where the list text starts.
Policy policy_named(const char* value, const char** list) {
    *list = nullptr;
    if (value == nullptr) return Policy::None;
    if (strcasecmp(value, "SINGLE") == 0) return Policy::Single;
    if (strcasecmp(value, "BALANCED") == 0) return Policy::Balanced;
    if (strcasecmp(value, "BALANCED_SPREAD") == 0) return Policy::BalancedSpread;
    if (strcasecmp(value, "UNIQUE") == 0) return Policy::Unique;
    if (strcasecmp(value, "UNIQUE_SPREAD") == 0) return Policy::UniqueSpread;
    if (strncasecmp(value, "CUSTOM ", 7) == 0) {
        *list = value + 6;
        return Policy::Custom;
    }
    if (strncasecmp(value, "CUSTOM_SPREAD ", 14) == 0) {
        *list = value + 13;
        return Policy::CustomSpread;
    }
    return Policy::None;
}

// Reads the allowed set and allocates the target mask. On any failure the
// cache holds no allowed CPU and the result is negative.
int fill_affinity_cache() {
    affinity.filled = true;
    affinity.allowed_count = 0;
    unsigned long* allowed = nullptr;
    size_t bytes = 0;
    const int r = timing_internal::read_allowed_mask(
        timing_internal::placement_mask_bytes(online_cpu_count()), &allowed, &bytes);
    if (r == -1) {
        std::perror("sched_getaffinity:");
        return -1;
    }
    if (r != 0) return -1;  // no memory for the mask
    unsigned long* target = static_cast<unsigned long*>(placement_allocator(bytes));
    if (target == nullptr) {
        std::free(allowed);
        return -1;
    }
    affinity.mask_bytes = bytes;
    affinity.allowed = allowed;
    affinity.target = target;
    affinity.allowed_count = count_bits(allowed, bytes);
    return 0;
}

}  // namespace

namespace timing_internal {

bool placement_policy_pins(const char* value) {
    const char* list = nullptr;
    return policy_named(value, &list) != Policy::None;
}

void set_placement_allocator(PlacementAllocator allocator) {
    placement_allocator = allocator != nullptr ? allocator : default_allocator;
}

int parse_custom_cpu_list(const char* text, int** entries) {
    *entries = nullptr;
    if (text == nullptr) return 0;
    const size_t runs = scan_digit_runs(text, nullptr, 0);
    if (runs == 0 || runs > static_cast<size_t>(INT_MAX)) return 0;
    int* list = static_cast<int*>(placement_allocator(runs * sizeof(int)));
    if (list == nullptr) return -1;
    scan_digit_runs(text, list, runs);
    *entries = list;
    return static_cast<int>(runs);
}

size_t placement_mask_bytes(int online) {
    // One 32-bit word per 16 online CPUs, plus one, then rounded up to whole
    // unsigned long words: the kernel refuses any other length.
    const size_t words32 = static_cast<size_t>(online > 0 ? online : 0) / 16 + 1;
    const size_t bytes = 4 * words32;
    return (bytes + sizeof(unsigned long) - 1) / sizeof(unsigned long) * sizeof(unsigned long);
}

int read_allowed_mask(size_t first_bytes, unsigned long** mask, size_t* bytes) {
    *mask = nullptr;
    *bytes = 0;
    size_t size = first_bytes > 0 ? first_bytes : sizeof(unsigned long);
    for (;;) {
        // Room rounded up to whole words so that bit walks stay inside it.
        const size_t room =
            (size + sizeof(unsigned long) - 1) / sizeof(unsigned long) * sizeof(unsigned long);
        unsigned long* buffer = static_cast<unsigned long*>(placement_allocator(room));
        if (buffer == nullptr) return -2;
        std::memset(buffer, 0, room);
        if (sched_getaffinity(0, size, reinterpret_cast<cpu_set_t*>(buffer)) == 0) {
            *mask = buffer;
            *bytes = room;
            return 0;
        }
        const int error = errno;
        std::free(buffer);
        // EINVAL: the kernel's CPU mask is longer than ours (or ours is not
        // whole words); try a larger one, within reason.
        if (error != EINVAL || size * 2 > PLACEMENT_MAX_MASK_BYTES) {
            errno = error;
            return -1;
        }
        size *= 2;
    }
}

}  // namespace timing_internal

extern "C" {

int online_cpu_count(void) { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

int spread_cpu_index(int index) {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    int bits = 1;
    for (long v = (n - 1) >> 1; v > 0; v >>= 1) ++bits;
    const unsigned in = static_cast<unsigned>(index);
    unsigned out = 0;
    for (int j = 0; j < bits; ++j) {
        if ((in >> j) & 1U) out |= 1U << (bits - 1 - j);
    }
    return static_cast<int>(out);
}

int custom_list_cpu(const char* list_text, int index) {
    if (!custom_list.built) build_custom_list(list_text);
    if (custom_list.count == 0) return 0;
    int i = index % custom_list.count;
    if (i < 0) i += custom_list.count;  // keep a negative index inside the list
    return custom_list.entries[i];
}

int pin_to_allowed_cpu(int position) {
    if (!affinity.filled) {
        const int r = fill_affinity_cache();
        if (r != 0) return r;
    }
    if (affinity.allowed_count <= 0) return -1;
    const int k = position % affinity.allowed_count;
    const size_t bits = 8 * affinity.mask_bytes;
    std::memset(affinity.target, 0, affinity.mask_bytes);
    int below = 0;
    for (size_t bit = 0; bit < bits; ++bit) {
        if (!mask_bit(affinity.allowed, bit)) continue;
        if (below == k) {
            affinity.target[bit / WORD_BITS] |= 1UL << (bit % WORD_BITS);
            break;
        }
        ++below;
    }
    const int r = sched_setaffinity(0, affinity.mask_bytes,
                                    reinterpret_cast<const cpu_set_t*>(affinity.target));
    if (r != 0) std::perror("sched_setaffinity:");
    return r;
}

int apply_cpu_placement(int worker, int slot, int extra_slots) {
    const char* list = nullptr;
    const Policy policy = policy_named(std::getenv("QUENTAR_SCHED"), &list);
    if (policy == Policy::None) return 0;
    // w * (e + 1) + s, wrapping rather than overflowing.
    const int unique =
        static_cast<int>(static_cast<unsigned>(worker) * (static_cast<unsigned>(extra_slots) + 1U) +
                         static_cast<unsigned>(slot));
    int index = 0;
    switch (policy) {
        case Policy::None:
        case Policy::Single:
            index = 0;
            break;
        case Policy::Balanced:
            index = worker;
            break;
        case Policy::BalancedSpread:
            index = spread_cpu_index(worker);
            break;
        case Policy::Unique:
            index = unique;
            break;
        case Policy::UniqueSpread:
            index = spread_cpu_index(unique);
            break;
        case Policy::Custom:
            index = custom_list_cpu(list, worker);
            break;
        case Policy::CustomSpread:
            index = custom_list_cpu(list, unique);
            break;
    }
    return pin_to_allowed_cpu(index % online_for_reduction());
}

}  // extern "C"
