// Once-per-process calibration: the enough interval, the cost of one clock
// reading and the cost of one empty loop iteration.
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "internal.h"
#include "lib_timing.h"

namespace {

using timing_internal::ADAPT_DONE_SHARE;
using timing_internal::CALIBRATION_GROWTH_BOUND;
using timing_internal::CountChange;
using timing_internal::CountStep;
using timing_internal::next_count;
using timing_internal::saturate_i32;
using timing_internal::saturate_u32;
using timing_internal::saturate_u64;

constexpr int ENOUGH_CANDIDATES[] = {5000, 10000, 50000, 100000};
constexpr double LINEARITY_FACTORS[] = {1.015, 1.02, 1.035};

constexpr int FALLBACK_ENOUGH_US = 1000000;
constexpr double BAND_LOW = 0.98;
constexpr double BAND_HIGH = 1.02;
constexpr uint64_t SMALL_TRIAL_US = 999;
constexpr uint32_t TRIAL_GROWTH = 10;
constexpr double LINEARITY_LIMIT = 0.0025;
constexpr int TRIALS_PER_CHASE = 10;
constexpr int ADJUSTMENTS_PER_CANDIDATE = 10;
constexpr int OVERHEAD_REPETITIONS = 11;
constexpr int TIMER_MEASURE_MAX_ENOUGH = 50000;

struct Calibration {
    int32_t enough_us;
    int enough_done;
    uint64_t timer_overhead;
    int timer_done;
    double iteration_overhead;
    int loop_done;
};

Calibration calibration;

// Search state that persists from one search to the next.
uint32_t trial_iterations = 10000;
uint64_t trial_time_us = 0;
uint32_t timer_probe_iterations = 1;
uint32_t single_chase_iterations = 1;
uint32_t double_chase_iterations = 1;
void* self_pointer = &self_pointer;

// Progress for the calibration observer. The search notes are kept whether or
// not an observer is set; every note is taken between timed runs.
CalibrationObserver calibration_observer = nullptr;
void* calibration_observer_arg = nullptr;

struct SearchNotes {
    int32_t candidate_us;       // the candidate being tried
    int32_t trials;             // trials timed for it
    double worst_error;         // largest error of its linearity test; -1 before one
    int32_t passed_us;          // the candidate that passed; 0 while none has
    double best_error;          // smallest worst error of a failed candidate; -1 before one
    int32_t best_candidate_us;  // the candidate of best_error
};

SearchNotes notes = {0, 0, -1, 0, -1, 0};

// Where each settled value came from (NONE until it is settled).
CalibrationSource enough_source = CALIBRATION_SOURCE_NONE;
CalibrationSource timer_source = CALIBRATION_SOURCE_NONE;
CalibrationSource loop_source = CALIBRATION_SOURCE_NONE;

// A step of the given kind with the values settled so far.
CalibrationStep new_step(CalibrationStepKind kind) {
    CalibrationStep step{};
    step.kind = kind;
    step.error_limit = LINEARITY_LIMIT;
    step.enough_us = calibration.enough_us;
    step.timer_overhead = calibration.timer_overhead;
    step.iteration_overhead = calibration.iteration_overhead;
    return step;
}

void notify(const CalibrationStep& step) {
    if (calibration_observer != nullptr) calibration_observer(&step, calibration_observer_arg);
}

void note_step(CalibrationStepKind kind) { notify(new_step(kind)); }

void begin_candidate(int32_t c) {
    notes.candidate_us = c;
    notes.trials = 0;
    notes.worst_error = -1;
}

void note_trial(uint32_t iterations, uint64_t time_us) {
    ++notes.trials;
    CalibrationStep step = new_step(CALIBRATION_STEP_CHASE_TRIAL);
    step.candidate_us = notes.candidate_us;
    step.trial = notes.trials;
    step.iterations = iterations;
    step.time_us = time_us;
    notify(step);
}

void note_linearity(int index, double factor, int k, uint64_t measured, uint64_t expected,
                    double error) {
    if (!(error <= notes.worst_error)) notes.worst_error = error;
    CalibrationStep step = new_step(CALIBRATION_STEP_LINEARITY);
    step.candidate_us = notes.candidate_us;
    step.iterations = static_cast<uint32_t>(k);
    step.time_us = measured;
    step.factor_index = index;
    step.factor_count =
        static_cast<int32_t>(sizeof LINEARITY_FACTORS / sizeof LINEARITY_FACTORS[0]);
    step.factor = factor;
    step.expected_us = expected;
    step.error = error;
    step.worst_error = notes.worst_error;
    notify(step);
}

void note_candidate(bool passed) {
    if (passed) {
        notes.passed_us = notes.candidate_us;
    } else if (notes.worst_error >= 0 &&
               (notes.best_error < 0 || notes.worst_error < notes.best_error)) {
        notes.best_error = notes.worst_error;
        notes.best_candidate_us = notes.candidate_us;
    }
    CalibrationStep step = new_step(CALIBRATION_STEP_CANDIDATE);
    step.candidate_us = notes.candidate_us;
    step.passed = passed ? 1 : 0;
    step.worst_error = notes.worst_error;
    notify(step);
}

void note_enough(bool from_environment) {
    CalibrationStep step = new_step(CALIBRATION_STEP_ENOUGH);
    step.source = from_environment  ? CALIBRATION_SOURCE_ENVIRONMENT
                  : notes.passed_us ? CALIBRATION_SOURCE_CANDIDATE
                                    : CALIBRATION_SOURCE_FALLBACK;
    step.best_error = notes.best_error;
    step.best_candidate_us = notes.best_candidate_us;
    enough_source = step.source;
    notify(step);
}

void note_overhead_pass(CalibrationLoop loop, int pass) {
    CalibrationStep step = new_step(CALIBRATION_STEP_OVERHEAD_PASS);
    step.loop = loop;
    step.pass = pass;
    step.passes = OVERHEAD_REPETITIONS;
    notify(step);
}

void note_overhead(CalibrationStepKind kind, CalibrationSource source) {
    (kind == CALIBRATION_STEP_TIMER_OVERHEAD ? timer_source : loop_source) = source;
    CalibrationStep step = new_step(kind);
    step.source = source;
    notify(step);
}

// A set with room for the samples a calibration series collects.
using LocalSet = timing_internal::MinimumSampleSet;
static_assert(OVERHEAD_REPETITIONS <= timing_internal::SAMPLE_SET_MIN_CAPACITY &&
                  TRIALS_PER_CHASE <= timing_internal::SAMPLE_SET_MIN_CAPACITY,
              "a series fits a local set");

// One dependent load: the loaded value is the next address. The volatile
// access keeps every load in the loop.
inline void* load(void* p) { return *static_cast<void* const volatile*>(p); }

// The measured loops. Each is kept out of line so that the three loop
// shapes compile the same way wherever they are used; each returns its final
// pointer so that the caller can sink it.
__attribute__((noinline)) void* run_chase10(void* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
        p = load(p);
    }
    return p;
}

