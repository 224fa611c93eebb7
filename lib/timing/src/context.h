// The run context as plain records: the machine's facts, read once per
// process (the public MachineRecord and what only the context line shows),
// and the live facts read again for each context line. Warnings are computed
// from the records alone, and the JSON line and the text summary are both
// rendered from the same record.
#ifndef LIB_TIMING_CONTEXT_H
#define LIB_TIMING_CONTEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "internal.h"
#include "lib_timing.h"
#include "system_files.h"

namespace timing_internal {

// What the context line shows beyond the public record.
struct MachineExtras {
    char executable[PATH_BYTES];  // "": unknown
    bool caches_read;             // false: no cache could be read (null in JSON)
    bool policies_read;
};

const MachineExtras& machine_extras();
// Drops the facts read so far (the system root changed).
void forget_machine_facts();

// The CPU model line of /proc/cpuinfo ("4x Cortex-A53 + 2x Cortex-A72", or
// x86's model name) into out, empty when it names neither; *hypervisor tells
// whether a "flags" line carries the hypervisor flag.
void read_cpu_model(char* out, size_t size, bool* hypervisor);

// What says that this process runs under a user-mode emulator or in a
// virtual machine, into out ("" when nothing does).
void detect_virtualization(bool hypervisor_flag, char* out, size_t size);

// The caches below the directory laid out as /sys/devices/system/cpu, each
// distinct (level, type, shared_cpu_list) once, in a new malloc'ed array;
// the count, or -1 when memory ran out (*caches then null).
int gather_caches(const char* cpu_directory, CpuCache** caches);

struct ThermalZone {
    char type[64];   // "": unknown
    double celsius;  // NaN: unknown
};

constexpr int CONTEXT_MAX_ZONES = 64;
constexpr int CONTEXT_MAX_WARNINGS = 8;
constexpr int CONTEXT_MAX_MEASURED = 256;  // measured clocks shown
constexpr size_t CONTEXT_WARNING_BYTES = 160;

// Read for every context line.
struct LiveFacts {
    bool has_load;
    double load[3];
    int zone_count;  // -1 never; 0 when there is none
    ThermalZone zones[CONTEXT_MAX_ZONES];
    bool has_allowed;        // the affinity could be read
    unsigned long* allowed;  // malloc'ed mask, bits of allowed CPUs
    size_t allowed_bytes;
    const char* placement;  // QUENTAR_SCHED, or null
    bool calibrated;
    SettledCalibration calibration;
    bool has_summary;  // the current set has a sample with iterations
    SampleSummary summary;
    bool workers_ran;
    bool idle_wait_gave_up;
    IdleWaitResult idle_wait;
    int measured_count;  // CPUs with a clock from set_measured_clock
    struct {
        int cpu;
        double mhz;
    } measured[CONTEXT_MAX_MEASURED];
};

struct ContextWarnings {
    char text[CONTEXT_MAX_WARNINGS][CONTEXT_WARNING_BYTES];
    int count;

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...);
};

struct ContextRecord {
    const MachineRecord* machine;
    const MachineExtras* extras;
    LiveFacts live;
    ContextWarnings warnings;
};

// The latest wait_idle that gave up, if the latest one did.
bool idle_wait_gave_up(IdleWaitResult* result);

// Fills the record (machine facts once, live facts now, then the warnings);
// release_context frees what it allocated.
void gather_context(ContextRecord* record);
void release_context(ContextRecord* record);
// The warnings that the facts call for.
ContextWarnings context_warnings(const MachineRecord& machine, const LiveFacts& live);

void render_context_json(FILE* stream, const ContextRecord& record);
void render_context_text(FILE* stream, const ContextRecord& record);

}  // namespace timing_internal

#endif
