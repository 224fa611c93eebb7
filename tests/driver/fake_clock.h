// A clock for driver tests whose time moves only when a test body says so:
// this executable's gettimeofday returns fake_now_us, so every interval a
// worker measures lasts exactly what its body advanced. Timeouts (select,
// alarm, nanosleep) still run on real time.
#ifndef TESTS_DRIVER_FAKE_CLOCK_H
#define TESTS_DRIVER_FAKE_CLOCK_H

#include <cstdint>

extern uint64_t fake_now_us;

inline void advance_fake_clock(uint64_t us) { fake_now_us += us; }

#endif
