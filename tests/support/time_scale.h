// Bounds on how long a test waits are written for a native build on a loaded
// two-core machine. Under a sanitizer or an emulator everything runs several
// times slower: TIMING_TEST_TIME_SCALE (a positive number, default 1), set by
// the asan, armhf and arm64 test presets, stretches every such bound. Only
// upper bounds are scaled; a lower bound on time (a sleep that must have
// lasted) holds as written.
#ifndef TESTS_TIME_SCALE_H
#define TESTS_TIME_SCALE_H

// The factor, read once; a value that is not a positive number ends the
// process with a message naming it.
double test_time_scale();

// A bound in seconds or milliseconds, stretched by the factor.
double scaled_seconds(double seconds);
int scaled_ms(int ms);

// CLOCK_MONOTONIC in seconds, for measuring how long a step took.
double monotonic_seconds();

#endif
