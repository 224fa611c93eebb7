/*
 * lib_timing: interval clock, sample sets, self-calibration, a multi-process
 * benchmark driver with CPU placement, result reports, formatting helpers and
 * memory/file exercisers for benchmark programs.
 *
 * Durations are whole microseconds in unsigned 64-bit integers unless a name
 * says seconds. Results travel through the interval clock: a measurement or a
 * published sample leaves its elapsed time and iteration count there.
 * Failures are reported by return values; nothing here prints except the
 * reports, the usage line and the placement module's perror on failed
 * affinity calls.
 */
#ifndef LIB_TIMING_H
#define LIB_TIMING_H

#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>

/* ---- layout check: 64-bit time_t and off_t ----
 * The library is always built with a 64-bit time_t and 64-bit file offsets,
 * and struct timeval crosses its interface. A client compiled with other
 * sizes (a 32-bit target without the two definitions) would pass timestamps
 * of another layout, so it does not compile. */
#include <sys/types.h>
#define LIB_TIMING_LAYOUT_OK (sizeof(time_t) == 8 && sizeof(off_t) == 8)
#define LIB_TIMING_LAYOUT_FIX                                                      \
    "lib_timing needs a 64-bit time_t and off_t: compile with -D_TIME_BITS=64 "    \
    "-D_FILE_OFFSET_BITS=64 (pkg-config --cflags lib_timing and the CMake target " \
    "lib_timing::lib_timing give them)"
#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(LIB_TIMING_LAYOUT_OK, LIB_TIMING_LAYOUT_FIX);
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(LIB_TIMING_LAYOUT_OK, LIB_TIMING_LAYOUT_FIX);
#else
/* Older language modes: an array of negative size, named after the fix. */
typedef char lib_timing_needs__TIME_BITS_64_and__FILE_OFFSET_BITS_64_from_pkg_config_or_cmake
    [LIB_TIMING_LAYOUT_OK ? 1 : -1];
#endif
#undef LIB_TIMING_LAYOUT_OK
#undef LIB_TIMING_LAYOUT_FIX
/* ---- end of the layout check ---- */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- sample sets: wire layout, count at byte 0, samples at byte 8 ---- */

typedef struct Sample {
    uint64_t elapsed_us;
    uint64_t iterations;
} Sample;

typedef struct SampleSet {
    int32_t count;    /* samples[0 .. count-1] are valid, slowest per iteration first */
    int32_t padding;  /* keeps samples 8-byte aligned; content undefined */
    Sample samples[]; /* as many as the allocation holds (a GNU extension in C++) */
} SampleSet;

/* Benchmark callbacks: called with an iteration count and the caller's argument. */
typedef void (*IntervalCallback)(uint32_t iterations, void* user_arg);

/* ---- interval clock ---- */

/* t1 - t0 into tdiff, clamped at {0, 0}; aborts on un-normalised input. */
void tvsub(struct timeval* tdiff, const struct timeval* t1, const struct timeval* t0);
/* to - from (by tvsub) in microseconds. */
uint64_t timeval_span_us(const struct timeval* from, const struct timeval* to);
/* Usage snapshot, then a timestamp into at (or the clock's start when null). */
int clock_begin(struct timeval* at);
/* Timestamp into into (or the clock's stop), usage snapshot; returns the
 * microseconds since from (or since the clock's start when null). */
uint64_t clock_end(const struct timeval* from, struct timeval* into);
uint64_t clock_elapsed_us(void);
double clock_elapsed_seconds(void);
/* Makes clock_elapsed_us() return us; the start stamp becomes {0, 0}. */
void clock_store_elapsed(uint64_t us);
void clock_set_iterations(uint64_t n);
uint64_t clock_iterations(void);
int64_t wall_clock_us(void);
double wall_clock_us_float(void);
/* Seconds from the clock's start stamp to now; stores nothing. */
double seconds_since_begin(void);
/* Microseconds since the previous call; 0 on the first. */
int64_t lap_us(void);
/* Keep a computed value alive so that measured loops are not optimised away. */
void sink_int(int v);
void sink_pointer(void* p);

/* ---- sample sets ---- */

