// The statistics and clocks of bench_quality's parts: a set of figures
// summarised, and the seconds of a clock.
#ifndef BENCH_QUALITY_STATS_H
#define BENCH_QUALITY_STATS_H

#include <time.h>

#include <vector>

double seconds_of(clockid_t clock);
double monotonic_seconds();

// A set of figures: its median, extremes, mean and standard deviation.
struct Summary {
    double median = 0, min = 0, max = 0, stddev = 0, mean = 0;
    // Coefficient of variation, stddev / mean, as Google Benchmark reports it.
    double cv() const { return mean != 0 ? stddev / mean : 0; }
    // Run-to-run range relative to the median.
    double range() const { return median != 0 ? (max - min) / median : 0; }
};

// All zero for no figures.
Summary summarize(std::vector<double> v);

// Median of |x - median| / median: the statistic that sample_set_summarize
// calls spread, for values that are not in a sample set.
double median_relative_deviation(const std::vector<double>& v);

#endif
