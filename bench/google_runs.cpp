#include "google_runs.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>

namespace {

// Collects the per-iteration real time of every repetition (aggregates are
// left out).
class CaptureReporter : public benchmark::BenchmarkReporter {
   public:
    std::vector<double> ns_per_iteration;
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                ns_per_iteration.push_back(run.GetAdjustedRealTime());
            }
        }
    }
};

// Runs one benchmark on its own, `repetitions` times of at least `min_time`
// seconds each, and returns each repetition's real time per iteration in
// microseconds.
std::vector<double> google_us_per_iteration(const char* name,
                                            const std::function<void(benchmark::State&)>& fn,
                                            double min_time, int repetitions) {
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark(name, fn)
        ->Unit(benchmark::kNanosecond)
        ->MinTime(min_time)
        ->Repetitions(repetitions);
    CaptureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();
    std::vector<double> us;
    for (double ns : reporter.ns_per_iteration) us.push_back(ns / 1000.0);
    return us;
}

}  // namespace

ChasePair google_chase_pair(double min_time) {
    auto single = [](benchmark::State& state) {
        void* p = bench_self_pointer;
        for (auto _ : state) p = bench_single_chase(p, CHASE_LOADS);
        benchmark::DoNotOptimize(p);
    };
    auto twice = [](benchmark::State& state) {
        void* p = bench_self_pointer;
        for (auto _ : state) p = bench_double_chase(p, CHASE_LOADS);
        benchmark::DoNotOptimize(p);
    };
    std::vector<double> a, b;
    for (int r = 0; r < GOOGLE_REPETITIONS; ++r) {
        for (double us : google_us_per_iteration("single_chase", single, min_time, 1)) {
            a.push_back(us / CHASE_LOADS);
        }
        for (double us : google_us_per_iteration("double_chase", twice, min_time, 1)) {
            b.push_back(us / CHASE_LOADS);
        }
    }
    ChasePair pair;
    if (!a.empty()) pair.single_us = *std::min_element(a.begin(), a.end());
    if (!b.empty()) pair.double_us = *std::min_element(b.begin(), b.end());
    return pair;
}

std::vector<double> google_body_us(BodyWork* work, double min_time) {
    auto fn = [work](benchmark::State& state) {
        for (auto _ : state) run_body(1, work);
    };
    return google_us_per_iteration("body", fn, min_time, GOOGLE_REPETITIONS);
}
