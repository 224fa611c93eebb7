// The measurements, each described once: what memory it needs, how
// many rows it runs and how it runs them into the session. main.cpp lists
// them in the order they run.
#ifndef BOARDMARK_MEASUREMENTS_H
#define BOARDMARK_MEASUREMENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "session.h"

struct Measurement {
    Command command;
    const char* name;
    // Why the memory the measurement needs cannot be had ("a working set of
    // 1 TiB cannot be had: ..."), or "" when it may be: checked before
    // anything runs.
    std::string (*memory_problem)(const MachineFacts& facts, const Options& options);
    // Rows it will run, for the status line's "step of steps".
    size_t (*rows)(const MachineFacts& facts, const Options& options);
    void (*run)(Session* session, const Options& options);
};

extern const Measurement LATENCY;
extern const Measurement BANDWIDTH;
extern const Measurement PIPE;
extern const Measurement SYSCALL;
extern const Measurement CLOCK;

// No memory beyond a few pages.
std::string no_memory_problem(const MachineFacts& facts, const Options& options);

// The working-set sizes of the latency sweep: min, then every size of the
// form 2^k (and 3 * 2^(k-1) with two sizes per doubling) strictly between,
// then max.
std::vector<uint64_t> size_ladder(uint64_t min, uint64_t max, int sizes_per_doubling);

// Links slots slots of stride bytes at base into one cycle in random order
// (make_shuffled_offsets): each slot's first word points to the next slot.
// Returns the first slot of the cycle, or null when the order cannot be
// allocated.
void* build_chase(char* base, size_t slots, size_t stride);

#endif