/* Bytes for a set of n samples: room for at least 11; -1 when that many
 * bytes do not fit an int. */
int sample_set_bytes(int n);
void sample_set_clear(SampleSet* set);
/* Sorted insert; the caller guarantees room for one more sample. */
void sample_set_add(uint64_t elapsed_us, uint64_t iterations, SampleSet* set);
/* As sample_set_add, but ignores a sample that measured no time. */
void sample_set_add_nonzero(uint64_t elapsed_us, uint64_t iterations, SampleSet* set);
SampleSet* current_sample_set(void);
/* Makes set current and publishes its median into the clock. */
void select_sample_set(SampleSet* set);
void publish_median(void);
void publish_minimum(void);

/* How far a set's samples can be trusted. t is a sample's elapsed_us /
 * iterations in double; samples with zero iterations are left out. spread is
 * a fraction: 0.012 means 1.2 %. */
typedef struct SampleSummary {
    int32_t count;     /* samples summarised (those with iterations > 0) */
    double fastest_us; /* microseconds per iteration of the fastest sample */
    double median_us;  /* median t: the middle one, or the mean of the two middle ones */
    double slowest_us; /* microseconds per iteration of the slowest sample */
    double spread;     /* median of |t - median_us| / median_us; 0 when median_us is 0 */
} SampleSummary;
/* 0 with *summary filled, or -1 (summary untouched) for a null set or one
 * without a sample of nonzero iterations. Reads the set only, in any order of
 * its samples, and allocates nothing. */
int sample_set_summarize(const SampleSet* set, SampleSummary* summary);

/* ---- calibration (computed once per process, on first use) ---- */

void ensure_calibrated(void);
/* e, or the calibrated enough interval when that is not below e. */
int enough_at_least(int e);
/* Cost of one gettimeofday call, whole microseconds. */
uint64_t timer_overhead_us(void);
/* Cost of one empty loop iteration, microseconds. */
double iteration_overhead_us(void);
double measure_iteration_overhead(void);
/* Fastest of 10 timed runs of n iterations of 10 dependent loads. */
uint64_t chase_trial_us(int n);

/* Calibration progress, for programs that show what the first calibration is
 * doing. Each step is reported after it happened, except OVERHEAD_PASS, which
 * is reported before its pass runs. */
typedef enum CalibrationStepKind {
    CALIBRATION_STEP_BEGIN = 0,          /* calibration starts (first use in the process) */
    CALIBRATION_STEP_CHASE_TRIAL = 1,    /* the enough search timed a chase trial */
    CALIBRATION_STEP_LINEARITY = 2,      /* one factor of a candidate's linearity test */
    CALIBRATION_STEP_CANDIDATE = 3,      /* a candidate passed or failed */
    CALIBRATION_STEP_ENOUGH = 4,         /* the enough interval is settled */
    CALIBRATION_STEP_OVERHEAD_PASS = 5,  /* an overhead timing pass is about to run */
    CALIBRATION_STEP_TIMER_OVERHEAD = 6, /* the timer overhead is settled */
    CALIBRATION_STEP_LOOP_OVERHEAD = 7,  /* the loop overhead is settled */
    CALIBRATION_STEP_END = 8             /* all three values are settled */
} CalibrationStepKind;

/* Where a settled value came from (ENOUGH, TIMER_OVERHEAD, LOOP_OVERHEAD steps). */
typedef enum CalibrationSource {
    CALIBRATION_SOURCE_NONE = 0,
    CALIBRATION_SOURCE_ENVIRONMENT = 1, /* ENOUGH, TIMING_O or LAPCOST */
    CALIBRATION_SOURCE_CANDIDATE = 2,   /* a candidate passed the linearity test */
    CALIBRATION_SOURCE_FALLBACK = 3,    /* no candidate passed: one second */
    CALIBRATION_SOURCE_MEASURED = 4,    /* timed in overhead passes */
    CALIBRATION_SOURCE_SKIPPED = 5      /* timer overhead left at 0: enough above 50000 us */
} CalibrationSource;

