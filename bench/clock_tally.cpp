#include "clock_tally.h"

#include <sys/mman.h>
#include <sys/time.h>

extern "C" uint64_t __real_clock_end(const struct timeval* from, struct timeval* into);
extern "C" uint64_t __wrap_clock_end(const struct timeval* from, struct timeval* into);

namespace {

ClockTally local_tally;
ClockTally* tally = &local_tally;

}  // namespace

// Runs after the library's clock_end has taken its timestamp, so the
// counting itself lies outside the interval it counts. Workers may add at
// the same time, hence the atomic additions.
extern "C" uint64_t __wrap_clock_end(const struct timeval* from, struct timeval* into) {
    const uint64_t us = __real_clock_end(from, into);
    __atomic_fetch_add(&tally->timed_us, us, __ATOMIC_RELAXED);
    __atomic_fetch_add(&tally->intervals, 1, __ATOMIC_RELAXED);
    return us;
}

bool clock_tally_share() {
    if (tally != &local_tally) return true;
    void* shared = mmap(nullptr, sizeof(ClockTally), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return false;
    tally = static_cast<ClockTally*>(shared);
    *tally = local_tally;
    return true;
}

void clock_tally_reset() {
    __atomic_store_n(&tally->timed_us, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&tally->intervals, 0, __ATOMIC_RELAXED);
}

ClockTally clock_tally_read() {
    ClockTally t;
    t.timed_us = __atomic_load_n(&tally->timed_us, __ATOMIC_RELAXED);
    t.intervals = __atomic_load_n(&tally->intervals, __ATOMIC_RELAXED);
    return t;
}
