// The overhead correction at an interval boundary, with a timer overhead of
// 16 us and a loop overhead of 0.00003 us per iteration (set before the first
// calibration use), and the fake clock giving each interval an exact length.
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "driver_internal.h"
#include "fake_clock.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

using timing_internal::next_interval;

namespace {

struct Overheads {
    Overheads() {
        setenv("TIMING_O", "16", 1);
        setenv("LAPCOST", "0.00003", 1);
    }
} overheads;

void nothing(uint32_t, void*) {}

struct Harness {
    int reply[2];
    alignas(8) unsigned char storage[8 + 16 * 16];
    SampleSet* set = reinterpret_cast<SampleSet*>(storage);
    WorkerState s;
    Harness(uint32_t n, int32_t workers, int32_t enough) {
        ensure_calibrated();
        pipe(reply);
        std::memset(&s, 0, sizeof s);
        s.phase = Timing;
        s.body_fn = nothing;
        s.reply_fd = reply[1];
        s.go_fd = s.collect_fd = s.quit_fd = -1;
        s.enough_us = enough;
        s.timed_iterations = n;
        s.worker_count = workers;
        s.sample_goal = 11;
        s.idle_iterations = 1;
        s.set_bytes = sample_set_bytes(11);
        s.own_samples = set;
        sample_set_clear(set);
        select_sample_set(set);
        clock_begin(nullptr);
    }
    ~Harness() {
        close(reply[0]);
        close(reply[1]);
    }
    uint32_t interval(uint64_t us) {
        advance_fake_clock(us);
        return next_interval(&s);
    }
};

TEST(OverheadCorrection, CalibratedValuesAreTheOverrides) {
    EXPECT_EQ(timer_overhead_us(), 16u);
    EXPECT_EQ(iteration_overhead_us(), 0.00003);
}

TEST(OverheadCorrection, TimerAndLoopCostsAreSubtractedAndTruncated) {
    Harness h(1000, 4, 10000);
    h.interval(20000);  // 20000 - 16 - 1000 * 0.00003 = 19983.97
    ASSERT_EQ(h.set->count, 1);
    EXPECT_EQ(h.set->samples[0].elapsed_us, 19983u);
    EXPECT_EQ(h.set->samples[0].iterations, 1000u);
}

TEST(OverheadCorrection, CorrectionDecidesTheCounting) {
    Harness h(1000, 1, 10000);
    h.interval(9516);  // 9499.97: not above 9500
    EXPECT_EQ(h.s.samples_taken, 0);
    Harness k(1000, 1, 10000);
    k.interval(9517);  // 9500.97
    EXPECT_EQ(k.s.samples_taken, 1);
}

TEST(OverheadCorrection, NegativeTimeGrowsTheCountUpToItsOwnBound) {
    Harness h(131072, 1, 10000);
    EXPECT_EQ(h.interval(0), 1048576u) << "at the bound for negative time";
    EXPECT_EQ(h.s.phase, Timing);
    Harness k(131073, 1, 10000);
    EXPECT_EQ(k.interval(0), 1u);
    EXPECT_EQ(k.s.phase, WindDown);
    EXPECT_EQ(k.s.timed_iterations, 1048584u);
    char done;
    EXPECT_EQ(read(k.reply[0], &done, 1), 1);
}

TEST(OverheadCorrection, NegativeTimeNeverRecordsInAOneWorkerRun) {
    Harness h(8, 1, 0);  // even an enough interval of 0 does not count it
    h.interval(3);
    EXPECT_EQ(h.s.samples_taken, 0);
    EXPECT_EQ(h.set->count, 0);
    EXPECT_EQ(clock_elapsed_us(), 0u) << "the clock holds the clamped time";
}

TEST(OverheadCorrection, NegativeTimeCountsButAddsNoSampleWithSeveralWorkers) {
    Harness h(8, 2, 10000);
    h.interval(3);
    EXPECT_EQ(h.s.samples_taken, 1);
    EXPECT_EQ(h.set->count, 0);
}

}  // namespace
