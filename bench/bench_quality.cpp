// bench_quality: how well lib_timing measures, against Google Benchmark
// measuring the same loops on the same machine in the same run. The two
// harnesses take turns round by round, so that drift of a shared, noisy
// machine hits both alike; every part measures first, and the results are
// printed afterwards as Markdown tables.
//
//   bench_quality [--quick] [--runs N] [--parts LIST]
//
// --quick runs every part once with short intervals (CI uses it so that the
// bench keeps building and running; its numbers mean nothing). LIST is a
// comma-separated subset of 1,2,3,4:
//   1  loop overhead: lapcost's value against Google Benchmark's 2A - B
//      (part_overhead.cpp)
//   2  driver accuracy: driver_run with 1 and 2 workers against Google Benchmark,
//      and how repeatable both harnesses are (within-run spread, CV, run-to-run
//      range) (part_accuracy.cpp)
//   3  cost of measuring: lapcost's wall time against its timed intervals
//      (part_overhead.cpp), and the same for one driver_run call
//      (part_driver_cost.cpp)
//   4  scaling of driver_run's wall time with workers and repetitions
//      (part_driver_cost.cpp)
// Parts 1 and 3 share their lapcost runs. The bench never fails on a number:
// it exits 0 whenever it could run, 2 on a usage error.
#include <benchmark/benchmark.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "clock_tally.h"
#include "lib_timing.h"
#include "quality_parts.h"

bool Options::has(int part) const {
    return std::find(parts.begin(), parts.end(), part) != parts.end();
}

namespace {

void print_machine(const Options& options) {
    std::printf("## lib_timing measurement quality\n\n");
    std::printf("Google Benchmark %s; %s mode, %d run(s) per figure.\n", "1.7 (system package)",
                options.quick ? "quick" : "full", options.runs);
    std::printf(
        "In-process calibration for parts 2-4: enough %d us, timer overhead %llu us, "
        "loop overhead %.8f us.\n\n",
        enough_at_least(0), static_cast<unsigned long long>(timer_overhead_us()),
        iteration_overhead_us());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"How well lib_timing measures, against Google Benchmark on the same loops."};
    app.add_flag("--quick", options.quick,
                 "every part once, short intervals (numbers mean nothing)");
    app.add_option("--runs", options.runs, "rounds per figure (default 10)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--parts", options.parts, "the parts to run, e.g. 1,3 (default 1,2,3,4)")
        ->delimiter(',')
        ->check(CLI::Range(1, 4));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    if (options.quick) options.runs = 1;

    char program[] = "bench_quality";
    char* gb_argv[] = {program, nullptr};
    int gb_argc = 1;
    benchmark::Initialize(&gb_argc, gb_argv);

    // The driver parts use this process's own calibration; without an
    // ENOUGH of the caller's it is given 5000 us so that the search does not
    // add half a minute (the lapcost runs of parts 1 and 3 measure that).
    setenv("ENOUGH", "5000", 0);
    clock_tally_share();
    ensure_calibrated();

    OverheadResult overhead;
    AccuracyResult accuracy;
    DriverCostResult driver_cost;
    ScalingResult scaling;
    if (options.has(1) || options.has(3)) overhead = measure_overhead(options);
    if (options.has(2)) accuracy = measure_accuracy(options);
    if (options.has(3)) driver_cost = measure_driver_cost(options);
    if (options.has(4)) scaling = measure_scaling(options);

    print_machine(options);
    if (options.has(1)) print_loop_overhead(overhead);
    if (options.has(3)) print_lapcost_cost(overhead);
    if (options.has(2)) print_accuracy(accuracy);
    if (options.has(3)) print_driver_cost(driver_cost);
    if (options.has(4)) print_scaling(scaling);
    return 0;
}
