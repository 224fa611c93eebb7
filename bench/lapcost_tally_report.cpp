// Linked into lapcost_tally, which is lapcost's own main with the
// interposed clock: at exit it reports on standard error what the
// calibration settled on, what its timed intervals added up to, and how long
// the process ran from its first constructor to exit (the rest of the wall
// time is spent starting and ending the process).
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>

#include "clock_tally.h"
#include "lib_timing.h"

namespace {

struct timeval process_start;

void report_tally() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    const ClockTally t = clock_tally_read();
    // Calibration is complete by now, so this only reads the stored value.
    std::fprintf(stderr, "tally enough_us=%d timed_us=%llu intervals=%llu process_us=%llu\n",
                 enough_at_least(0), static_cast<unsigned long long>(t.timed_us),
                 static_cast<unsigned long long>(t.intervals),
                 static_cast<unsigned long long>(timeval_span_us(&process_start, &now)));
}

__attribute__((constructor)) void register_report() {
    gettimeofday(&process_start, nullptr);
    std::atexit(report_tally);
}

}  // namespace
