// The parent's side of a run's conditions: the shared records of the
// workers, and the system read right before the go bytes and right after the
// last done byte: /proc/stat, the cpufreq policies, the thermal zones, the
// cooling devices and the Raspberry Pi firmware's throttle flags.
#include <strings.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "run_conditions.h"
#include "system_files.h"

namespace timing_internal {

extern WorkerConditions* shared_workers;
extern int shared_worker_count;

}  // namespace timing_internal

namespace {

using namespace timing_internal;

constexpr const char* THROTTLE_FILE = "/sys/devices/platform/soc/soc:firmware/get_throttled";

struct PolicySample {
    int32_t number;
    bool has_states;      // stats/time_in_state was read
    uint64_t total;       // its times summed, 10 ms units
    uint64_t at_top;      // the time at its highest frequency
    int64_t top_khz;      // the highest listed, else cpuinfo_max_freq or scaling_max_freq
    int64_t current_khz;  // scaling_cur_freq; -1 unknown
    char cpus[64];
};

struct SystemSample {
    int64_t monotonic_us;
    bool has_stat;
    uint64_t busy_ticks;
    uint64_t own_cpu_us;  // this process's user and system time
    int policy_count;
    PolicySample policies[CONDITIONS_MAX_POLICIES];
    int zone_count;
    int32_t zone_numbers[CONDITIONS_MAX_ZONES];
    char zone_types[CONDITIONS_MAX_ZONES][48];
    double zone_celsius[CONDITIONS_MAX_ZONES];
    int cooling_count;
    int32_t cooling_numbers[CONDITIONS_MAX_COOLING];
    int64_t cooling_states[CONDITIONS_MAX_COOLING];
    char cooling_types[CONDITIONS_MAX_COOLING][48];
    int64_t throttle;
};

int enabled_state = -1;   // -1: TIMING_CONDITIONS not read yet
int hardware_state = -1;  // -1: TIMING_COUNTERS not read yet
DriverConditions latest;
bool have_latest = false;
RunConditions pending;
SystemSample started;
bool run_started = false;
double zone_peaks[CONDITIONS_MAX_ZONES];  // the highest reading of each zone so far
bool run_ended = false;
size_t shared_bytes = 0;
DriverConditions attached;
const SampleSet* attached_set = nullptr;

void read_policy(int n, PolicySample* p) {
    memset(p, 0, sizeof *p);
    p->number = n;
    p->top_khz = -1;
    const char* base = "/sys/devices/system/cpu/cpufreq/policy%d/%s";
    if (!read_value(path_of(base, n, "related_cpus"), p->cpus, sizeof p->cpus) &&
        !read_value(path_of(base, n, "affected_cpus"), p->cpus, sizeof p->cpus)) {
        p->cpus[0] = '\0';
    }
    uint64_t top_time = 0;
    p->has_states = for_each_line(path_of(base, n, "stats/time_in_state"), [&](char* line, bool) {
        unsigned long long khz = 0;
        unsigned long long time = 0;
        if (sscanf(line, "%llu %llu", &khz, &time) != 2) return true;
        p->total += time;
        if (static_cast<int64_t>(khz) > p->top_khz) {
            p->top_khz = static_cast<int64_t>(khz);
            top_time = time;
        }
        return true;
    });
    p->at_top = top_time;
    if (p->top_khz < 0) {
        p->has_states = false;
        p->top_khz = read_count(path_of(base, n, "cpuinfo_max_freq"));
        if (p->top_khz < 0) p->top_khz = read_count(path_of(base, n, "scaling_max_freq"));
    }
    p->current_khz = read_count(path_of(base, n, "scaling_cur_freq"));
}

void sample_system(SystemSample* s) {
    memset(s, 0, sizeof *s);
    s->monotonic_us = monotonic_us();
    uint64_t total = 0;
    s->has_stat = read_cpu_ticks(&s->busy_ticks, &total);
    s->own_cpu_us = own_cpu_us();
    const int last_policy = highest_numbered(path_of("/sys/devices/system/cpu/cpufreq"), "policy");
    for (int n = 0; n <= last_policy && s->policy_count < CONDITIONS_MAX_POLICIES; ++n) {
        if (is_directory(path_of("/sys/devices/system/cpu/cpufreq/policy%d", n))) {
            read_policy(n, &s->policies[s->policy_count++]);
        }
    }
    const int last_zone = highest_numbered(path_of("/sys/class/thermal"), "thermal_zone");
    for (int n = 0; n <= last_zone && s->zone_count < CONDITIONS_MAX_ZONES; ++n) {
        if (!is_directory(path_of("/sys/class/thermal/thermal_zone%d", n))) continue;
        const int z = s->zone_count++;
        s->zone_numbers[z] = n;
        if (!read_value(path_of("/sys/class/thermal/thermal_zone%d/type", n), s->zone_types[z],
                        sizeof s->zone_types[z])) {
            s->zone_types[z][0] = '\0';
        }
        long long millidegrees = 0;
        s->zone_celsius[z] =
            read_signed(path_of("/sys/class/thermal/thermal_zone%d/temp", n), &millidegrees)
                ? static_cast<double>(millidegrees) / 1000.0
                : NAN;
    }
    const int last_cooling = highest_numbered(path_of("/sys/class/thermal"), "cooling_device");
    for (int n = 0; n <= last_cooling && s->cooling_count < CONDITIONS_MAX_COOLING; ++n) {
        if (!is_directory(path_of("/sys/class/thermal/cooling_device%d", n))) continue;
        const int c = s->cooling_count++;
        s->cooling_numbers[c] = n;
        s->cooling_states[c] =
            read_count(path_of("/sys/class/thermal/cooling_device%d/cur_state", n));
        if (!read_value(path_of("/sys/class/thermal/cooling_device%d/type", n), s->cooling_types[c],
                        sizeof s->cooling_types[c])) {
            s->cooling_types[c][0] = '\0';
        }
    }
    char flags[32];
    s->throttle = -1;
    if (read_value(path_of("%s", THROTTLE_FILE), flags, sizeof flags)) {
        char* end = nullptr;
        const unsigned long long value = strtoull(flags, &end, 16);
        if (end != flags && *end == '\0')
            s->throttle = static_cast<int64_t>(value & 0x7fffffffffffffffULL);
    }
}

// What the two samples say about the run, into pending.
void compare(const SystemSample& a, const SystemSample& b) {
    RunConditions& r = pending;
    r.seconds = static_cast<double>(b.monotonic_us - a.monotonic_us) / 1e6;
    r.other_cpu_share = NAN;
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    if (a.has_stat && b.has_stat && ticks_per_second > 0 && r.seconds > 0 &&
        b.busy_ticks >= a.busy_ticks) {
        double busy_us = static_cast<double>(b.busy_ticks - a.busy_ticks) * 1e6 /
                         static_cast<double>(ticks_per_second);
        busy_us -= static_cast<double>(b.own_cpu_us - a.own_cpu_us);
        for (int w = 0; w < r.workers; ++w) busy_us -= static_cast<double>(r.worker[w].cpu_time_us);
        r.other_cpu_share = busy_us > 0 ? busy_us / (r.seconds * 1e6) : 0.0;
    }
    r.policy_count = 0;
    for (int i = 0; i < a.policy_count; ++i) {
        const PolicySample& p = a.policies[i];
        const PolicySample* q = nullptr;
        for (int j = 0; j < b.policy_count && q == nullptr; ++j) {
            if (b.policies[j].number == p.number) q = &b.policies[j];
        }
        if (q == nullptr) continue;
        PolicyConditions& out = r.policies[r.policy_count++];
        memset(&out, 0, sizeof out);
        out.number = p.number;
        out.top_khz = p.top_khz;
        snprintf(out.cpus, sizeof out.cpus, "%s", p.cpus);
        out.below_share = NAN;
        out.source = FrequencySource::None;
        if (p.has_states && q->has_states && q->total > p.total && q->at_top >= p.at_top) {
            const double total = static_cast<double>(q->total - p.total);
            const double top = static_cast<double>(q->at_top - p.at_top);
            out.below_share = top >= total ? 0.0 : (total - top) / total;
            out.source = FrequencySource::TimeInState;
        } else if (p.top_khz > 0 && p.current_khz >= 0 && q->current_khz >= 0) {
            out.below_share =
                ((p.current_khz < p.top_khz ? 1 : 0) + (q->current_khz < p.top_khz ? 1 : 0)) / 2.0;
            out.source = FrequencySource::CurrentFrequency;
        }
    }
    r.zone_count = a.zone_count < b.zone_count ? a.zone_count : b.zone_count;
    for (int z = 0; z < r.zone_count; ++z) {
        ZoneConditions& out = r.zones[z];
        snprintf(out.type, sizeof out.type, "%s", a.zone_types[z]);
        out.start_celsius = a.zone_celsius[z];
        out.end_celsius = b.zone_celsius[z];
        out.max_celsius = fmax(fmax(out.start_celsius, out.end_celsius), zone_peaks[z]);
    }
    r.cooling_count = a.cooling_count < b.cooling_count ? a.cooling_count : b.cooling_count;
    for (int c = 0; c < r.cooling_count; ++c) {
        CoolingConditions& out = r.cooling[c];
        out.number = a.cooling_numbers[c];
        out.start_state = a.cooling_states[c];
        out.end_state = b.cooling_states[c];
        snprintf(out.type, sizeof out.type, "%s", a.cooling_types[c]);
    }
    r.throttle_start = a.throttle;
    r.throttle_end = b.throttle;
}

}  // namespace

