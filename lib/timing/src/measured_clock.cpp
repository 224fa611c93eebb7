// The clock a program measured on each CPU (boardmark clock does), kept for
// the rest of the process: the context shows it, and a run on a CPU whose
// measured clock is well below its cpufreq policy's highest frequency is
// disturbed.
#include <cmath>

#include "internal.h"

namespace {

constexpr int MEASURED_MAX_CPUS = 1024;
double measured_mhz[MEASURED_MAX_CPUS];  // 0: not measured

}  // namespace

extern "C" int set_measured_clock(int cpu, double mhz) {
    if (cpu < 0 || cpu >= MEASURED_MAX_CPUS || !(mhz >= 0) || !std::isfinite(mhz)) return -1;
    measured_mhz[cpu] = mhz;
    return 0;
}

namespace timing_internal {

double measured_clock_mhz(int cpu) {
    return cpu >= 0 && cpu < MEASURED_MAX_CPUS && measured_mhz[cpu] > 0 ? measured_mhz[cpu] : NAN;
}

int measured_clock_cpus() {
    int count = MEASURED_MAX_CPUS;
    while (count > 0 && !(measured_mhz[count - 1] > 0)) --count;
    return count;
}

}  // namespace timing_internal
