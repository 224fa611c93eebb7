// The option defaults that follow the machine: its caches, its available
// memory and its CPUs.
#ifndef BOARDMARK_DEFAULTS_H
#define BOARDMARK_DEFAULTS_H

#include <cstdint>
#include <vector>

#include "machine.h"

constexpr int MAX_WORKERS = 256;

uint64_t default_latency_max(const MachineFacts& facts);
uint64_t default_bandwidth_size(const MachineFacts& facts, int max_workers);
uint32_t default_stride(const MachineFacts& facts);
std::vector<int> default_workers(const MachineFacts& facts);

#endif