__attribute__((noinline)) void* run_timer_probe(uint32_t n) {
    struct timeval local;
    for (uint32_t i = 0; i < n; ++i) gettimeofday(&local, nullptr);
    return nullptr;
}

__attribute__((noinline)) void* run_single_chase(uint32_t n) {
    void* p = self_pointer;
    for (uint32_t i = 0; i < n; ++i) p = load(p);
    return p;
}

__attribute__((noinline)) void* run_double_chase(uint32_t n) {
    void* p = self_pointer;
    for (uint32_t i = 0; i < n; ++i) p = load(load(p));
    return p;
}

using LoopBody = void* (*)(uint32_t);

uint64_t absolute_difference(uint64_t a, uint64_t b) { return a > b ? a - b : b - a; }

// One timing pass: grows or rescales the persistent count until one run of
// the body fills most of the enough interval, and leaves that run's elapsed
// time and the count in the clock. The count adapts by the rule the worker
// shares (next_count); internal.h names where the two differ.
void adaptive_timing(LoopBody body, uint32_t& count) {
    const double e = calibration.enough_us < 0 ? 0.0 : static_cast<double>(calibration.enough_us);
    double time = 0;
    while (ADAPT_DONE_SHARE * e > time) {
        clock_begin(nullptr);
        void* final_pointer = body(count);
        time = static_cast<double>(clock_end(nullptr, nullptr));
        sink_pointer(final_pointer);
        const CountStep step = next_count(count, time, e, CALIBRATION_GROWTH_BOUND);
        if (step.change == CountChange::GiveUp) {
            time = 0;  // the body cannot fill 150 us
            break;
        }
        // No larger count exists: a pass already at the largest one that
        // still falls short ends with what it measured.
        if (step.change == CountChange::Rescale && count == UINT32_MAX &&
            ADAPT_DONE_SHARE * e > time) {
            break;
        }
        count = static_cast<uint32_t>(step.count);  // a kept count ends the pass by the loop test
    }
    clock_store_elapsed(saturate_u64(time));
    clock_set_iterations(count);
}

