// The parts of bench_quality. Each part measures first, into a result, and
// prints its Markdown tables from that result afterwards.
#ifndef BENCH_QUALITY_PARTS_H
#define BENCH_QUALITY_PARTS_H

#include <string>
#include <vector>

#include "lapcost_runs.h"
#include "quality_stats.h"

struct Options {
    bool quick = false;  // every part once with short intervals
    int runs = 10;       // rounds per figure
    std::vector<int> parts = {1, 2, 3, 4};
    bool has(int part) const;
};

// Parts 1 and 3a: lapcost's loop overhead against Google Benchmark's 2A - B,
// and what a lapcost process costs beyond the intervals it times. They share
// their lapcost runs.
struct OverheadRound {
    LapcostRun lapcost;
    double google_a = 0, google_b = 0;
    double google_estimate() const { return 2 * google_a - google_b; }
};

struct OverheadResult {
    bool quick = false;
    double min_time = 0;  // of each Google Benchmark repetition
    std::vector<OverheadRound> rounds;
    std::vector<LapcostRun> preset;  // ENOUGH=5000, for part 3a only
};

OverheadResult measure_overhead(const Options& options);
void print_loop_overhead(const OverheadResult& result);
void print_lapcost_cost(const OverheadResult& result);

// Parts 2 and 2b: driver_run with 1 and 2 workers against Google Benchmark
// on the same bodies, and how repeatable both are.
struct AccuracyRow {
    std::string name;
    // Per round: GB's median repetition, the driver's published figures,
    // their ratios to GB's median (r) and fastest (f).
    std::vector<double> google, one, two, r1, r2, f1, f2;
    // Per round: within-run spreads and GB's coefficient of variation.
    std::vector<double> spread1, spread2, google_spread, google_cv;
};

struct AccuracyResult {
    int enough_us = 0;
    double min_time = 0;
    int rounds = 0;
    std::vector<AccuracyRow> rows;
};

AccuracyResult measure_accuracy(const Options& options);
void print_accuracy(const AccuracyResult& result);

// Part 3b: what one driver_run call costs beyond the intervals it times.
struct DriverCostRow {
    int enough_us = 0;
    Summary wall, timed, intervals;
};

struct DriverCostResult {
    int rounds = 0;
    std::vector<DriverCostRow> rows;
};

DriverCostResult measure_driver_cost(const Options& options);
void print_driver_cost(const DriverCostResult& result);

// Part 4: driver_run's wall time against workers and repetitions.
struct ScalingRow {
    int parallel = 0, repetitions = 0;
    Summary wall;
};

struct ScalingResult {
    int enough_us = 0;
    int rounds = 0;
    std::vector<ScalingRow> rows;
};

ScalingResult measure_scaling(const Options& options);
void print_scaling(const ScalingResult& result);

#endif
