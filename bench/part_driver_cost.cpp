// Parts 3b and 4: what one driver_run call costs beyond its intervals, and
// how its wall time grows with workers and repetitions.
#include <cstdio>

#include "driver_runs.h"
#include "quality_parts.h"

DriverCostResult measure_driver_cost(const Options& options) {
    BodyWork work{BodyKind::Chase, 1000, bench_self_pointer, 0};
    DriverCostResult result;
    result.rounds = options.quick ? 1 : 3;
    for (const int enough : {5000, 50000}) {
        std::vector<double> wall, timed, intervals;
        for (int r = 0; r < result.rounds; ++r) {
            const DriverResult d = measure_with_driver(&work, enough, 1, -1);
            wall.push_back(d.wall_s);
            timed.push_back(static_cast<double>(d.tally.timed_us) / 1e6);
            intervals.push_back(static_cast<double>(d.tally.intervals));
        }
        result.rows.push_back({enough, summarize(wall), summarize(timed), summarize(intervals)});
    }
    return result;
}

void print_driver_cost(const DriverCostResult& result) {
    std::printf("### 3b. Cost of measuring: one driver_run call\n\n");
    std::printf(
        "1 worker, body = chase 1000 loads, default repetitions (11), no warm-up. "
        "Timed = the sum of every interval the worker timed (warm-up and wind-down "
        "intervals included), counted by the interposed clock_end; medians of %d "
        "calls.\n\n",
        result.rounds);
    std::printf("| enough (us) | wall (s) | timed (s) | intervals | timed / wall |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (const DriverCostRow& row : result.rows) {
        const double wall = row.wall.median, timed = row.timed.median;
        std::printf("| %d | %.4f | %.4f | %.0f | %.4f |\n", row.enough_us, wall, timed,
                    row.intervals.median, wall > 0 ? timed / wall : 0);
    }
    std::printf("\n");
}

ScalingResult measure_scaling(const Options& options) {
    BodyWork work{BodyKind::Chase, 1000, bench_self_pointer, 0};
    ScalingResult result;
    result.enough_us = enough_at_least(0);
    result.rounds = options.quick ? 1 : 3;
    struct Shape {
        int parallel, repetitions;
    };
    std::vector<Shape> shapes = {{1, 1}, {1, 11}, {1, 101}, {2, 1}, {4, 1}};
    if (options.quick) shapes = {{1, 1}, {2, 1}};
    for (const Shape& s : shapes) {
        std::vector<double> wall;
        for (int r = 0; r < result.rounds; ++r) {
            wall.push_back(measure_with_driver(&work, 0, s.parallel, s.repetitions).wall_s);
        }
        result.rows.push_back({s.parallel, s.repetitions, summarize(wall)});
    }
    return result;
}

void print_scaling(const ScalingResult& result) {
    std::printf("### 4. Scaling of driver_run's wall time\n\n");
    std::printf(
        "Body = chase 1000 loads, enough %d us, no warm-up; medians of %d calls. With "
        "more than one worker each interval is sized to fill one second (after a "
        "one-worker pre-run).\n\n",
        result.enough_us, result.rounds);
    std::printf("| parallel | repetitions | wall (s) | min (s) | max (s) |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (const ScalingRow& row : result.rows) {
        std::printf("| %d | %d | %.3f | %.3f | %.3f |\n", row.parallel, row.repetitions,
                    row.wall.median, row.wall.min, row.wall.max);
    }
    std::printf("\n");
}
