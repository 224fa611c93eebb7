// Waiting for the machine to be quiet before measuring: /proc/stat is read
// every IDLE_STEP_US, and the machine is quiet once the share of all CPUs'
// time that everything but this process used stayed below IDLE_SHARE for
// IDLE_QUIET_STEPS steps in a row.
#include <sys/resource.h>
#include <time.h>

#include <cmath>
#include <cstdint>

#include "context.h"
#include "system_files.h"

namespace {

using namespace timing_internal;

constexpr double IDLE_SHARE = 0.10;
constexpr int64_t IDLE_STEP_US = 500000;
constexpr int IDLE_QUIET_STEPS = 6;  // 3 seconds

void sleep_us(int64_t us) {
    struct timespec pause = {static_cast<time_t>(us / 1000000),
                             static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

// The result of the latest wait that gave up, for the context's warnings.
bool gave_up = false;
IdleWaitResult given_up;

}  // namespace

namespace timing_internal {

bool idle_wait_gave_up(IdleWaitResult* result) {
    if (gave_up) *result = given_up;
    return gave_up;
}

}  // namespace timing_internal

extern "C" int wait_idle(double max_seconds, IdleWaitResult* result) {
    IdleWaitResult r{0.0, NAN, 0};
    const int64_t start = monotonic_us();
    const double limit_us = max_seconds > 0 ? max_seconds * 1e6 : 0.0;
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    uint64_t busy = 0;
    uint64_t total = 0;
    if (ticks_per_second <= 0 || !read_cpu_ticks(&busy, &total)) {
        if (result != nullptr) *result = r;
        return -1;
    }
    uint64_t own = own_cpu_us();
    int quiet_steps = 0;
    double busy_sum = 0;  // over the whole wait, for the share when it gives up
    double total_sum = 0;
    while (quiet_steps < IDLE_QUIET_STEPS) {
        const double waited = static_cast<double>(monotonic_us() - start);
        if (waited + static_cast<double>(IDLE_STEP_US) > limit_us) break;
        sleep_us(IDLE_STEP_US);
        uint64_t busy_now = 0;
        uint64_t total_now = 0;
        if (!read_cpu_ticks(&busy_now, &total_now)) break;
        const uint64_t own_now = own_cpu_us();
        const double us_per_tick = 1e6 / static_cast<double>(ticks_per_second);
        double others = busy_now >= busy ? static_cast<double>(busy_now - busy) * us_per_tick : 0;
        others -= static_cast<double>(own_now - own);
        if (others < 0) others = 0;
        const double all =
            total_now > total ? static_cast<double>(total_now - total) * us_per_tick : 0;
        busy = busy_now;
        total = total_now;
        own = own_now;
        if (all <= 0) continue;  // no tick passed: nothing to judge
        busy_sum += others;
        total_sum += all;
        r.busy_share = others / all;
        quiet_steps = r.busy_share < IDLE_SHARE ? quiet_steps + 1 : 0;
    }
    r.quiet = quiet_steps >= IDLE_QUIET_STEPS ? 1 : 0;
    r.waited_seconds = static_cast<double>(monotonic_us() - start) / 1e6;
    if (!r.quiet && total_sum > 0) r.busy_share = busy_sum / total_sum;
    gave_up = !r.quiet;
    given_up = r;
    if (result != nullptr) *result = r;
    return r.quiet ? 0 : 1;
}
