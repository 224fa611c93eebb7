// Whether a run was disturbed, and why, from its conditions alone.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "internal.h"
#include "run_conditions.h"
#include "system_files.h"

namespace {

using namespace timing_internal;

// Throttle flags of the Raspberry Pi firmware: bits 0-3 hold now
// (under-voltage, frequency capped, throttled, soft temperature limit),
// bits 16-19 have held since boot.
constexpr int64_t THROTTLE_NOW = 0xf;
constexpr int64_t THROTTLE_SINCE_BOOT = 0xf0000;

__attribute__((format(printf, 2, 3))) void add_reason(RunConditions* run, const char* format, ...) {
    if (run->reason_count == CONDITIONS_MAX_REASONS) return;
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
    vsnprintf(run->reasons[run->reason_count++], CONDITIONS_REASON_BYTES, format, args);
    va_end(args);
}

// A CPU list as ranges, "0-3,6", into out.
void cpu_ranges(const char* list, char* out, size_t size) {
    out[0] = '\0';
    size_t used = 0;
    int first = -2;
    int last = -2;
    auto flush = [&]() {
        if (first < 0 || used >= size) return;
        const int n = snprintf(out + used, size - used, last > first ? "%s%d-%d" : "%s%d",
                               used > 0 ? "," : "", first, last);
        if (n > 0) used += static_cast<size_t>(n);
    };
    if (!each_listed_cpu(list, [&](int cpu) {
            if (cpu != last + 1) {
                flush();
                first = cpu;
            }
            last = cpu;
        })) {
        snprintf(out, size, "%s", list);
        return;
    }
    flush();
}

bool policy_ran_workers(const RunConditions& run, const PolicyConditions& policy) {
    bool any_known = false;
    bool ran = false;
    for (int w = 0; w < run.workers; ++w) {
        for (int cpu : {run.worker[w].cpu_start, run.worker[w].cpu_end}) {
            if (cpu < 0 || !run.worker[w].filled) continue;
            any_known = true;
            each_listed_cpu(policy.cpus, [&](int listed) { ran = ran || listed == cpu; });
        }
    }
    return ran || !any_known || policy.cpus[0] == '\0';
}

// The share of a worker's timing phase it spent ready to run while other
// processes had its CPU. Judged only where no other worker of the run could
// have had it: the only worker, or one pinned to a CPU of its own. NaN when
// not judged.
double waiting_share(const RunConditions& run, int w) {
    const WorkerConditions& worker = run.worker[w];
    if (!worker.filled || worker.waiting_us < 0 || worker.timing_us < WAITING_MIN_US) return NAN;
    if (run.workers > 1) {
        if (worker.pinned != 1 || worker.cpu_start < 0) return NAN;
        for (int other = 0; other < run.workers; ++other) {
            if (other != w && run.worker[other].cpu_start == worker.cpu_start) return NAN;
        }
    }
    return static_cast<double>(worker.waiting_us) / static_cast<double>(worker.timing_us);
}

}  // namespace

namespace timing_internal {

void judge_run(RunConditions* run) {
    run->reason_count = 0;
    for (int w = 0; w < run->workers; ++w) {
        const WorkerConditions& worker = run->worker[w];
        if (!worker.filled || worker.pinned != 1) continue;
        const CounterReading& moves = worker.counters[COUNTER_CPU_MIGRATIONS];
        if (moves.error == 0 && moves.value > 0) {
            add_reason(run, "worker %d moved between CPUs %llu time%s", w,
                       static_cast<unsigned long long>(moves.value), moves.value == 1 ? "" : "s");
        } else if (moves.error != 0 && worker.cpu_start >= 0 && worker.cpu_end >= 0 &&
                   worker.cpu_start != worker.cpu_end) {
            add_reason(run, "worker %d ran on CPU %d at the start and on CPU %d at the end", w,
                       worker.cpu_start, worker.cpu_end);
        }
    }
    for (int w = 0; w < run->workers; ++w) {
        const double share = waiting_share(*run, w);
        if (share > WAITING_LIMIT) {
            add_reason(run, "worker %d waited for its CPU for %.0f %% of its timing", w,
                       100.0 * share);
        }
    }
    if (run->seconds >= OTHER_LOAD_MIN_SECONDS && run->other_cpu_share > OTHER_LOAD_LIMIT) {
        add_reason(run, "other processes used %.0f %% of a CPU", 100.0 * run->other_cpu_share);
    }
    for (int i = 0; i < run->policy_count; ++i) {
        PolicyConditions& policy = run->policies[i];
        policy.ran_workers = policy_ran_workers(*run, policy);
        if (!policy.ran_workers || !(policy.below_share > BELOW_TOP_LIMIT)) continue;
        char cpus[64];
        cpu_ranges(policy.cpus, cpus, sizeof cpus);
        add_reason(run, "CPUs %s ran below %lld MHz for %.0f %% of the run", cpus,
                   static_cast<long long>(policy.top_khz / 1000), 100.0 * policy.below_share);
    }
    for (int i = 0; i < run->policy_count; ++i) {
        const PolicyConditions& policy = run->policies[i];
        if (!policy.ran_workers || !(policy.top_khz > 0)) continue;
        const double top_mhz = static_cast<double>(policy.top_khz) / 1000.0;
        each_listed_cpu(policy.cpus, [&](int cpu) {
            const double mhz = measured_clock_mhz(cpu);
            if (!(mhz < (1.0 - MEASURED_CLOCK_LIMIT) * top_mhz)) return;
            add_reason(run, "CPU %d measured at %.0f MHz, %.0f %% below the claimed %.0f MHz", cpu,
                       mhz, 100.0 * (1.0 - mhz / top_mhz), top_mhz);
        });
    }
    for (int c = 0; c < run->cooling_count; ++c) {
        const CoolingConditions& cooling = run->cooling[c];
        if (cooling.start_state >= 0 && cooling.end_state > cooling.start_state) {
            add_reason(run, "cooling device %d (%s) stepped up from %lld to %lld", cooling.number,
                       cooling.type[0] != '\0' ? cooling.type : "unknown",
                       static_cast<long long>(cooling.start_state),
                       static_cast<long long>(cooling.end_state));
        }
    }
    if (run->throttle_start >= 0 && run->throttle_end >= 0 &&
        ((run->throttle_end & THROTTLE_NOW) != 0 ||
         (run->throttle_end & ~run->throttle_start & THROTTLE_SINCE_BOOT) != 0)) {
        add_reason(run, "firmware throttle flags went from 0x%llx to 0x%llx",
                   static_cast<unsigned long long>(run->throttle_start),
                   static_cast<unsigned long long>(run->throttle_end));
    }
}

bool driver_disturbed(const DriverConditions& conditions) {
    for (int r = 0; r < conditions.run_count; ++r) {
        if (conditions.runs[r].reason_count > 0) return true;
    }
    return false;
}

}  // namespace timing_internal
