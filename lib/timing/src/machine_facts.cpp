// The machine's facts, read once per process: uname, the CPU model, the CPU
// counts, the caches, the cpufreq policies and whether an emulator or a
// hypervisor stands between the program and the machine.
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context.h"

namespace {

using namespace timing_internal;

constexpr int MAX_CACHE_INDEX = 31;

// "32K", "1024K", "8M" as sysfs writes cache sizes: bytes, or -1.
long long cache_bytes(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long n = strtoll(text, &end, 10);
    if (errno != 0 || end == text || n < 0) return -1;
    int shift = 0;
    if (*end == 'K') shift = 10;
    if (*end == 'M') shift = 20;
    if (*end == 'G') shift = 30;
    if (shift != 0) ++end;
    if (*end != '\0' || n > (LLONG_MAX >> shift)) return -1;
    return n << shift;
}

bool same_cache(const CpuCache& a, const CpuCache& b) {
    return a.level == b.level && strcmp(a.type, b.type) == 0 &&
           strcmp(a.shared_cpu_list, b.shared_cpu_list) == 0;
}

int32_t small_count(long long value) {
    return value < 0 || value > INT32_MAX ? -1 : static_cast<int32_t>(value);
}

void read_cache(const char* cpu_directory, int cpu, int index, CpuCache* entry) {
    const char* leaf = "/cpu%d/cache/index%d/%s";
    entry->level = small_count(read_count(path_below(cpu_directory, leaf, cpu, index, "level")));
    entry->line_bytes =
        small_count(read_count(path_below(cpu_directory, leaf, cpu, index, "coherency_line_size")));
    if (!read_value(path_below(cpu_directory, leaf, cpu, index, "type"), entry->type,
                    sizeof entry->type)) {
        entry->type[0] = '\0';
    }
    char size[64];
    entry->size_bytes =
        read_value(path_below(cpu_directory, leaf, cpu, index, "size"), size, sizeof size)
            ? cache_bytes(size)
            : -1;
    if (!read_value(path_below(cpu_directory, leaf, cpu, index, "shared_cpu_list"),
                    entry->shared_cpu_list, sizeof entry->shared_cpu_list)) {
        entry->shared_cpu_list[0] = '\0';
    }
}

long long count_listed(const char* file) {
    char list[LINE_BYTES];
    if (!read_value(path_of("/sys/devices/system/cpu/%s", file), list, sizeof list)) return -1;
    long long count = 0;
    return each_listed_cpu(list, [&count](int) { ++count; }) ? count : -1;
}

// Each policy directory in number order, in a new malloc'ed array.
int gather_policies(CpufreqPolicy** policies) {
    *policies = nullptr;
    const int last = highest_numbered(path_of("/sys/devices/system/cpu/cpufreq"), "policy");
    int count = 0;
    for (int n = 0; n <= last; ++n) {
        if (!is_directory(path_of("/sys/devices/system/cpu/cpufreq/policy%d", n))) continue;
        void* grown = realloc(*policies, static_cast<size_t>(count + 1) * sizeof **policies);
        if (grown == nullptr) break;
        *policies = static_cast<CpufreqPolicy*>(grown);
        CpufreqPolicy& policy = (*policies)[count++];
        memset(&policy, 0, sizeof policy);
        policy.number = n;
        const char* base = "/sys/devices/system/cpu/cpufreq/policy%d/%s";
        if (!read_value(path_of(base, n, "related_cpus"), policy.cpus, sizeof policy.cpus) &&
            !read_value(path_of(base, n, "affected_cpus"), policy.cpus, sizeof policy.cpus)) {
            policy.cpus[0] = '\0';
        }
        if (!read_value(path_of(base, n, "scaling_governor"), policy.governor,
                        sizeof policy.governor)) {
            policy.governor[0] = '\0';
        }
        policy.cur_khz = read_count(path_of(base, n, "scaling_cur_freq"));
        policy.min_khz = read_count(path_of(base, n, "scaling_min_freq"));
        policy.max_khz = read_count(path_of(base, n, "scaling_max_freq"));
    }
    return count;
}

MachineRecord machine;
MachineExtras extras;
CpuCache* caches;
CpufreqPolicy* policies;
bool filled;

void fill() {
    filled = true;
    memset(&machine, 0, sizeof machine);
    memset(&extras, 0, sizeof extras);
    struct utsname names;
    if (uname(&names) == 0) {
        snprintf(machine.host, sizeof machine.host, "%s", names.nodename);
        snprintf(machine.kernel, sizeof machine.kernel, "%s", names.release);
        snprintf(machine.machine, sizeof machine.machine, "%s", names.machine);
    }
    const Path exe = path_of("/proc/self/exe");
    const ssize_t n =
        exe.ok ? readlink(exe.text, extras.executable, sizeof extras.executable - 1) : -1;
    extras.executable[n > 0 ? n : 0] = '\0';
    bool hypervisor = false;
    read_cpu_model(machine.cpu_model, sizeof machine.cpu_model, &hypervisor);
    machine.cpus_online = small_count(count_listed("online"));
    machine.cpus_present = small_count(count_listed("present"));
    const Path cpu_directory = path_of("/sys/devices/system/cpu");
    const int cache_count = cpu_directory.ok ? gather_caches(cpu_directory.text, &caches) : 0;
    extras.caches_read = cache_count > 0;
    machine.cache_count = cache_count > 0 ? cache_count : 0;
    machine.caches = caches;
    machine.policy_count = gather_policies(&policies);
    extras.policies_read = machine.policy_count > 0;
    machine.policies = policies;
    detect_virtualization(hypervisor, machine.virtualization, sizeof machine.virtualization);
}

}  // namespace