/* The loop an overhead pass times. */
typedef enum CalibrationLoop {
    CALIBRATION_LOOP_NONE = 0,
    CALIBRATION_LOOP_TIMER_PROBE = 1,  /* gettimeofday calls: the timer overhead */
    CALIBRATION_LOOP_SINGLE_CHASE = 2, /* one load per iteration: loop overhead, first loop */
    CALIBRATION_LOOP_DOUBLE_CHASE = 3  /* two loads per iteration: loop overhead, second loop */
} CalibrationLoop;

/* One step. Fields its kind does not name are 0. */
typedef struct CalibrationStep {
    CalibrationStepKind kind;
    /* CHASE_TRIAL, LINEARITY, CANDIDATE: the candidate enough interval tried. */
    int32_t candidate_us;
    /* CHASE_TRIAL: trials timed for this candidate so far, from 1. A
     * candidate's first band test uses the previous candidate's last trial. */
    int32_t trial;
    /* CHASE_TRIAL, LINEARITY: the chase count timed and its fastest run, us. */
    uint32_t iterations;
    uint64_t time_us;
    /* LINEARITY: factor factor_index of factor_count (1-based), the time the
     * test expects (base time times factor, us) and the relative error
     * |time_us - expected_us| / expected_us. */
    int32_t factor_index;
    int32_t factor_count;
    double factor;
    uint64_t expected_us;
    double error;
    /* LINEARITY: the largest error of this test so far. CANDIDATE: the
     * largest error of its test (a failed test stops at its first error above
     * the limit); -1 when no test ran (never within 2 % of the candidate). */
    double worst_error;
    /* Every step: the limit a linearity error must not exceed (0.0025). */
    double error_limit;
    /* CANDIDATE: 1 when the candidate passed, else 0. */
    int32_t passed;
    /* ENOUGH, TIMER_OVERHEAD, LOOP_OVERHEAD: where the value came from. */
    CalibrationSource source;
    /* ENOUGH: the smallest worst_error among the failed candidates and that
     * candidate; -1 and 0 when no linearity test ran. */
    double best_error;
    int32_t best_candidate_us;
    /* OVERHEAD_PASS: the loop, and pass `pass` of `passes` (1-based, 11). */
    CalibrationLoop loop;
    int32_t pass;
    int32_t passes;
    /* From the ENOUGH step on: the enough interval, us. */
    int32_t enough_us;
    /* From the TIMER_OVERHEAD step on: the timer overhead, whole us. */
    uint64_t timer_overhead;
    /* From the LOOP_OVERHEAD step on: the loop overhead, us per iteration. */
    double iteration_overhead;
} CalibrationStep;

typedef void (*CalibrationObserver)(const CalibrationStep* step, void* arg);
/* Calls observer(step, arg) at each step of the first calibration; null (the
 * default) observes nothing. The observer runs inside calibration, between
 * timed runs, and its time is not measured, but it delays the calibration and
 * disturbs the caches the next run meets: keep it short. It may write output,
 * read clocks of its own (clock_gettime, gettimeofday) and call
 * set_calibration_observer; it must not call the calibration entry points,
 * the interval clock or sample-set operations, the reports or driver_run,
 * which would change or read half-made calibration state. The step record
 * is valid only during the call. */
void set_calibration_observer(CalibrationObserver observer, void* arg);

/* ---- benchmark driver ---- */

/* Runs body in parallel forked workers (setup and teardown may be null; all
 * three get user_arg), enough and warmup in microseconds, repetitions samples
 * per worker (negative: the default). Afterwards clock_elapsed_us() and
 * clock_iterations() hold the median sample, or 0 over 1 when the run failed;
 * the merged set (heap memory, never freed by the driver) stays current. */
