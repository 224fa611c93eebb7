// Linked into lapcost_tally, which is lapcost's own main with the
// interposed clock: at exit it reports on standard error what the
// calibration settled on and what its timed intervals added up to.
#include <cstdio>
#include <cstdlib>

#include "clock_tally.h"
#include "lib_timing.h"

namespace {

void report_tally() {
    const ClockTally t = clock_tally_read();
    // Calibration is complete by now, so this only reads the stored value.
    std::fprintf(stderr, "tally enough_us=%d timed_us=%llu intervals=%llu\n", enough_at_least(0),
                 static_cast<unsigned long long>(t.timed_us),
                 static_cast<unsigned long long>(t.intervals));
}

__attribute__((constructor)) void register_report() { std::atexit(report_tally); }

}  // namespace
