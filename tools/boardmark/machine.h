// What boardmark needs to know about the machine to choose its defaults:
// from the library's machine facts (machine_facts()) the largest cache, the
// L1 data line and the online CPUs; of its own the available memory from
// /proc/meminfo and the CPUs it may use. Anything that cannot be read stays
// 0 (unknown).
#ifndef BOARDMARK_MACHINE_H
#define BOARDMARK_MACHINE_H

#include <cstdint>
#include <string>

struct MachineFacts {
    uint64_t largest_cache_bytes = 0;  // the largest data or unified cache
    uint32_t l1_line_bytes = 0;        // line size of the level 1 data cache
    uint64_t mem_available_bytes = 0;  // MemAvailable
    int online_cpus = 1;
    int allowed_cpus = 1;  // CPUs in this process's affinity mask
};

// This machine's; meminfo is /proc/meminfo except in tests.
MachineFacts read_machine_facts(const std::string& meminfo = "/proc/meminfo");
// The caches of a tree laid out as /sys/devices/system/cpu (a copy taken from
// another board, or a test's) instead of this machine's.
MachineFacts read_machine_facts(const std::string& cpu_root, const std::string& meminfo);

// The transparent huge page size, 2 MiB when the kernel does not say.
uint64_t huge_page_bytes();

#endif
