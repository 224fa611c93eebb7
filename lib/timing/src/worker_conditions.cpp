// A worker's conditions: software event counters opened on itself with
// perf_event_open, enabled only around its timed intervals, its context
// switches and CPU time from getrusage and the CPU it runs on when timing
// begins and ends. The record goes into memory shared with the parent.
#include <errno.h>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "run_conditions.h"

namespace timing_internal {

const char* const SOFTWARE_COUNTER_NAMES[SOFTWARE_COUNTERS] = {"context_switches", "cpu_migrations",
                                                               "page_faults"};
const char* const HARDWARE_COUNTER_NAMES[HARDWARE_COUNTERS] = {"cycles", "instructions",
                                                               "branch_misses", "l1d_misses"};

// Set by the parent before the fork; the workers inherit the mapping.
WorkerConditions* shared_workers = nullptr;
int shared_worker_count = 0;

}  // namespace timing_internal

namespace {

using namespace timing_internal;

constexpr uint64_t SOFTWARE_CONFIGS[SOFTWARE_COUNTERS] = {
    PERF_COUNT_SW_CONTEXT_SWITCHES, PERF_COUNT_SW_CPU_MIGRATIONS, PERF_COUNT_SW_PAGE_FAULTS};

int system_opener(void* attr, int pid, int cpu, int group_fd, unsigned long flags) {
#ifdef SYS_perf_event_open
    return static_cast<int>(syscall(SYS_perf_event_open, attr, pid, cpu, group_fd, flags));
#else
    (void)attr, (void)pid, (void)cpu, (void)group_fd, (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

CounterOpener opener = system_opener;

// Type and config of each hardware counter; the L1 data cache read misses
// are L1D_CACHE_REFILL on ARM.
constexpr uint32_t HARDWARE_TYPES[HARDWARE_COUNTERS] = {PERF_TYPE_HARDWARE, PERF_TYPE_HARDWARE,
                                                        PERF_TYPE_HARDWARE, PERF_TYPE_HW_CACHE};
constexpr uint64_t HARDWARE_CONFIGS[HARDWARE_COUNTERS] = {
    PERF_COUNT_HW_CPU_CYCLES, PERF_COUNT_HW_INSTRUCTIONS, PERF_COUNT_HW_BRANCH_MISSES,
    PERF_COUNT_HW_CACHE_L1D | (PERF_COUNT_HW_CACHE_OP_READ << 8) |
        (PERF_COUNT_HW_CACHE_RESULT_MISS << 16)};

int hardware_fds[HARDWARE_COUNTERS] = {-1, -1, -1, -1};

int counter_fds[SOFTWARE_COUNTERS] = {-1, -1, -1};
WorkerConditions own;
struct rusage usage_start;
int64_t timing_start_us = 0;
int64_t waited_start_ns = -1;
bool counting = false;

// The counter's descriptor, or -1 with the errno in *error.
int open_counter(uint32_t type, uint64_t config, bool user_only, uint64_t read_format,
                 int32_t* error) {
    struct perf_event_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = type;
    attr.config = config;
    attr.disabled = 1;
    attr.exclude_hv = 1;
    attr.exclude_kernel = user_only ? 1 : 0;
    attr.read_format = read_format;
    errno = 0;
    const int fd = opener(&attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC);
    *error = fd >= 0 ? 0 : (errno != 0 ? errno : EINVAL);
    return fd;
}

void switch_counters(unsigned long request) {
    for (int fd : counter_fds) {
        if (fd >= 0) ioctl(fd, request, 0);
    }
    for (int fd : hardware_fds) {
        if (fd >= 0) ioctl(fd, request, 0);
    }
}

// The nanoseconds this thread has spent runnable but waiting for a CPU (the
// second figure of its schedstat), or -1 where the kernel does not keep it.
int64_t waited_ns() {
    int fd = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) fd = open("/proc/self/schedstat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[128];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    unsigned long long running = 0;
    unsigned long long waiting = 0;
    if (sscanf(text, "%llu %llu", &running, &waiting) != 2) return -1;
    return waiting > INT64_MAX ? -1 : static_cast<int64_t>(waiting);
}

int current_cpu() {
    const int cpu = sched_getcpu();
    return cpu >= 0 ? cpu : -1;
}

int pinned_now() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
    return CPU_COUNT(&allowed) == 1 ? 1 : 0;
}

bool enabled_slot(int worker_index) {
    return shared_workers != nullptr && worker_index >= 0 && worker_index < shared_worker_count;
}

}  // namespace

namespace timing_internal {

void set_counter_opener(CounterOpener chosen) {
    opener = chosen != nullptr ? chosen : system_opener;
}

void conditions_worker_starts(int worker_index) {
    if (!enabled_slot(worker_index)) return;
    memset(&own, 0, sizeof own);
    for (int k = 0; k < SOFTWARE_COUNTERS; ++k) {
        counter_fds[k] =
            open_counter(PERF_TYPE_SOFTWARE, SOFTWARE_CONFIGS[k], false, 0, &own.counters[k].error);
    }
    own.hardware_on = hardware_counters_enabled() ? 1 : 0;
    for (int k = 0; k < HARDWARE_COUNTERS && own.hardware_on; ++k) {
        hardware_fds[k] =
            open_counter(HARDWARE_TYPES[k], HARDWARE_CONFIGS[k], true,
                         PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING,
                         &own.hardware[k].error);
    }
    own.pinned = pinned_now();
    own.cpu_start = current_cpu();
    if (getrusage(RUSAGE_SELF, &usage_start) != 0) memset(&usage_start, 0, sizeof usage_start);
    timing_start_us = monotonic_us();
    waited_start_ns = waited_ns();
}

void conditions_counters_on(uint32_t iterations) {
    if (shared_workers == nullptr || counting) return;
    counting = true;
    own.timed_iterations += iterations;
    switch_counters(PERF_EVENT_IOC_ENABLE);
}

void conditions_counters_off() {
    if (!counting) return;
    counting = false;
    switch_counters(PERF_EVENT_IOC_DISABLE);
}

void conditions_worker_ends(int worker_index) {
    if (!enabled_slot(worker_index)) return;
    conditions_counters_off();
    own.cpu_end = current_cpu();
    const int64_t waited_end_ns = waited_ns();
    own.waiting_us = waited_start_ns >= 0 && waited_end_ns >= waited_start_ns
                         ? (waited_end_ns - waited_start_ns) / 1000
                         : -1;
    struct rusage usage_end;
    if (getrusage(RUSAGE_SELF, &usage_end) == 0) {
        own.voluntary_switches = usage_end.ru_nvcsw - usage_start.ru_nvcsw;
        own.involuntary_switches = usage_end.ru_nivcsw - usage_start.ru_nivcsw;
        const uint64_t end = rusage_cpu_us(usage_end);
        const uint64_t start = rusage_cpu_us(usage_start);
        own.cpu_time_us = end > start ? end - start : 0;
        const int64_t now = monotonic_us();
        own.timing_us = now > timing_start_us ? static_cast<uint64_t>(now - timing_start_us) : 0;
    } else {
        own.voluntary_switches = -1;
        own.involuntary_switches = -1;
    }
    for (int k = 0; k < SOFTWARE_COUNTERS; ++k) {
        if (counter_fds[k] < 0) continue;
        uint64_t value = 0;
        if (read(counter_fds[k], &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
            own.counters[k].value = value;
        } else {
            own.counters[k].error = errno != 0 ? errno : EIO;
        }
        close(counter_fds[k]);
        counter_fds[k] = -1;
    }
    for (int k = 0; k < HARDWARE_COUNTERS; ++k) {
        if (hardware_fds[k] < 0) continue;
        uint64_t values[3] = {0, 0, 0};
        HardwareReading& reading = own.hardware[k];
        if (read(hardware_fds[k], values, sizeof values) == static_cast<ssize_t>(sizeof values)) {
            reading.value = values[0];
            reading.enabled_ns = values[1];
            reading.running_ns = values[2];
        } else {
            reading.error = errno != 0 ? errno : EIO;
        }
        close(hardware_fds[k]);
        hardware_fds[k] = -1;
    }
    own.filled = 1;
    shared_workers[worker_index] = own;
}

}  // namespace timing_internal
