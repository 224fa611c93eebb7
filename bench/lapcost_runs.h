// lapcost as a fresh process: the bench-only build with the interposed clock
// (lapcost_tally), run once and timed from fork to reaping.
#ifndef BENCH_LAPCOST_RUNS_H
#define BENCH_LAPCOST_RUNS_H

#include <cstdint>
#include <string>
#include <vector>

struct LapcostRun {
    bool ok = false;
    double value = 0;    // what lapcost printed, us per iteration
    int enough_us = 0;   // the enough interval calibration settled on
    double timed_s = 0;  // sum of the intervals it timed
    uint64_t intervals = 0;
    double process_s = 0;     // from the process's first constructor to its exit
    double clock_step_s = 0;  // how far the wall clock moved beyond the monotonic one
    double wall_s = 0;        // fork to reaped exit
};

// The enough interval lapcost takes when every candidate failed.
constexpr int LAPCOST_FALLBACK_ENOUGH_US = 1000000;

// Runs lapcost_tally (beside this program) with the caller's environment
// less the calibration overrides, plus extra_env, so that it calibrates from
// scratch. A failed run says so on standard error and is not ok.
LapcostRun run_lapcost(const std::vector<std::string>& extra_env);

#endif
