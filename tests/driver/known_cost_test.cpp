// Integration: a body of known cost (a chain of dependent loads per
// iteration) measured through driver_run with one and with two workers, and
// measured directly in this process. The published time per iteration must
// be close to the direct one, made by as many processes at once. Real time,
// so the bounds are generous.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "child_process.h"
#include "driver_fixtures.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

constexpr int LOADS = 20;

double now_us() { return monotonic_seconds() * 1e6; }

// The same body the workers run, timed directly: the median of 5 runs of
// about 100 ms each.
double direct_us_per_iteration(Scenario* scenario) {
    uint32_t n = 1024;
    for (;;) {
        const double start = now_us();
        test_body(n, scenario);
        if (now_us() - start >= 100000 || n >= (1u << 30)) break;
        n *= 2;
    }
    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        const double start = now_us();
        test_body(n, scenario);
        runs.push_back((now_us() - start) / n);
    }
    std::sort(runs.begin(), runs.end());
    return runs[2];
}

// The direct measurement made by as many processes at once as the driver
// runs workers, so that both compete for the processors alike; the mean of
// their results.
double concurrent_direct_us_per_iteration(Scenario* scenario, int processes) {
    int results[2];
    if (pipe(results) != 0) return 0;
    std::vector<pid_t> pids;
    for (int i = 0; i < processes; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            const double r = direct_us_per_iteration(scenario);
            const ssize_t w = write(results[1], &r, sizeof r);
            _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
        }
        if (pid > 0) pids.push_back(pid);
    }
    close(results[1]);
    double sum = 0;
    int got = 0;
    double r = 0;
    while (read(results[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
        sum += r;
        ++got;
    }
    close(results[0]);
    for (pid_t pid : pids) wait_bounded(pid, 60000);
    return got == processes ? sum / got : 0;
}

double published_us_per_iteration() {
    return static_cast<double>(clock_elapsed_us()) / static_cast<double>(clock_iterations());
}

void expect_close_to_direct(int parallel, int repetitions, double factor) {
    Scenario* scenario = fresh_scenario();
    ASSERT_NE(scenario, nullptr);
    scenario->real_loads = LOADS;
    ensure_calibrated();
    const double direct = concurrent_direct_us_per_iteration(scenario, parallel);
    driver_run(test_setup, test_body, test_teardown, 20000, parallel, 0, repetitions, scenario);
    ASSERT_GT(clock_elapsed_us(), 0u) << "the run completed";
    const double measured = published_us_per_iteration();
    const double after = concurrent_direct_us_per_iteration(scenario, parallel);
    ASSERT_GT(direct, 0.0);
    ASSERT_GT(after, 0.0);
    // The machine's load may change between the two direct measurements;
    // the driver's result must lie near the range they span.
    const double low = std::min(direct, after);
    const double top = std::max(direct, after);
    std::printf(
        "%d worker(s): %.6f us per iteration through the driver (%llu over %llu), "
        "%.6f..%.6f direct\n",
        parallel, measured, static_cast<unsigned long long>(clock_elapsed_us()),
        static_cast<unsigned long long>(clock_iterations()), low, top);
    EXPECT_GT(measured, low / factor);
    EXPECT_LT(measured, top * factor);
}

TEST(KnownCost, OneWorkerPublishesTheBodyCostPerIteration) { expect_close_to_direct(1, -1, 3.0); }

TEST(KnownCost, TwoWorkersPublishTheBodyCostPerIteration) { expect_close_to_direct(2, 3, 3.0); }

}  // namespace
