// The library's side of bench_quality: one driver_run call over a body of
// known cost, with its wall time and the intervals its workers timed.
#ifndef BENCH_DRIVER_RUNS_H
#define BENCH_DRIVER_RUNS_H

#include <vector>

#include "clock_tally.h"
#include "lib_timing.h"
#include "measured_loops.h"

struct DriverResult {
    double us_per_iteration = 0;  // the published median sample
    SampleSummary samples{};      // of the merged set; count 0 when the run failed
    double wall_s = 0;
    ClockTally tally{};
};

// driver_run(nullptr, run_body, nullptr, enough, parallel, 0, repetitions,
// work), measured.
DriverResult measure_with_driver(BodyWork* work, int enough, int parallel, int repetitions);

struct BodyCase {
    const char* name;
    BodyWork work;
};

// The bodies parts 2 and 2b measure; two in quick mode.
std::vector<BodyCase> body_cases(bool quick);

#endif
