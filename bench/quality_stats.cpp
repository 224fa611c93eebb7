#include "quality_stats.h"

#include <algorithm>
#include <cmath>

double seconds_of(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double monotonic_seconds() { return seconds_of(CLOCK_MONOTONIC); }

Summary summarize(std::vector<double> v) {
    Summary s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.min = v.front();
    s.max = v.back();
    double mean = 0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(n);
    s.mean = mean;
    double sq = 0;
    for (double x : v) sq += (x - mean) * (x - mean);
    s.stddev = n > 1 ? std::sqrt(sq / static_cast<double>(n - 1)) : 0;
    return s;
}

double median_relative_deviation(const std::vector<double>& v) {
    const double m = summarize(v).median;
    if (m == 0) return 0;
    std::vector<double> deviations;
    for (double x : v) deviations.push_back(std::fabs(x - m) / m);
    return summarize(deviations).median;
}
