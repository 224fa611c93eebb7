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

#ifdef __cplusplus
extern "C" {
#endif

/* ---- sample sets: wire layout, count at byte 0, samples at byte 8 ---- */

typedef struct Sample {
    uint64_t elapsed_us;
    uint64_t iterations;
} Sample;

typedef struct SampleSet {
    int32_t count;   /* samples[0 .. count-1] are valid, slowest per iteration first */
    int32_t padding; /* keeps samples 8-byte aligned; content undefined */
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

/* Bytes for a set of n samples: room for at least 11. */
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

/* ---- benchmark driver ---- */

/* Runs body in parallel forked workers (setup and teardown may be null; all
 * three get user_arg), enough and warmup in microseconds, repetitions samples
 * per worker (negative: the default). Afterwards clock_elapsed_us() and
 * clock_iterations() hold the median sample, or 0 over 1 when the run failed;
 * the merged set stays current until a later run replaces (and frees) it. */
void driver_run(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int enough, int parallel, int warmup, int repetitions, void* user_arg);
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

#ifdef __cplusplus
}
#endif

#endif /* LIB_TIMING_H */
