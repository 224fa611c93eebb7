// The conditions under which a measurement deserves less trust, from the
// context's records alone.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "context.h"

namespace {

constexpr int32_t FEW_SAMPLES = 5;

}  // namespace

namespace timing_internal {

void ContextWarnings::add(const char* format, ...) {
    if (count == CONTEXT_MAX_WARNINGS) return;
    va_list args;
    va_start(args, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
    vsnprintf(text[count++], sizeof text[0], format, args);
    va_end(args);
}

ContextWarnings context_warnings(const MachineRecord& machine, const LiveFacts& live) {
    ContextWarnings w{};
    if (strncmp(machine.virtualization, "user-mode emulator ", 19) == 0) {
        w.add("runs under the %s: its times are the emulator's, not the board's",
              machine.virtualization);
    } else if (machine.virtualization[0] != '\0') {
        w.add("runs in a %s: other guests may share its CPUs", machine.virtualization);
    }
    // Each governor other than performance once, in policy order.
    for (int i = 0; i < machine.policy_count; ++i) {
        const char* governor = machine.policies[i].governor;
        bool named = governor[0] == '\0' || strcmp(governor, "performance") == 0;
        for (int j = 0; j < i && !named; ++j) {
            named = strcmp(machine.policies[j].governor, governor) == 0;
        }
        if (!named) w.add("CPU frequency governor is %s, not performance", governor);
    }
    if (live.has_load && machine.cpus_online > 0 &&
        live.load[0] > static_cast<double>(machine.cpus_online) / 2) {
        w.add("load average %.2f is above half the %lld online CPUs", live.load[0],
              static_cast<long long>(machine.cpus_online));
    }
    if (live.calibrated && live.calibration.enough_source == CALIBRATION_SOURCE_FALLBACK) {
        w.add("enough interval is the one-second fallback: no candidate passed the linearity test");
    }
    if (live.has_summary && live.summary.count < FEW_SAMPLES) {
        w.add("current sample set has %d sample%s: its spread means little",
              static_cast<int>(live.summary.count), live.summary.count == 1 ? "" : "s");
    }
    if (live.idle_wait_gave_up) {
        w.add("the machine never got quiet: others used %.0f %% of it while waiting %.1f s",
              100.0 * live.idle_wait.busy_share, live.idle_wait.waited_seconds);
    }
    if (live.workers_ran && !placement_policy_pins(live.placement)) {
        w.add("workers ran unpinned: no QUENTAR_SCHED policy applied");
    }
    return w;
}

}  // namespace timing_internal
