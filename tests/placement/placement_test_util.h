// Shared by the placement test files: placing one worker in a fresh child,
// and the expectations written from the online count and the allowed set.
#ifndef TESTS_PLACEMENT_TEST_UTIL_H
#define TESTS_PLACEMENT_TEST_UTIL_H

#include <unistd.h>

#include <string>
#include <vector>

#include "affinity_child.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

// The child that runs a case could not set it up (no namespaces, seccomp,
// or too few CPUs here): skip rather than pass.
#define SKIP_IF_CANNOT_SET_UP(text) \
    if ((text) == CANNOT_SET_UP) GTEST_SKIP() << "case cannot be set up on this machine"

struct PlacementCase {
    const char* policy = nullptr;  // QUENTAR_SCHED; null leaves it unset
    int worker = 0;
    int slot = 0;
    int extra_slots = 0;
    std::vector<int> allowed;  // restrict the child to these first; empty: as inherited
    int online = 0;            // pretend this many online CPUs; 0: the real count
};

// In a fresh child: sets the case up, calls apply_cpu_placement once and
// reports placed(result, allowed set afterwards).
inline std::string place_in_child(const PlacementCase& c) {
    return in_child([&]() -> std::string {
        if (c.online > 0 && !pretend_online_cpus(c.online)) return CANNOT_SET_UP;
        if (!c.allowed.empty() && !restrict_to(c.allowed)) return CANNOT_SET_UP;
        if (c.policy != nullptr) {
            setenv("QUENTAR_SCHED", c.policy, 1);
        } else {
            unsetenv("QUENTAR_SCHED");
        }
        const int r = apply_cpu_placement(c.worker, c.slot, c.extra_slots);
        return placed(r, allowed_cpus());
    });
}

// The allowed CPU at a position: positions wrap over the allowed set.
inline int cpu_at(const std::vector<int>& allowed, int position) {
    return allowed[static_cast<size_t>(position) % allowed.size()];
}

// A successful pin to the CPU at position.
inline std::string pinned_at(const std::vector<int>& allowed, int position) {
    return placed(0, {cpu_at(allowed, position)});
}

inline int real_online() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

// Low bits of index reversed, as many bits as writing online - 1 takes
// (at least one).
inline int reference_spread(int index, int online) {
    int bits = 1;
    while ((1L << bits) < online) ++bits;
    int out = 0;
    for (int j = 0; j < bits; ++j) {
        out = (out << 1) | ((index >> j) & 1);
    }
    return out;
}

// The upper half of a set (at least one CPU): a restricted set whose
// positions differ from CPU numbers.
inline std::vector<int> upper_half(const std::vector<int>& cpus) {
    return std::vector<int>(cpus.begin() + static_cast<long>(cpus.size() / 2), cpus.end());
}

#endif
