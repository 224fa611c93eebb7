// An interposed interval clock for bench builds only: the bench programs are
// linked with --wrap=clock_end, so every interval the library times passes
// through clock_tally's wrapper, which adds it up. The library itself is
// linked unchanged.
#ifndef BENCH_CLOCK_TALLY_H
#define BENCH_CLOCK_TALLY_H

#include <cstdint>

struct ClockTally {
    uint64_t timed_us;   // sum of all intervals clock_end returned
    uint64_t intervals;  // how many there were
};

// Moves the tally into memory shared with the processes forked afterwards
// (the driver's workers), so that their intervals are counted too. Returns
// false when the mapping fails; the tally then stays process-local.
bool clock_tally_share();

void clock_tally_reset();
ClockTally clock_tally_read();

#endif
