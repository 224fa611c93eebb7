// The live half of the run context, read again for every context line: the
// load average, the thermal zones, the process's affinity, the placement
// policy, the calibration as settled, the current sample set's summary.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context.h"

namespace {

using namespace timing_internal;

bool read_load_average(double load[3]) {
    char text[256];
    return read_value(path_of("/proc/loadavg"), text, sizeof text) &&
           sscanf(text, "%lf %lf %lf", &load[0], &load[1], &load[2]) == 3;
}

// Each thermal zone in order, an empty type or a NaN temperature for what
// cannot be read; the zone count.
int read_thermal_zones(ThermalZone* zones, int room) {
    const int last = highest_numbered(path_of("/sys/class/thermal"), "thermal_zone");
    int count = 0;
    for (int n = 0; n <= last && count < room; ++n) {
        if (!is_directory(path_of("/sys/class/thermal/thermal_zone%d", n))) continue;
        ThermalZone& zone = zones[count++];
        if (!read_value(path_of("/sys/class/thermal/thermal_zone%d/type", n), zone.type,
                        sizeof zone.type)) {
            zone.type[0] = '\0';
        }
        long long millidegrees = 0;
        zone.celsius =
            read_signed(path_of("/sys/class/thermal/thermal_zone%d/temp", n), &millidegrees)
                ? static_cast<double>(millidegrees) / 1000.0
                : NAN;
    }
    return count;
}

}  // namespace

namespace timing_internal {

void gather_context(ContextRecord* record) {
    memset(record, 0, sizeof *record);
    record->machine = machine_facts();
    record->extras = &machine_extras();
    LiveFacts& live = record->live;
    live.has_load = read_load_average(live.load);
    live.zone_count = read_thermal_zones(live.zones, CONTEXT_MAX_ZONES);
    live.has_allowed = read_allowed_mask(placement_mask_bytes(online_cpu_count()), &live.allowed,
                                         &live.allowed_bytes) == 0;
    live.placement = getenv("QUENTAR_SCHED");
    live.calibrated = settled_calibration(&live.calibration);
    live.has_summary = sample_set_summarize(current_sample_set(), &live.summary) == 0;
    live.workers_ran = workers_have_run();
    live.idle_wait_gave_up = idle_wait_gave_up(&live.idle_wait);
    for (int cpu = 0; cpu < measured_clock_cpus(); ++cpu) {
        const double mhz = measured_clock_mhz(cpu);
        if (std::isnan(mhz) || live.measured_count == CONTEXT_MAX_MEASURED) continue;
        live.measured[live.measured_count++] = {cpu, mhz};
    }
    record->warnings = context_warnings(*record->machine, live);
}

void release_context(ContextRecord* record) {
    if (record->live.has_allowed) free(record->live.allowed);
    record->live.allowed = nullptr;
    record->live.has_allowed = false;
}

}  // namespace timing_internal
