// Parts 2 and 2b: driver_run against Google Benchmark on the same bodies,
// and how repeatable both harnesses are.
#include <algorithm>
#include <cstdio>
#include <string>

#include "driver_runs.h"
#include "google_runs.h"
#include "quality_parts.h"

AccuracyResult measure_accuracy(const Options& options) {
    AccuracyResult result;
    result.enough_us = enough_at_least(0);
    result.min_time = options.quick ? 0.001 : 0.005;
    result.rounds = options.quick ? 1 : std::max(3, options.runs / 2);
    for (BodyCase& c : body_cases(options.quick)) {
        AccuracyRow row;
        row.name = c.name;
        for (int r = 0; r < result.rounds; ++r) {
            const std::vector<double> repetitions = google_body_us(&c.work, result.min_time);
            const Summary g = summarize(repetitions);
            const DriverResult d1 = measure_with_driver(&c.work, 0, 1, -1);
            const DriverResult d2 = measure_with_driver(&c.work, 0, 2, -1);
            row.google.push_back(g.median);
            row.one.push_back(d1.us_per_iteration);
            row.two.push_back(d2.us_per_iteration);
            row.google_spread.push_back(median_relative_deviation(repetitions));
            row.google_cv.push_back(g.cv());
            if (d1.samples.count > 0) row.spread1.push_back(d1.samples.spread);
            if (d2.samples.count > 0) row.spread2.push_back(d2.samples.spread);
            if (g.median > 0 && g.min > 0) {
                row.r1.push_back(d1.us_per_iteration / g.median);
                row.r2.push_back(d2.us_per_iteration / g.median);
                row.f1.push_back(d1.samples.fastest_us / g.min);
                row.f2.push_back(d2.samples.fastest_us / g.min);
            }
            std::fprintf(stderr,
                         "  %s round %d: GB median %.4f fastest %.4f cv %.4f; driver 1w %.4f "
                         "fastest %.4f spread %.4f; 2w %.4f fastest %.4f spread %.4f\n",
                         c.name, r + 1, g.median, g.min, g.cv(), d1.us_per_iteration,
                         d1.samples.fastest_us, d1.samples.spread, d2.us_per_iteration,
                         d2.samples.fastest_us, d2.samples.spread);
        }
        result.rows.push_back(row);
    }
    return result;
}

namespace {

// The median of the rounds with their range in brackets.
std::string median_and_range(const std::vector<double>& v) {
    const Summary s = summarize(v);
    char text[64];
    std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", s.median, s.min, s.max);
    return text;
}

std::string percent(double fraction) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f%%", 100 * fraction);
    return text;
}

}  // namespace

void print_accuracy(const AccuracyResult& result) {
    std::printf("### 2. Driver accuracy (us per body call)\n\n");
    std::printf(
        "driver_run (enough %d us, default repetitions, no warm-up) with 1 and 2 workers "
        "against Google Benchmark's real time per iteration of the same body (%d repetitions "
        "of %.3f s). Ratio = driver / GB: the driver's published median against GB's median "
        "repetition, and the driver's fastest sample against GB's fastest repetition (the "
        "figure that the machine's other load disturbs least). Medians over %d interleaved "
        "rounds, the range across rounds in brackets.\n\n",
        result.enough_us, GOOGLE_REPETITIONS, result.min_time, result.rounds);
    std::printf(
        "| body | GB median (us) | 1 worker (us) | ratio | fastest ratio | 2 workers (us) | "
        "ratio | fastest ratio |\n");
    std::printf("|---|---:|---:|---|---|---:|---|---|\n");
    for (const AccuracyRow& row : result.rows) {
        std::printf("| %s | %.4f | %.4f | %s | %s | %.4f | %s | %s |\n", row.name.c_str(),
                    summarize(row.google).median, summarize(row.one).median,
                    median_and_range(row.r1).c_str(), median_and_range(row.f1).c_str(),
                    summarize(row.two).median, median_and_range(row.r2).c_str(),
                    median_and_range(row.f2).c_str());
    }
    std::printf("\nTarget: ratio within 0.98-1.02 for bodies of 1 us and more.\n\n");

    std::printf("### 2b. Stability (the same rounds)\n\n");
    std::printf(
        "Within one run: the spread of the driver's samples (sample_set_summarize of the "
        "merged set: the median of |t - median| / median, nanobench's error; 11 samples with "
        "1 worker, 2 with 2 workers, the default repetitions), the same statistic over Google "
        "Benchmark's %d "
        "repetitions, and GB's coefficient of variation of its repetitions (stddev / mean, "
        "as GB prints it); medians over the %d rounds. Run to run: (max - min) / median of "
        "each harness's per-round result (the driver's published median, GB's median "
        "repetition) over the %d rounds.\n\n",
        GOOGLE_REPETITIONS, result.rounds, result.rounds);
    std::printf(
        "| body | driver spread, 1 worker | GB spread | GB CV | run to run: driver, 1 worker | "
        "run to run: GB | driver spread, 2 workers | run to run: driver, 2 workers |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const AccuracyRow& row : result.rows) {
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(),
                    percent(summarize(row.spread1).median).c_str(),
                    percent(summarize(row.google_spread).median).c_str(),
                    percent(summarize(row.google_cv).median).c_str(),
                    percent(summarize(row.one).range()).c_str(),
                    percent(summarize(row.google).range()).c_str(),
                    percent(summarize(row.spread2).median).c_str(),
                    percent(summarize(row.two).range()).c_str());
    }
    std::printf("\n");
}
