// Calibration is computed once per process, so each suite here is one
// scenario and CTest runs it in a process of its own with the environment
// the scenario names (see CMakeLists.txt).
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "internal.h"
#include "lib_timing.h"
#include "report_capture.h"

namespace {

// No clock_end has run since the last snapshot when the usage snapshot taken
// by clock_end is unchanged: nothing was timed.
struct rusage stop_usage_now() {
    return timing_internal::clock_stop_usage();
}

bool same_usage(const struct rusage& a, const struct rusage& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool never_timed() {
    struct rusage zero;
    std::memset(&zero, 0, sizeof zero);
    return same_usage(stop_usage_now(), zero);
}

// A caller's measurement in progress: its own current set and clock values,
// which calibration must leave as it found them.
struct CallerState {
    // Static: the set stays current after the test that made it ends.
    inline static uint64_t storage[64];
    SampleSet* set = reinterpret_cast<SampleSet*>(storage);

    CallerState() {
        sample_set_clear(set);
        sample_set_add(300, 10, set);
        sample_set_add(100, 10, set);
        sample_set_add(50, 10, set);
        select_sample_set(set);
        clock_store_elapsed(4242);
        clock_set_iterations(17);
    }
    void expect_untouched() const {
        EXPECT_EQ(current_sample_set(), set);
        EXPECT_EQ(set->count, 3);
        EXPECT_EQ(clock_elapsed_us(), 4242u);
        EXPECT_EQ(clock_iterations(), 17u);
    }
};

// The steps a calibration observer was given, in order.
struct StepLog {
    std::vector<CalibrationStep> steps;

    static void record(const CalibrationStep* step, void* arg) {
        static_cast<StepLog*>(arg)->steps.push_back(*step);
    }
    StepLog() { set_calibration_observer(record, this); }
    ~StepLog() { set_calibration_observer(nullptr, nullptr); }

    std::vector<CalibrationStep> of_kind(CalibrationStepKind kind) const {
        std::vector<CalibrationStep> result;
        for (const CalibrationStep& s : steps) {
            if (s.kind == kind) result.push_back(s);
        }
        return result;
    }
    std::vector<int> kinds() const {
        std::vector<int> result;
        for (const CalibrationStep& s : steps) result.push_back(s.kind);
        return result;
    }
    // The run context's calibration (settled_calibration) tells the values
    // and sources the observer was told.
    void expect_the_context_agrees() const {
        timing_internal::SettledCalibration settled;
        ASSERT_TRUE(timing_internal::settled_calibration(&settled));
        const std::vector<CalibrationStep> enough = of_kind(CALIBRATION_STEP_ENOUGH);
        const std::vector<CalibrationStep> timer = of_kind(CALIBRATION_STEP_TIMER_OVERHEAD);
        const std::vector<CalibrationStep> loop = of_kind(CALIBRATION_STEP_LOOP_OVERHEAD);
        ASSERT_EQ(enough.size() + timer.size() + loop.size(), 3u);
        EXPECT_EQ(settled.enough_source, enough[0].source);
        EXPECT_EQ(settled.enough_us, enough[0].enough_us);
        EXPECT_EQ(settled.timer_source, timer[0].source);
        EXPECT_EQ(settled.timer_overhead, timer[0].timer_overhead);
        EXPECT_EQ(settled.loop_source, loop[0].source);
        EXPECT_EQ(settled.iteration_overhead, loop[0].iteration_overhead);
    }
};

void expect_overrides_replace_everything() {
    CallerState caller;
    EXPECT_EQ(iteration_overhead_us(), 0.5);
    EXPECT_EQ(timer_overhead_us(), 3u);
    EXPECT_EQ(enough_at_least(0), 20000);
    EXPECT_EQ(enough_at_least(20000), 20000);
    EXPECT_EQ(enough_at_least(30000), 30000);
    EXPECT_EQ(measure_iteration_overhead(), 0.5);
    caller.expect_untouched();
    EXPECT_TRUE(never_timed());
}

// ENOUGH=20000 TIMING_O=3 LAPCOST=0.5
TEST(Overrides, ReplaceEveryMeasurementAndTimeNothing) { expect_overrides_replace_everything(); }

// The same environment with an observer: the same results, and one step per
// value saying it came from the environment.
TEST(ObservedOverrides, ReportEachValueFromTheEnvironment) {
    StepLog log;
    expect_overrides_replace_everything();
    const std::vector<int> expected = {CALIBRATION_STEP_BEGIN, CALIBRATION_STEP_ENOUGH,
                                       CALIBRATION_STEP_TIMER_OVERHEAD,
                                       CALIBRATION_STEP_LOOP_OVERHEAD, CALIBRATION_STEP_END};
    ASSERT_EQ(log.kinds(), expected);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(log.steps[i].source, CALIBRATION_SOURCE_ENVIRONMENT);
    EXPECT_EQ(log.steps[1].enough_us, 20000);
    EXPECT_EQ(log.steps[1].best_error, -1.0);
    EXPECT_EQ(log.steps[2].timer_overhead, 3u);
    EXPECT_EQ(log.steps[3].iteration_overhead, 0.5);
    EXPECT_EQ(log.steps[4].enough_us, 20000);
    EXPECT_EQ(log.steps[4].timer_overhead, 3u);
    EXPECT_EQ(log.steps[4].iteration_overhead, 0.5);
    log.expect_the_context_agrees();
}

// ENOUGH=20000 TIMING_O=2.9 LAPCOST=0
TEST(TimerOverrideFraction, TruncatesTowardZero) { EXPECT_EQ(timer_overhead_us(), 2u); }

// ENOUGH=20000 TIMING_O=-2 LAPCOST=0
TEST(TimerOverrideNegative, BecomesZero) { EXPECT_EQ(timer_overhead_us(), 0u); }

// ENOUGH=60000 LAPCOST=0
TEST(TimerAboveLimit, IsZeroWithoutTiming) {
    EXPECT_EQ(timer_overhead_us(), 0u);
    EXPECT_EQ(enough_at_least(0), 60000);
    EXPECT_TRUE(never_timed());
}

// ENOUGH=60000 LAPCOST=0
TEST(ObservedTimerAboveLimit, SaysTheTimerOverheadWasSkipped) {
    StepLog log;
    EXPECT_EQ(timer_overhead_us(), 0u);
    const std::vector<CalibrationStep> timer = log.of_kind(CALIBRATION_STEP_TIMER_OVERHEAD);
    ASSERT_EQ(timer.size(), 1u);
    EXPECT_EQ(timer[0].source, CALIBRATION_SOURCE_SKIPPED);
    EXPECT_TRUE(log.of_kind(CALIBRATION_STEP_OVERHEAD_PASS).empty());
    EXPECT_TRUE(never_timed());
    log.expect_the_context_agrees();
}

// ENOUGH=50000 LAPCOST=0
TEST(TimerAtLimit, IsMeasuredAndTheCallerStateRestored) {
    CallerState caller;
    const uint64_t o = timer_overhead_us();
    EXPECT_FALSE(never_timed());
    EXPECT_LT(o, 1000u);
    caller.expect_untouched();
    EXPECT_EQ(iteration_overhead_us(), 0.0);
}

// ENOUGH=5000 TIMING_O=0 LAPCOST=0
TEST(EnoughBelowRequest, RequestWins) { EXPECT_EQ(enough_at_least(7000), 7000); }

// ENOUGH="  10000us" TIMING_O=0 LAPCOST=0: strtol skips blanks, ignores the rest
TEST(EnoughAboveRequest, CalibratedWins) {
    EXPECT_EQ(enough_at_least(7000), 10000);
    EXPECT_EQ(enough_at_least(10000), 10000);
    EXPECT_EQ(enough_at_least(-1), 10000);
}

// ENOUGH=0: every timing pass ends at once, both overhead sets stay empty.
TEST(ZeroEnough, GivesZeroOverheadsAndRestoresTheCaller) {
    CallerState caller;
    EXPECT_EQ(iteration_overhead_us(), 0.0);
    EXPECT_EQ(timer_overhead_us(), 0u);
    caller.expect_untouched();
}

// ENOUGH=-5: a negative interval behaves as 0.
TEST(NegativeEnough, BehavesAsZero) {
    EXPECT_EQ(timer_overhead_us(), 0u);
    EXPECT_EQ(iteration_overhead_us(), 0.0);
    EXPECT_EQ(enough_at_least(-10), -5);
}

// ENOUGH=2000, nothing else: the measuring paths with a short interval.
TEST(MeasuredOverheads, RestoreTheCallerAndAreComputedOnce) {
    CallerState caller;
    const double loop = iteration_overhead_us();
    EXPECT_GE(loop, 0.0);
    EXPECT_TRUE(std::isfinite(loop));
    const uint64_t timer = timer_overhead_us();
    EXPECT_LT(timer, 1000u);
    caller.expect_untouched();

    // Later requests return the stored values and time nothing.
    const struct rusage after_first = stop_usage_now();
    EXPECT_EQ(iteration_overhead_us(), loop);
    EXPECT_EQ(measure_iteration_overhead(), loop);
    EXPECT_EQ(timer_overhead_us(), timer);
    EXPECT_EQ(enough_at_least(0), 2000);
    EXPECT_TRUE(same_usage(after_first, stop_usage_now()));
    caller.expect_untouched();
}

// ENOUGH=2000 with an observer: the 11 timer passes, then 11 rounds of the
// two loop passes, each announced before it runs, and the measured values.
TEST(ObservedMeasurement, ReportsEveryOverheadPassInOrder) {
    StepLog log;
    CallerState caller;
    const double loop = iteration_overhead_us();
    caller.expect_untouched();

    std::vector<std::pair<int, int>> passes;  // (loop, pass) as announced
    for (const CalibrationStep& s : log.of_kind(CALIBRATION_STEP_OVERHEAD_PASS)) {
        EXPECT_EQ(s.passes, 11);
        passes.emplace_back(s.loop, s.pass);
    }
    std::vector<std::pair<int, int>> expected;
    for (int k = 1; k <= 11; ++k) expected.emplace_back(CALIBRATION_LOOP_TIMER_PROBE, k);
    for (int k = 1; k <= 11; ++k) {
        expected.emplace_back(CALIBRATION_LOOP_SINGLE_CHASE, k);
        expected.emplace_back(CALIBRATION_LOOP_DOUBLE_CHASE, k);
    }
    EXPECT_EQ(passes, expected);

    // Begin, enough, 11 passes, timer overhead, 22 passes, loop overhead, end.
    ASSERT_EQ(log.steps.size(), 2u + 11 + 1 + 22 + 1 + 1);
    EXPECT_EQ(log.steps[0].kind, CALIBRATION_STEP_BEGIN);
    EXPECT_EQ(log.steps[1].kind, CALIBRATION_STEP_ENOUGH);
    EXPECT_EQ(log.steps[1].source, CALIBRATION_SOURCE_ENVIRONMENT);
    EXPECT_EQ(log.steps[1].enough_us, 2000);
    const CalibrationStep& timer = log.steps[13];
    EXPECT_EQ(timer.kind, CALIBRATION_STEP_TIMER_OVERHEAD);
    EXPECT_EQ(timer.source, CALIBRATION_SOURCE_MEASURED);
    EXPECT_EQ(timer.timer_overhead, timer_overhead_us());
    const CalibrationStep& lap = log.steps[36];
    EXPECT_EQ(lap.kind, CALIBRATION_STEP_LOOP_OVERHEAD);
    EXPECT_EQ(lap.source, CALIBRATION_SOURCE_MEASURED);
    EXPECT_EQ(lap.iteration_overhead, loop);
    EXPECT_EQ(log.steps[37].kind, CALIBRATION_STEP_END);
    EXPECT_EQ(log.steps[37].iteration_overhead, loop);
    log.expect_the_context_agrees();
}

// ENOUGH=2000: whichever value is asked for first, all three are computed.
TEST(FirstUse, ComputesAllThreeValues) {
    EXPECT_EQ(enough_at_least(0), 2000);
    const struct rusage after_first = stop_usage_now();
    EXPECT_FALSE(never_timed());
    (void)timer_overhead_us();
    (void)iteration_overhead_us();
    EXPECT_TRUE(same_usage(after_first, stop_usage_now()));
}

// ENOUGH=2000 TIMING_O=0 LAPCOST=0
TEST(ChaseTrial, RestoresTheCurrentSetAndPublishesItsMedian) {
    CallerState caller;
    const uint64_t none = chase_trial_us(0);
    EXPECT_LT(none, 1000u);
    EXPECT_EQ(current_sample_set(), caller.set);
    EXPECT_EQ(clock_elapsed_us(), 100u);  // the caller's median, not its stored 4242
    EXPECT_EQ(clock_iterations(), 10u);
    EXPECT_EQ(caller.set->count, 3);
}

TEST(ChaseTrial, LongerChasesTakeLonger) {
    const uint64_t none = chase_trial_us(0);
    const uint64_t many = chase_trial_us(200000);  // two million dependent loads
    EXPECT_GT(many, none);
}

// ENOUGH=100000 TIMING_O=0 LAPCOST=0: a body that takes 1 ms whatever its
// count stands for one that even 4294967295 iterations cannot stretch to the
// enough interval (as with ENOUGH of several seconds and a fast loop).
void* one_millisecond(uint32_t) {
    const int64_t until = wall_clock_us() + 1000;
    while (wall_clock_us() < until) {
    }
    return nullptr;
}

TEST(CountCeiling, PassAtTheLargestCountEndsWithWhatItMeasured) {
    ensure_calibrated();
    uint32_t count = 1;  // grows by rescaling until it saturates
    timing_internal::adaptive_timing_pass(one_millisecond, count);
    EXPECT_EQ(count, UINT32_MAX);
    EXPECT_EQ(clock_iterations(), UINT32_MAX);
    EXPECT_GE(clock_elapsed_us(), 1000u);
    EXPECT_LT(clock_elapsed_us(), 95000u) << "the pass fell short of 0.95 of the enough interval";
}

// No environment at all: the full search (tens of seconds here), observed.
TEST(FullSearch, SettlesOnACandidateOrTheFallback) {
    StepLog log;
    const int enough = enough_at_least(0);
    const std::vector<int> allowed = {5000, 10000, 50000, 100000, 1000000};
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), enough), allowed.end()) << enough;
    if (enough > 50000) {
        EXPECT_EQ(timer_overhead_us(), 0u);
    }
    const double loop = iteration_overhead_us();
    EXPECT_GE(loop, 0.0);
    EXPECT_TRUE(std::isfinite(loop));

    // The candidates come in order, each failed but perhaps the last; the
    // outcome names the passed one, or the smallest error of the failed.
    const std::vector<CalibrationStep> outcomes = log.of_kind(CALIBRATION_STEP_CANDIDATE);
    const std::vector<CalibrationStep> settled = log.of_kind(CALIBRATION_STEP_ENOUGH);
    ASSERT_EQ(settled.size(), 1u);
    ASSERT_FALSE(outcomes.empty());
    double best = -1;
    int best_candidate = 0;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(outcomes[i].candidate_us, allowed[i]);
        EXPECT_EQ(outcomes[i].passed != 0, i + 1 == outcomes.size() && enough != 1000000);
        const double error = outcomes[i].worst_error;
        if (!outcomes[i].passed && error >= 0 && (best < 0 || error < best)) {
            best = error;
            best_candidate = outcomes[i].candidate_us;
        }
    }
    if (enough == 1000000) {
        EXPECT_EQ(outcomes.size(), 4u);
    }
    EXPECT_EQ(settled[0].enough_us, enough);
    EXPECT_EQ(settled[0].source,
              enough == 1000000 ? CALIBRATION_SOURCE_FALLBACK : CALIBRATION_SOURCE_CANDIDATE);
    EXPECT_EQ(settled[0].best_error, best);
    EXPECT_EQ(settled[0].best_candidate_us, best_candidate);
    log.expect_the_context_agrees();
    set_report_format(REPORT_FORMAT_JSON);
    const std::string context = report_text([] { report_context(); });
    EXPECT_EQ(context.find("\"enough interval is the one-second fallback: no candidate passed the "
                           "linearity test\"") != std::string::npos,
              enough == 1000000)
        << context;
    for (const CalibrationStep& s : log.of_kind(CALIBRATION_STEP_CHASE_TRIAL)) {
        EXPECT_GE(s.trial, 1);
        EXPECT_LE(s.trial, 11);
    }
}

}  // namespace
