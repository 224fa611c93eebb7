// The four measurements, each printing its table (or writing its JSON
// reports) into the session.
#ifndef BOARDMARK_MEASUREMENTS_H
#define BOARDMARK_MEASUREMENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"
#include "options.h"

void run_latency(Session* session, const LatencyOptions& options);
void run_bandwidth(Session* session, const BandwidthOptions& options);
void run_pipe(Session* session);
void run_syscall(Session* session);

// Why the memory a measurement needs cannot be had ("a working set of 1 TiB
// cannot be had: ..."), or "" when it may be: checked before anything runs.
std::string latency_memory_problem(const MachineFacts& facts, const LatencyOptions& options);
std::string bandwidth_memory_problem(const MachineFacts& facts, const BandwidthOptions& options);

// Rows each measurement will run, for the status line's "step of steps".
size_t latency_rows(const LatencyOptions& options);
size_t bandwidth_rows(const BandwidthOptions& options);
size_t pipe_rows(const MachineFacts& facts);
constexpr size_t SYSCALL_ROWS = 1;

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