namespace timing_internal {

int gather_caches(const char* cpu_directory, CpuCache** found) {
    *found = nullptr;
    const int last_cpu = highest_numbered(path_below(cpu_directory, "%s", ""), "cpu");
    CpuCache* seen = nullptr;
    int count = 0;
    int room = 0;
    CpuCache entry;
    for (int cpu = 0; cpu <= last_cpu; ++cpu) {
        const int last_index =
            highest_numbered(path_below(cpu_directory, "/cpu%d/cache", cpu), "index");
        for (int index = 0; index <= last_index && index <= MAX_CACHE_INDEX; ++index) {
            if (!is_directory(path_below(cpu_directory, "/cpu%d/cache/index%d", cpu, index))) {
                continue;
            }
            read_cache(cpu_directory, cpu, index, &entry);
            bool known = false;
            for (int i = 0; i < count && !known; ++i) known = same_cache(seen[i], entry);
            if (known) continue;
            if (count == room) {
                const int more = room == 0 ? 16 : 2 * room;
                void* grown = realloc(seen, static_cast<size_t>(more) * sizeof *seen);
                if (grown == nullptr) {
                    free(seen);
                    return -1;
                }
                seen = static_cast<CpuCache*>(grown);
                room = more;
            }
            seen[count++] = entry;
        }
    }
    *found = seen;
    return count;
}

void forget_machine_facts() {
    free(caches);
    free(policies);
    caches = nullptr;
    policies = nullptr;
    filled = false;
}

const MachineExtras& machine_extras() {
    machine_facts();
    return extras;
}

}  // namespace timing_internal

extern "C" const MachineRecord* machine_facts(void) {
    if (!filled) fill();
    return &machine;
}

extern "C" int read_cpu_caches(const char* cpu_directory, CpuCache* out, int room) {
    if (cpu_directory == nullptr) return 0;
    CpuCache* found = nullptr;
    const int count = timing_internal::gather_caches(cpu_directory, &found);
    for (int i = 0; i < count && i < room; ++i) out[i] = found[i];
    free(found);
    return count;
}