namespace timing_internal {

bool conditions_enabled() {
    if (enabled_state < 0) {
        const char* setting = getenv("TIMING_CONDITIONS");
        enabled_state = setting != nullptr && strcasecmp(setting, "off") == 0 ? 0 : 1;
    }
    return enabled_state == 1;
}

bool hardware_counters_enabled() {
    if (hardware_state < 0) {
        const char* setting = getenv("TIMING_COUNTERS");
        hardware_state = setting != nullptr && strcasecmp(setting, "hardware") == 0 ? 1 : 0;
    }
    return hardware_state == 1;
}

void conditions_new_driver_run() {
    have_latest = conditions_enabled();
    latest.run_count = 0;
}

bool conditions_prepare(int workers, bool pre_run) {
    conditions_release();
    if (!conditions_enabled()) return false;
    const int described = workers < CONDITIONS_MAX_WORKERS ? workers : CONDITIONS_MAX_WORKERS;
    const size_t bytes =
        static_cast<size_t>(described > 0 ? described : 1) * sizeof(WorkerConditions);
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    memset(memory, 0, bytes);
    shared_workers = static_cast<WorkerConditions*>(memory);
    shared_worker_count = described;
    shared_bytes = bytes;
    memset(&pending, 0, sizeof pending);
    pending.pre_run = pre_run;
    pending.workers = described;
    run_started = false;
    run_ended = false;
    return true;
}

void conditions_run_starts() {
    if (shared_workers == nullptr) return;
    sample_system(&started);
    for (int z = 0; z < CONDITIONS_MAX_ZONES; ++z) zone_peaks[z] = started.zone_celsius[z];
    run_started = true;
}

void conditions_run_goes_on() {
    if (shared_workers == nullptr || !run_started || run_ended) return;
    for (int z = 0; z < started.zone_count; ++z) {
        // Zones are numbered as at the start; one gone since reads NaN.
        long long millidegrees = 0;
        if (read_signed(path_of("/sys/class/thermal/thermal_zone%d/temp", started.zone_numbers[z]),
                        &millidegrees)) {
            zone_peaks[z] = fmax(zone_peaks[z], static_cast<double>(millidegrees) / 1000.0);
        }
    }
}

void conditions_run_ends() {
    if (shared_workers == nullptr || !run_started) return;
    SystemSample ended;
    sample_system(&ended);
    for (int w = 0; w < pending.workers; ++w) pending.worker[w] = shared_workers[w];
    compare(started, ended);
    run_ended = true;
}

void conditions_release() {
    if (shared_workers == nullptr) return;
    if (run_ended && have_latest && latest.run_count < 2) {
        judge_run(&pending);
        latest.runs[latest.run_count++] = pending;
    }
    munmap(shared_workers, shared_bytes);
    shared_workers = nullptr;
    shared_worker_count = 0;
    run_started = false;
    run_ended = false;
}

const DriverConditions* latest_driver_conditions() {
    return have_latest && latest.run_count > 0 ? &latest : nullptr;
}

void conditions_attach(const SampleSet* set) {
    const DriverConditions* conditions = latest_driver_conditions();
    attached_set = conditions != nullptr ? set : nullptr;
    if (conditions != nullptr) attached = *conditions;
}

const DriverConditions* conditions_for(const SampleSet* set) {
    return set != nullptr && set == attached_set ? &attached : nullptr;
}

const DriverConditions* current_set_conditions() {
    const DriverConditions* conditions = conditions_for(current_sample_set());
    return conditions != nullptr && current_set_run() != nullptr ? conditions : nullptr;
}

}  // namespace timing_internal

extern "C" void set_hardware_counters(int enabled) { hardware_state = enabled ? 1 : 0; }