void driver_run(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int enough, int parallel, int warmup, int repetitions, void* user_arg);
/* Every driver_run records what happened during its pre-run and its run,
 * outside the timed intervals (lib_timing(3), RUN CONDITIONS): per worker,
 * context switches, CPU migrations and page faults of its timed intervals
 * from perf_event_open on itself (a refused counter is null, with the
 * reason), and its CPU at the start and the end; system-wide, the other
 * processes' CPU time, the time each cpufreq policy spent below its top
 * frequency, temperatures, cooling steps and firmware throttle flags. A run
 * is disturbed when
 *   - a pinned worker migrated;
 *   - other processes used more than 25 % of one CPU, over a run of at
 *     least 0.5 s;
 *   - a worker waited, ready to run, for its CPU for more than 25 % of a
 *     timing phase of at least 10 ms (judged for the only worker, or one
 *     pinned to a CPU no other worker ran on);
 *   - a policy on whose CPUs a worker ran spent more than 10 % of the run
 *     below its top frequency;
 *   - a cooling device stepped up or a firmware throttle flag was raised;
 *   - the clock measured on a CPU of such a policy (set_measured_clock) is
 *     more than 5 % below the policy's highest frequency.
 * TIMING_CONDITIONS=off takes no conditions.
 *
 * Hardware counters are taken on request: cycles, instructions, branch
 * misses and L1 data cache read misses (L1D_CACHE_REFILL on ARM) of each
 * worker's timed intervals, reported per iteration, each with its running
 * share when the PMU multiplexed it, and with the reason when it could not be
 * opened. TIMING_COUNTERS=hardware (any case) asks for them, read at the
 * first driver_run; set_hardware_counters(1) asks and (0) stops asking, over
 * the environment. */
void set_hardware_counters(int enabled);
/* Whether the run that made the current sample set was disturbed: 1 when it
 * was, 0 when not, -1 when there is nothing to say (the set did not come
 * from driver_run, or TIMING_CONDITIONS=off). The reasons, each ending in a
 * newline and those of the pre-run beginning "pre-run: ", go into reasons
 * when it is not null (cut to fit size bytes, always NUL-terminated), for
 * programs that print results of their own. */
int current_set_disturbed(char* reasons, size_t size);
/* A SIGCHLD handler for benchmark programs: reaps one child, stays installed. */
void reap_child_and_rearm(int signal_number);
typedef struct WorkerState WorkerState;
/* Inside a worker: its index within the run, from 0, and its state record. */
int current_worker_index(void);
WorkerState* current_worker_state(void);

/* ---- CPU placement (policy from QUENTAR_SCHED) ---- */

/* Pins the caller to the CPU the policy gives for (worker, slot, extra_slots);
 * 0 when no policy applies or on success, negative when an affinity call failed. */
int apply_cpu_placement(int worker, int slot, int extra_slots);
/* The low bits of index reversed, as many bits as the online CPU count needs. */
int spread_cpu_index(int index);
/* Entry index (modulo the entry count) of the custom list, built from list_text
 * on the first call in the process and kept; 0 when the list is empty. */
int custom_list_cpu(const char* list_text, int index);
/* Restricts the caller to the allowed CPU at position (modulo the allowed count);
 * sched_setaffinity's result, or negative when the allowed set cannot be had. */
int pin_to_allowed_cpu(int position);
/* sysconf(_SC_NPROCESSORS_ONLN). */
int online_cpu_count(void);

/* ---- machine facts (read once per process, kept) ----
 * What programs built on the library need to know about the machine, read
 * from procfs and sysfs at the first call without blocking and kept for the
 * process. What cannot be read is -1 (numbers) or "" (texts). */

/* One cache as sysfs describes it below cpuN/cache/indexM. */
typedef struct CpuCache {
    int32_t level;             /* 1, 2, 3, ... */
    int32_t line_bytes;        /* coherency_line_size */
    int64_t size_bytes;        /* "32K" is 32768 */
    char type[16];             /* "Data", "Instruction" or "Unified" */
    char shared_cpu_list[256]; /* the CPUs sharing it, as sysfs writes them ("0-3") */
} CpuCache;

/* One cpufreq policy, /sys/devices/system/cpu/cpufreq/policyN. */
typedef struct CpufreqPolicy {
    int32_t number;    /* N */
    int32_t padding;   /* keeps the frequencies 8-byte aligned; always 0 */
    int64_t cur_khz;   /* scaling_cur_freq when the facts were read */
    int64_t min_khz;   /* scaling_min_freq */
    int64_t max_khz;   /* scaling_max_freq: the highest the governor may choose */
    char cpus[256];    /* related_cpus (else affected_cpus) as sysfs writes them */
    char governor[32]; /* scaling_governor */
} CpufreqPolicy;