// Relative error of the chase time at each stretched count; all must stay
// within the limit for the candidate to be linear enough.
bool linearity_holds(uint32_t n) {
    if (n == 0) return false;
    const uint64_t base = chase_trial_us(static_cast<int>(n));
    for (const double& f : LINEARITY_FACTORS) {
        const int k = saturate_i32(static_cast<double>(n) * f);
        const uint64_t measured = chase_trial_us(k);
        const uint64_t expected = saturate_u64(static_cast<double>(base) * f);
        const double error = static_cast<double>(absolute_difference(measured, expected)) /
                             static_cast<double>(expected);
        note_linearity(static_cast<int>(&f - LINEARITY_FACTORS) + 1, f, k, measured, expected,
                       error);
        if (error > LINEARITY_LIMIT) return false;
    }
    return true;
}

int32_t search_enough_interval() {
    for (const int c : ENOUGH_CANDIDATES) {
        begin_candidate(c);
        if (trial_time_us == 0) {
            trial_time_us = chase_trial_us(static_cast<int>(trial_iterations));
            note_trial(trial_iterations, trial_time_us);
        }
        for (int adjustment = 0; adjustment < ADJUSTMENTS_PER_CANDIDATE; ++adjustment) {
            const uint64_t t = trial_time_us;
            const double td = static_cast<double>(t);
            if (BAND_LOW * c < td && td < BAND_HIGH * c) {
                if (linearity_holds(trial_iterations)) {
                    note_candidate(true);
                    return c;
                }
                break;
            }
            if (t <= SMALL_TRIAL_US) {
                trial_iterations *= TRIAL_GROWTH;
            } else {
                trial_iterations =
                    saturate_u32(1 + c * (static_cast<double>(trial_iterations) / td));
            }
            trial_time_us = chase_trial_us(static_cast<int>(trial_iterations));
            note_trial(trial_iterations, trial_time_us);
        }
        note_candidate(false);
    }
    return FALLBACK_ENOUGH_US;
}

// What the caller had in the clock and as current set, put back after a
// measurement that borrowed them.
struct ClockState {
    SampleSet* set;
    uint64_t iterations;
    uint64_t elapsed_us;
};

ClockState save_clock_state() {
    ClockState s;
    s.set = current_sample_set();
    s.iterations = clock_iterations();
    s.elapsed_us = clock_elapsed_us();
    return s;
}

void restore_clock_state(const ClockState& s) {
    select_sample_set(s.set);
    clock_store_elapsed(s.elapsed_us);
    clock_set_iterations(s.iterations);
}

// Publishes the fastest sample of set into the clock.
void publish_fastest(SampleSet* set) {
    select_sample_set(set);
    publish_minimum();
}

}  // namespace

