#include "machine.h"

#include <glob.h>
#include <sched.h>

#include <fstream>

#include "lib_timing.h"

namespace {

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "32K", "1024K", "8M" or a plain byte count, as sysfs writes cache sizes; 0
// for anything else.
uint64_t cache_size_bytes(const std::string& text) {
    size_t end = 0;
    uint64_t value = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9' && value < (1ULL << 40)) {
        value = value * 10 + static_cast<uint64_t>(text[end++] - '0');
    }
    if (end == 0) return 0;
    const std::string unit = text.substr(end);
    if (unit.empty()) return value;
    if (unit == "K") return value << 10;
    if (unit == "M") return value << 20;
    if (unit == "G") return value << 30;
    return 0;
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

}  // namespace

MachineFacts read_machine_facts(const std::string& cpu_root, const std::string& meminfo) {
    MachineFacts facts;
    glob_t found{};
    const std::string pattern = cpu_root + "/cpu[0-9]*/cache/index[0-9]*";
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            const std::string dir = found.gl_pathv[i];
            const std::string type = first_line(dir + "/type");
            if (type != "Data" && type != "Unified") continue;
            const uint64_t size = cache_size_bytes(first_line(dir + "/size"));
            if (size > facts.largest_cache_bytes) facts.largest_cache_bytes = size;
            if (first_line(dir + "/level") == "1" && type == "Data" && facts.l1_line_bytes == 0) {
                facts.l1_line_bytes = static_cast<uint32_t>(
                    cache_size_bytes(first_line(dir + "/coherency_line_size")));
            }
        }
    }
    globfree(&found);
    facts.mem_available_bytes = read_mem_available(meminfo);
    const int online = online_cpu_count();
    if (online > 0) facts.online_cpus = online;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
        facts.allowed_cpus = CPU_COUNT(&allowed);
    }
    return facts;
}

uint64_t huge_page_bytes() {
    const uint64_t size =
        cache_size_bytes(first_line("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"));
    return size != 0 ? size : uint64_t{2} << 20;
}