typedef struct MachineRecord {
    char host[65];        /* uname's node name */
    char kernel[65];      /* uname's release */
    char machine[65];     /* uname's machine ("armv7l", "aarch64") */
    char cpu_model[512];  /* "4x Cortex-A53 + 2x Cortex-A72", or x86's model name */
    int32_t cpus_online;  /* CPUs in /sys/devices/system/cpu/online */
    int32_t cpus_present; /* CPUs in /sys/devices/system/cpu/present */
    /* Each distinct cache (level, type and sharing CPUs) once, in CPU order. */
    int32_t cache_count;
    const CpuCache* caches;
    int32_t policy_count; /* in policy number order */
    const CpufreqPolicy* policies;
    /* How this program runs other than on the machine itself: "" when nothing
     * says so, else what was found, e.g. "user-mode emulator qemu-arm" or
     * "virtual machine (CPU flag hypervisor)". */
    char virtualization[160];
} MachineRecord;

/* The clock measured on cpu in MHz (boardmark clock times a dependent
 * chain of adds), kept for the rest of the process: every later context
 * line shows it ("measured_clock" in JSON, a "clock:" line in text), and a
 * run is disturbed when a CPU of a policy on whose CPUs a worker ran was
 * measured more than 5 % below the policy's highest frequency; a clock of 0
 * forgets the CPU's. 0, or -1 (nothing kept) for a negative or too high cpu
 * or a clock that is negative or not a number. */
int set_measured_clock(int cpu, double mhz);

/* ---- waiting for a quiet machine ---- */

typedef struct IdleWaitResult {
    double waited_seconds;
    /* The share of all CPUs' time that everything but this process used:
     * over the last half second when quiet, over the whole wait when not;
     * NaN when no tick passed. */
    double busy_share;
    int32_t quiet; /* 1 when the machine got quiet */
} IdleWaitResult;
/* Waits until everything but this process uses less than 10 % of the
 * machine's CPU time (from /proc/stat, every half second) for 3 seconds in a
 * row, at most max_seconds. 0 when quiet, 1 when it gave up (the context's
 * warnings then name the share seen), -1 when /proc/stat cannot be read.
 * result, when not null, says how long it waited and what it saw. Prints
 * nothing. */
int wait_idle(double max_seconds, IdleWaitResult* result);

/* The facts, read at the first call; the record and its arrays stay valid
 * and unchanged for the rest of the process. Never null. */
const MachineRecord* machine_facts(void);
/* The caches below cpu_directory, a directory laid out as
 * /sys/devices/system/cpu (a copy taken from another board, say), each
 * distinct one once: up to room of them into caches (null when room is 0).
 * Returns how many there
 * are (more than room when they did not all fit); 0 when none can be read,
 * -1 when memory ran out. */
int read_cpu_caches(const char* cpu_directory, CpuCache* caches, int room);

/* ---- result reports (one line each, of the clock's current interval) ---- */

/* Writes "Usage: argv[0] usage" to standard error and exits with status 255. */
__attribute__((noreturn)) void print_usage_and_exit(int argc, char** argv, const char* usage);
/* Stream the reports write to; null (the default) means standard error. */
void set_report_stream(FILE* stream);
/* Text lines (the default) or one JSON object per line (JSON Lines): the
 * report's name, the clock's elapsed_us and iterations, its arguments, its
 * figures unrounded and the current sample set's summary (lib_timing(3) lists
 * the keys). Until this is called, TIMING_REPORT_FORMAT ("text" or "json", any
 * case) chooses, read at the first report. Silent reports stay silent in both. */
typedef enum ReportFormat { REPORT_FORMAT_TEXT = 0, REPORT_FORMAT_JSON = 1 } ReportFormat;
void set_report_format(ReportFormat format);
/* The run context: where and how this process measures (CPU, frequency,
 * caches, kernel, load, temperatures, placement, calibration and where its
 * values came from, build, warnings; lib_timing(3) lists the keys). In JSON
 * mode a {"report":"context",...} line goes before the first report line of
 * the process, and this writes another; in text mode this writes a short
 * summary and nothing is written unasked. Reads procfs and sysfs only,
 * without blocking, and never calibrates. */
