#include "driver_runs.h"

#include <cstdlib>

#include "quality_stats.h"

namespace {

// The merged set of the previous driver_run call: the driver hands each
// published set to its caller, so the bench frees the one a later run replaced.
SampleSet* previous_merged_set = nullptr;

void free_replaced_merged_set() {
    SampleSet* const current = current_sample_set();
    if (previous_merged_set != nullptr && previous_merged_set != current) free(previous_merged_set);
    previous_merged_set = current;
}

}  // namespace

DriverResult measure_with_driver(BodyWork* work, int enough, int parallel, int repetitions) {
    clock_tally_reset();
    const double start = monotonic_seconds();
    driver_run(nullptr, run_body, nullptr, enough, parallel, 0, repetitions, work);
    // Only a run that published owns the current set (a failed one leaves it).
    if (clock_elapsed_us() != 0) free_replaced_merged_set();
    DriverResult result;
    result.wall_s = monotonic_seconds() - start;
    result.tally = clock_tally_read();
    const uint64_t n = clock_iterations();
    result.us_per_iteration =
        n ? static_cast<double>(clock_elapsed_us()) / static_cast<double>(n) : 0;
    // After a completed run the merged set is current.
    if (clock_elapsed_us() != 0) sample_set_summarize(current_sample_set(), &result.samples);
    return result;
}

std::vector<BodyCase> body_cases(bool quick) {
    std::vector<BodyCase> cases = {
        {"chase 100 loads", {BodyKind::Chase, 100, bench_self_pointer, 0}},
        {"chase 1000 loads", {BodyKind::Chase, 1000, bench_self_pointer, 0}},
        {"chase 10000 loads", {BodyKind::Chase, 10000, bench_self_pointer, 0}},
        {"multiply-add 1000 steps", {BodyKind::Arithmetic, 1000, nullptr, 1}},
    };
    if (quick) cases.resize(2);
    return cases;
}
