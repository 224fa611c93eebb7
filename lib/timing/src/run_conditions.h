// What happened during each driver run, taken outside the timed intervals:
// per worker, software event counts of its timed intervals from
// perf_event_open on itself, its context switches from getrusage and the
// CPU it ran on at the start and the end; system-wide, before and after the
// run, the CPU time of everything else, the share of the run each cpufreq
// policy spent below its top frequency, the thermal zones, the cooling
// devices and the firmware's throttle flags. The rules that call a run
// disturbed and their thresholds are stated in lib_timing.h.
#ifndef LIB_TIMING_RUN_CONDITIONS_H
#define LIB_TIMING_RUN_CONDITIONS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lib_timing.h"

namespace timing_internal {

constexpr int CONDITIONS_MAX_WORKERS = 64;  // workers past these go undescribed
constexpr int CONDITIONS_MAX_POLICIES = 16;
constexpr int CONDITIONS_MAX_ZONES = 16;
constexpr int CONDITIONS_MAX_COOLING = 16;
constexpr int CONDITIONS_MAX_REASONS = 8;
constexpr size_t CONDITIONS_REASON_BYTES = 120;

// The thresholds of the disturbed rules (lib_timing.h states them).
constexpr double OTHER_LOAD_LIMIT = 0.25;       // of one CPU
constexpr double OTHER_LOAD_MIN_SECONDS = 0.5;  // shorter runs are not judged on it
constexpr double WAITING_LIMIT = 0.25;          // of a worker's timing phase
constexpr uint64_t WAITING_MIN_US = 10000;      // shorter phases are not judged on it
constexpr double BELOW_TOP_LIMIT = 0.10;        // of the run
constexpr double MEASURED_CLOCK_LIMIT = 0.05;   // below the top frequency

enum SoftwareCounter : int {
    COUNTER_CONTEXT_SWITCHES = 0,
    COUNTER_CPU_MIGRATIONS = 1,
    COUNTER_PAGE_FAULTS = 2,
    SOFTWARE_COUNTERS = 3
};
extern const char* const SOFTWARE_COUNTER_NAMES[SOFTWARE_COUNTERS];

// Hardware counters, on request (TIMING_COUNTERS=hardware or
// set_hardware_counters): each opened on its own, so that a PMU that cannot
// count them all at once multiplexes them, which their running time shows.
enum HardwareCounter : int {
    COUNTER_CYCLES = 0,
    COUNTER_INSTRUCTIONS = 1,
    COUNTER_BRANCH_MISSES = 2,
    COUNTER_L1D_MISSES = 3,
    HARDWARE_COUNTERS = 4
};
extern const char* const HARDWARE_COUNTER_NAMES[HARDWARE_COUNTERS];

struct HardwareReading {
    int32_t error;  // 0: opened and read; else the errno that refused it
    int32_t padding;
    uint64_t value;       // as counted while running
    uint64_t enabled_ns;  // time enabled, and of that time running on the PMU
    uint64_t running_ns;
};

bool hardware_counters_enabled();

struct CounterReading {
    int32_t error;  // 0: opened and read; else the errno that refused it
    int32_t padding;
    uint64_t value;
};

// One worker's record, written by the worker into memory it shares with the
// parent before it sends its done byte.
struct WorkerConditions {
    int32_t filled;
    int32_t pinned;     // its affinity allowed one CPU when timing began; -1 unknown
    int32_t cpu_start;  // -1: unknown
    int32_t cpu_end;
    int64_t voluntary_switches;  // getrusage over the timing phase; -1 unknown
    int64_t involuntary_switches;
    uint64_t cpu_time_us;  // its own user and system time over the timing phase
    uint64_t timing_us;    // the timing phase's length by the monotonic clock
    int64_t waiting_us;    // of it runnable but waiting for a CPU (schedstat); -1 unknown
    CounterReading counters[SOFTWARE_COUNTERS];
    int32_t hardware_on;  // hardware counters were asked for
    int32_t padding;
    uint64_t timed_iterations;  // of the intervals the counters counted
    HardwareReading hardware[HARDWARE_COUNTERS];
};

enum class FrequencySource : int32_t { None = 0, TimeInState = 1, CurrentFrequency = 2 };

struct PolicyConditions {
    int32_t number;
    FrequencySource source;
    int64_t top_khz;     // -1: unknown
    double below_share;  // of the run below top_khz; NaN unknown
    bool ran_workers;    // one of its CPUs ran a worker
    char cpus[64];
};

struct ZoneConditions {
    char type[48];
    double start_celsius;  // NaN: unknown
    double end_celsius;
    double max_celsius;  // the highest reading taken
};

struct CoolingConditions {
    int32_t number;
    int64_t start_state;  // -1: unknown
    int64_t end_state;
    char type[48];
};

struct RunConditions {
    bool pre_run;
    int32_t workers;  // described ones
    double seconds;   // from the go bytes to the last done byte
    WorkerConditions worker[CONDITIONS_MAX_WORKERS];
    double other_cpu_share;  // NaN: unknown
    int32_t policy_count;
    PolicyConditions policies[CONDITIONS_MAX_POLICIES];
    int32_t zone_count;
    ZoneConditions zones[CONDITIONS_MAX_ZONES];
    int32_t cooling_count;
    CoolingConditions cooling[CONDITIONS_MAX_COOLING];
    int64_t throttle_start;  // -1: no flags file
    int64_t throttle_end;
    int32_t reason_count;
    char reasons[CONDITIONS_MAX_REASONS][CONDITIONS_REASON_BYTES];
};

// The conditions of the latest driver_run: its pre-run and its run.
struct DriverConditions {
    int32_t run_count;
    RunConditions runs[2];
};

// Whether conditions are taken (TIMING_CONDITIONS, read once, "off" in any
// case turns them off).
bool conditions_enabled();

// ---- the parent ----
// A driver_run begins: forget the runs of the one before.
void conditions_new_driver_run();
// Before the fork: shared memory for the workers' records. False (and no
// conditions for this run) when it cannot be had or conditions are off.
bool conditions_prepare(int workers, bool pre_run);
// Right before the go bytes and right after the last done byte.
void conditions_run_starts();
void conditions_run_ends();
// While the run goes on (once a second): the temperatures, for their peak.
void conditions_run_goes_on();
// After the run, gathered or abandoned: releases the shared memory.
void conditions_release();
// The latest driver_run's conditions, or null when none were taken.
const DriverConditions* latest_driver_conditions();
// A successful driver_run made set current: its conditions go with it.
void conditions_attach(const SampleSet* set);
// The conditions of the run that made set, or null.
const DriverConditions* conditions_for(const SampleSet* set);
// Those of the run that made the current set, while the set is as that run
// left it; else null.
const DriverConditions* current_set_conditions();

// ---- a worker ----
// When the go byte arrives, and when the last timed interval has ended.
void conditions_worker_starts(int worker_index);
void conditions_worker_ends(int worker_index);
// Around each timed interval, outside its clock readings.
void conditions_counters_on(uint32_t iterations);
void conditions_counters_off();

// ---- reading and judging ----
// The reasons that make a run disturbed, from its record alone.
void judge_run(RunConditions* run);
bool driver_disturbed(const DriverConditions& conditions);

// ,"conditions":{...},"warnings":[...]
void write_conditions_json(FILE* stream, const DriverConditions* conditions);
// "! reason" lines, each run's reasons.
void write_conditions_text(FILE* stream, const DriverConditions& conditions);

// For tests: the call that opens a counter (perf_event_open's arguments);
// null restores the system call.
using CounterOpener = int (*)(void* attr, int pid, int cpu, int group_fd, unsigned long flags);
void set_counter_opener(CounterOpener opener);

}  // namespace timing_internal

#endif