void report_context(void);
/* The format in force; settles it from TIMING_REPORT_FORMAT as the first
 * report would when set_report_format has not been called. */
ReportFormat report_format(void);
/* Adds key = value to every later JSON report, under "params" in the order the
 * keys were first set; a known key keeps its place and takes the new value,
 * and a null value removes the key. Both texts are copied. Up to 16 keys of
 * 1 to 63 bytes with values of up to 255 bytes: 0, or -1 (nothing changed)
 * for a null or empty key, a longer key or value, or a 17th key. */
int set_report_param(const char* key, const char* value);
/* Megabytes per repetition and MB/sec; verbose adds the seconds per repetition. */
void report_throughput(uint64_t bytes_per_repetition, uint64_t repetitions, int verbose);
/* bytes over the interval as KB/sec (KB = 1000 bytes); silent for a zero interval. */
void report_kb_per_sec(uint64_t bytes);
/* bytes over the interval as MB/sec (MB = 10^6 bytes); silent for a zero interval. */
void report_mb_per_sec(uint64_t bytes);
/* count transfers of size_bytes: time per transfer and the rate; silent for a zero interval. */
void report_transfers(uint64_t count, uint64_t size_bytes);
/* Microseconds per context switch; silent for a zero interval. */
void report_context_switches(uint64_t switches);
/* "label: N nanoseconds" per operation; silent for a zero interval. */
void report_nanoseconds(const char* label, uint64_t operations);
/* "label: N microseconds" per operation; silent when that figure is 0. */
void report_microseconds(const char* label, uint64_t operations);
/* Size in MB and microseconds per operation; silent when the latter is 0. */
void report_size_latency(uint64_t size_bytes, uint64_t operations);
/* Whole milliseconds per operation; silent when that is 0 or operations is 0. */
void report_milliseconds(const char* label, uint64_t operations);
/* Operations, seconds and microseconds per operation; silent for a zero interval. */
void report_microseconds_each(uint64_t operations);
/* Real, system, user and idle seconds, faults, block I/O and context switches
 * between the clock's last begin and end. */
void report_resource_usage(void);

/* ---- value formatting and parsing ---- */

/* "0x..." in lower case; the text lives in a ring of ten buffers shared with
 * format_size, so it stays intact for ten further calls of the two. */
const char* format_hex64(uint64_t value);
/* value scaled by 1024 while above 512, with a " KMGTPE" suffix ("0" for 0);
 * same ring as format_hex64. */
const char* format_size(uint64_t value);
/* Last character of text as 0..255; 0 for an empty text. */
int last_character(const char* text);
/* Decimal number (sscanf "%llu") times 10^3/10^6/10^9 for a last character
 * K/M/G or 2^10/2^20/2^30 for k/m/g, wrapping modulo 2^64; 0 without a number. */
uint64_t parse_size(const char* text);

/* ---- memory and file exercisers ---- */

/* Raises the soft RLIMIT_NOFILE to the hard limit: setrlimit's result, or -1
 * when the limits cannot be read. */
int raise_open_file_limit(void);
/* Wrap-around sum of the buffer's whole 32-bit words (any alignment); the last
 * length_bytes % 4 bytes are not read. */
int sum_words(const void* buffer, uint32_t length_bytes);
/* Writes 1 at offsets 0, page, 2*page, ... while a whole page remains. */
void touch_pages(void* buffer, uint32_t length_bytes);
/* malloc'ed array of count values i*stride in shuffled order (one shuffle
 * sequence per process); null when it cannot be allocated, or when the
 * largest offset (count - 1) * stride does not fit an int (either sign).
 * Free with free. */
int* make_shuffled_offsets(uint32_t count, int stride);
/* Copies source to destination (created with mode, or truncated): 0, or -1 on
 * a failed open, read or short write; closes whatever it opened. */
int copy_file(const char* source, const char* destination, int mode);
/* Seeks in steps of at most 2^30 bytes: the offset itself for SEEK_SET, the
 * resulting 64-bit position otherwise, or -1 (position then not restored). */
int64_t seek_large(int fd, int64_t offset, int whence);

#ifdef __cplusplus
}
#endif

#endif /* LIB_TIMING_H */