extern "C" {

void set_calibration_observer(CalibrationObserver observer, void* arg) {
    calibration_observer = observer;
    calibration_observer_arg = arg;
}

uint64_t chase_trial_us(int n) {
    SampleSet* remembered = current_sample_set();
    LocalSet local;
    local.set.count = 0;
    void* p = nullptr;
    for (int trial = 0; trial < TRIALS_PER_CHASE; ++trial) {
        p = &p;
        clock_begin(nullptr);
        if (n > 0) p = run_chase10(p, static_cast<uint32_t>(n));
        const uint64_t elapsed = clock_end(nullptr, nullptr);
        sink_pointer(p);
        if (elapsed != 0) sample_set_add(elapsed, static_cast<uint32_t>(n), &local.set);
    }
    publish_fastest(&local.set);
    const uint64_t result = clock_elapsed_us();
    select_sample_set(remembered);
    return result;
}

void ensure_calibrated(void) {
    if (calibration.enough_done) return;
    calibration.enough_done = 1;
    note_step(CALIBRATION_STEP_BEGIN);
    if (const char* value = getenv("ENOUGH")) {
        calibration.enough_us = timing_internal::parse_enough_us(value);
        note_enough(true);
    } else {
        calibration.enough_us = search_enough_interval();
        note_enough(false);
    }
    (void)timer_overhead_us();
    (void)iteration_overhead_us();
    note_step(CALIBRATION_STEP_END);
}

int enough_at_least(int e) {
    ensure_calibrated();
    return calibration.enough_us < e ? e : calibration.enough_us;
}

uint64_t timer_overhead_us(void) {
    ensure_calibrated();
    if (calibration.timer_done) return calibration.timer_overhead;
    calibration.timer_done = 1;
    if (const char* value = getenv("TIMING_O")) {
        calibration.timer_overhead = timing_internal::parse_timer_overhead(value);
        note_overhead(CALIBRATION_STEP_TIMER_OVERHEAD, CALIBRATION_SOURCE_ENVIRONMENT);
        return calibration.timer_overhead;
    }
    ensure_calibrated();
    if (calibration.enough_us > TIMER_MEASURE_MAX_ENOUGH) {
        note_overhead(CALIBRATION_STEP_TIMER_OVERHEAD, CALIBRATION_SOURCE_SKIPPED);
        return calibration.timer_overhead;
    }

    const ClockState saved = save_clock_state();
    LocalSet local;
    local.set.count = 0;
    for (int i = 0; i < OVERHEAD_REPETITIONS; ++i) {
        note_overhead_pass(CALIBRATION_LOOP_TIMER_PROBE, i + 1);
        adaptive_timing(run_timer_probe, timer_probe_iterations);
        const uint64_t u = clock_elapsed_us();
        if (u != 0) sample_set_add(u, clock_iterations(), &local.set);
    }
    publish_fastest(&local.set);
    calibration.timer_overhead = clock_elapsed_us() / clock_iterations();
    note_overhead(CALIBRATION_STEP_TIMER_OVERHEAD, CALIBRATION_SOURCE_MEASURED);
    restore_clock_state(saved);
    return calibration.timer_overhead;
}

double iteration_overhead_us(void) {
    ensure_calibrated();
    if (calibration.loop_done) return calibration.iteration_overhead;
    return measure_iteration_overhead();
}

double measure_iteration_overhead(void) {
    ensure_calibrated();
    // Reached again only by a direct call after calibration: the value is
    // computed once per process.
    if (calibration.loop_done) return calibration.iteration_overhead;
    calibration.loop_done = 1;
    if (const char* value = getenv("LAPCOST")) {
        calibration.iteration_overhead = timing_internal::parse_iteration_overhead(value);
        note_overhead(CALIBRATION_STEP_LOOP_OVERHEAD, CALIBRATION_SOURCE_ENVIRONMENT);
        return calibration.iteration_overhead;
    }

    const ClockState saved = save_clock_state();
    LocalSet single;
    LocalSet twice;
    single.set.count = 0;
    twice.set.count = 0;
    for (int i = 0; i < OVERHEAD_REPETITIONS; ++i) {
        note_overhead_pass(CALIBRATION_LOOP_SINGLE_CHASE, i + 1);
        adaptive_timing(run_single_chase, single_chase_iterations);
        uint64_t u = clock_elapsed_us();
        uint64_t o = timer_overhead_us();
        if (o < u) sample_set_add(u - o, clock_iterations(), &single.set);

        note_overhead_pass(CALIBRATION_LOOP_DOUBLE_CHASE, i + 1);
        adaptive_timing(run_double_chase, double_chase_iterations);
        u = clock_elapsed_us();
        o = timer_overhead_us();
        if (o < u) sample_set_add(u - o, clock_iterations(), &twice.set);
    }
    publish_fastest(&single.set);
    const double u_a = static_cast<double>(clock_elapsed_us());
    const double n_a = static_cast<double>(clock_iterations());
    publish_fastest(&twice.set);
    const double u_b = static_cast<double>(clock_elapsed_us());
    const double n_b = static_cast<double>(clock_iterations());

    double overhead = (2 * u_a) / n_a - u_b / n_b;
    if (overhead < 0) overhead = 0.0;
    calibration.iteration_overhead = overhead;
    note_overhead(CALIBRATION_STEP_LOOP_OVERHEAD, CALIBRATION_SOURCE_MEASURED);
    restore_clock_state(saved);
    return overhead;
}

}  // extern "C"

namespace timing_internal {

int32_t parse_enough_us(const char* text) {
    const long value = strtol(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

uint64_t parse_timer_overhead(const char* text) { return saturate_u64(strtod(text, nullptr)); }

double parse_iteration_overhead(const char* text) { return strtod(text, nullptr); }

void adaptive_timing_pass(LoopBody body, uint32_t& count) { adaptive_timing(body, count); }

bool settled_calibration(SettledCalibration* settled) {
    if (loop_source == CALIBRATION_SOURCE_NONE) return false;  // the last value settled
    settled->enough_us = calibration.enough_us;
    settled->enough_source = enough_source;
    settled->timer_overhead = calibration.timer_overhead;
    settled->timer_source = timer_source;
    settled->iteration_overhead = calibration.iteration_overhead;
    settled->loop_source = loop_source;
    return true;
}

}  // namespace timing_internal
