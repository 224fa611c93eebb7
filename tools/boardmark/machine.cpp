#include "machine.h"

#include <sched.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "lib_timing.h"

namespace {

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

uint64_t read_mem_available(const std::string& meminfo) {
    std::ifstream in(meminfo);
    std::string key;
    unsigned long long kib = 0;
    std::string unit;
    while (in >> key >> kib) {
        std::getline(in, unit);
        if (key == "MemAvailable:") return static_cast<uint64_t>(kib) * 1024;
    }
    return 0;
}

// The library's caches and CPU count, with what only boardmark reads.
MachineFacts machine_facts_from(const CpuCache* caches, int count, const std::string& meminfo) {
    MachineFacts facts;
    for (int i = 0; i < count; ++i) {
        const CpuCache& cache = caches[i];
        const std::string type = cache.type;
        if (type != "Data" && type != "Unified") continue;
        if (cache.size_bytes > 0 &&
            static_cast<uint64_t>(cache.size_bytes) > facts.largest_cache_bytes) {
            facts.largest_cache_bytes = static_cast<uint64_t>(cache.size_bytes);
        }
        if (cache.level == 1 && type == "Data" && facts.l1_line_bytes == 0 &&
            cache.line_bytes > 0) {
            facts.l1_line_bytes = static_cast<uint32_t>(cache.line_bytes);
        }
    }
    facts.mem_available_bytes = read_mem_available(meminfo);
    const int online = machine_facts()->cpus_online;
    if (online > 0) facts.online_cpus = online;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        facts.allowed_cpus = CPU_COUNT(&allowed);
    }
    return facts;
}

}  // namespace

MachineFacts read_machine_facts(const std::string& meminfo) {
    const MachineRecord* machine = machine_facts();
    return machine_facts_from(machine->caches, machine->cache_count, meminfo);
}

MachineFacts read_machine_facts(const std::string& cpu_root, const std::string& meminfo) {
    const int count = read_cpu_caches(cpu_root.c_str(), nullptr, 0);
    std::vector<CpuCache> caches(count > 0 ? static_cast<size_t>(count) : 0);
    const int read = read_cpu_caches(cpu_root.c_str(), caches.data(), count);
    caches.resize(read > 0 && read <= count ? static_cast<size_t>(read) : 0);
    return machine_facts_from(caches.data(), static_cast<int>(caches.size()), meminfo);
}

uint64_t huge_page_bytes() {
    const std::string text = first_line("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size");
    char* end = nullptr;
    const unsigned long long size = strtoull(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && size != 0 ? size : uint64_t{2} << 20;
}
