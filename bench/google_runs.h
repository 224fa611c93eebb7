// The Google Benchmark side of bench_quality: the same loops and bodies
// timed by Google Benchmark, one benchmark registered and run at a time.
#ifndef BENCH_GOOGLE_RUNS_H
#define BENCH_GOOGLE_RUNS_H

#include <cstdint>
#include <vector>

#include "measured_loops.h"

// Loads per Google Benchmark iteration of the chase loops: long enough that
// the harness's own per-iteration cost vanishes in the division.
constexpr uint32_t CHASE_LOADS = 1u << 16;

// Repetitions per figure on the Google Benchmark side: as many as the
// library's calibration and driver take samples.
constexpr int GOOGLE_REPETITIONS = 11;

struct ChasePair {
    double single_us = 0, double_us = 0;  // per load of each loop
};

// The one-load and two-load loops, one repetition of each in turn so that
// both see the same machine, reduced like the calibration reduces its
// passes: to the fastest repetition of each.
ChasePair google_chase_pair(double min_time);

// GOOGLE_REPETITIONS repetitions of one body, in microseconds per call.
std::vector<double> google_body_us(BodyWork* work, double min_time);

#endif
