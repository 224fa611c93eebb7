// What boardmark reads about the machine to choose its defaults: the caches
// as the timing library reads them from sysfs, the available memory from /proc/meminfo, the CPUs it may use.
// Anything that cannot be read stays 0 (unknown).
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

// cpu_root is /sys/devices/system/cpu and meminfo /proc/meminfo, except in tests.
MachineFacts read_machine_facts(const std::string& cpu_root = "/sys/devices/system/cpu",
                                const std::string& meminfo = "/proc/meminfo");

// The transparent huge page size, 2 MiB when the kernel does not say.
uint64_t huge_page_bytes();

#endif
