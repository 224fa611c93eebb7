// The run context rendered from its record: the JSON context line and the
// text summary of report_context.
#include <sys/types.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "context.h"

namespace {

using namespace timing_internal;

constexpr int SCHEMA_VERSION = 1;
constexpr int MAX_GOVERNORS = 4;

#define CONTEXT_TEXT_OF(x) #x
#define CONTEXT_TEXT(x) CONTEXT_TEXT_OF(x)
#if defined(__clang__)
constexpr const char* COMPILER = "Clang " CONTEXT_TEXT(__clang_major__) "." CONTEXT_TEXT(
    __clang_minor__) "." CONTEXT_TEXT(__clang_patchlevel__);
#elif defined(__GNUC__)
constexpr const char* COMPILER = "GCC " CONTEXT_TEXT(__GNUC__) "." CONTEXT_TEXT(
    __GNUC_MINOR__) "." CONTEXT_TEXT(__GNUC_PATCHLEVEL__);
#else
constexpr const char* COMPILER = nullptr;
#endif
#undef CONTEXT_TEXT
#undef CONTEXT_TEXT_OF

void key(FILE* stream, const char* name) {
    fputc(',', stream);
    write_json_string(stream, name);
    fputc(':', stream);
}

// An empty text stands for a value that could not be read.
void write_text_or_null(FILE* stream, const char* text) {
    write_json_string(stream, text != nullptr && text[0] != '\0' ? text : nullptr);
}

void write_count_or_null(FILE* stream, long long value) {
    if (value < 0) {
        fputs("null", stream);
    } else {
        fprintf(stream, "%lld", value);
    }
}

// ,"name": and the value, null when empty (a text) or negative (a count).
void text_member(FILE* stream, const char* name, const char* text) {
    key(stream, name);
    write_text_or_null(stream, text);
}

void count_member(FILE* stream, const char* name, long long value) {
    key(stream, name);
    write_count_or_null(stream, value);
}

// Calls take(cpu) for each CPU of the allowed mask.
template <typename Take>
void each_allowed_cpu(const LiveFacts& live, Take take) {
    constexpr size_t WORD_BITS = 8 * sizeof(unsigned long);
    for (size_t bit = 0; bit < 8 * live.allowed_bytes; ++bit) {
        if ((live.allowed[bit / WORD_BITS] >> (bit % WORD_BITS)) & 1UL) take(static_cast<int>(bit));
    }
}

const char* source_name(CalibrationSource source) {
    switch (source) {
        case CALIBRATION_SOURCE_ENVIRONMENT:
            return "environment";
        case CALIBRATION_SOURCE_CANDIDATE:
            return "candidate";
        case CALIBRATION_SOURCE_FALLBACK:
            return "fallback";
        case CALIBRATION_SOURCE_MEASURED:
            return "measured";
        case CALIBRATION_SOURCE_SKIPPED:
            return "skipped";
        case CALIBRATION_SOURCE_NONE:
            break;
    }
    return nullptr;
}

// The current time as "2026-12-09T01:38:48Z"; false when it cannot be had.
bool utc_now(char* out, size_t size) {
    const time_t now = time(nullptr);
    struct tm parts;
    return now != static_cast<time_t>(-1) && gmtime_r(&now, &parts) != nullptr &&
           strftime(out, size, "%Y-%m-%dT%H:%M:%SZ", &parts) > 0;
}

// A JSON array of count objects, write_members(i) writing the members of the
// i-th, or null when read is false: the facts could not be read.
template <typename WriteMembers>
void write_objects_or_null(FILE* stream, bool read, int count, WriteMembers write_members) {
    if (!read) {
        fputs("null", stream);
        return;
    }
    fputc('[', stream);
    for (int i = 0; i < count; ++i) {
        fputs(i == 0 ? "{" : ",{", stream);
        write_members(i);
        fputc('}', stream);
    }
    fputc(']', stream);
}

void write_cache_members(FILE* stream, const CpuCache& cache) {
    fputs("\"level\":", stream);
    write_count_or_null(stream, cache.level);
    text_member(stream, "type", cache.type);
    count_member(stream, "size_bytes", cache.size_bytes);
    text_member(stream, "shared_cpu_list", cache.shared_cpu_list);
}

void write_policy_members(FILE* stream, const CpufreqPolicy& policy) {
    fputs("\"cpus\":", stream);
    if (policy.cpus[0] != '\0') {
        write_cpu_array(stream, policy.cpus);
    } else {
        fputs("null", stream);
    }
    text_member(stream, "governor", policy.governor);
    count_member(stream, "cur_khz", policy.cur_khz);
    count_member(stream, "min_khz", policy.min_khz);
    count_member(stream, "max_khz", policy.max_khz);
}

void write_calibration_json(FILE* stream, const LiveFacts& live) {
    if (!live.calibrated) {
        fputs("null", stream);
        return;
    }
    const SettledCalibration& c = live.calibration;
    fprintf(stream, "{\"enough_us\":%d", static_cast<int>(c.enough_us));
    text_member(stream, "enough_source", source_name(c.enough_source));
    fprintf(stream, ",\"timer_overhead_us\":%llu",
            static_cast<unsigned long long>(c.timer_overhead));
    text_member(stream, "timer_overhead_source", source_name(c.timer_source));
    key(stream, "iteration_overhead_us");
    write_json_number(stream, c.iteration_overhead, true);
    text_member(stream, "iteration_overhead_source", source_name(c.loop_source));
    fputc('}', stream);
}

const char* or_unknown(const char* text) {
    return text != nullptr && text[0] != '\0' ? text : "unknown";
}

// Consecutive CPUs as ranges: "0-3,6".
struct CpuRanges {
    FILE* stream;
    int first = -2;
    int last = -2;
    bool printed = false;

    void flush() {
        if (first < 0) return;
        fprintf(stream, last > first ? "%s%d-%d" : "%s%d", printed ? "," : "", first, last);
        printed = true;
    }
    void take(int cpu) {
        if (cpu != last + 1) {
            flush();
            first = cpu;
        }
        last = cpu;
    }
};

}  // namespace

namespace timing_internal {

// A CPU list as a JSON array, or null when it is not one.
void write_cpu_array(FILE* stream, const char* text) {
    if (!each_listed_cpu(text, [](int) {})) {
        fputs("null", stream);
        return;
    }
    const char* separator = "[";
    each_listed_cpu(text, [&](int cpu) {
        fprintf(stream, "%s%d", separator, cpu);
        separator = ",";
    });
    fputc(']', stream);
}

void render_context_json(FILE* stream, const ContextRecord& record) {
    const MachineRecord& machine = *record.machine;
    const LiveFacts& live = record.live;
    fprintf(stream, "{\"report\":\"context\",\"schema\":%d", SCHEMA_VERSION);
    text_member(stream, "library_version", LIB_TIMING_VERSION);
    char date[32];
    text_member(stream, "date", utc_now(date, sizeof date) ? date : nullptr);
    text_member(stream, "host", machine.host);
    text_member(stream, "executable", record.extras->executable);
    text_member(stream, "kernel", machine.kernel);
    text_member(stream, "machine", machine.machine);
    text_member(stream, "cpu_model", machine.cpu_model);
    count_member(stream, "cpus_online", machine.cpus_online);

    key(stream, "cpus_allowed");
    if (live.has_allowed) {
        const char* separator = "[";
        each_allowed_cpu(live, [&](int cpu) {
            fprintf(stream, "%s%d", separator, cpu);
            separator = ",";
        });
        fputs(separator[0] == '[' ? "[]" : "]", stream);
    } else {
        fputs("null", stream);
    }
    key(stream, "caches");
    write_objects_or_null(stream, record.extras->caches_read, machine.cache_count,
                          [&](int i) { write_cache_members(stream, machine.caches[i]); });
    key(stream, "cpufreq");
    write_objects_or_null(stream, record.extras->policies_read, machine.policy_count,
                          [&](int i) { write_policy_members(stream, machine.policies[i]); });
    for (int i = 0; i < live.measured_count; ++i) {
        if (i == 0) key(stream, "measured_clock");
        fprintf(stream, "%s{\"cpu\":%d,\"mhz\":", i == 0 ? "[" : ",", live.measured[i].cpu);
        write_json_number(stream, live.measured[i].mhz, true);
        fputs(i + 1 == live.measured_count ? "}]" : "}", stream);
    }

    key(stream, "load_avg");
    if (live.has_load) {
        for (int i = 0; i < 3; ++i) {
            fputc(i == 0 ? '[' : ',', stream);
            write_json_number(stream, live.load[i], true);
        }
        fputc(']', stream);
    } else {
        fputs("null", stream);
    }
    key(stream, "thermal");
    for (int i = 0; i < live.zone_count; ++i) {
        fputs(i == 0 ? "[{\"type\":" : ",{\"type\":", stream);
        write_text_or_null(stream, live.zones[i].type);
        key(stream, "celsius");
        write_json_number(stream, live.zones[i].celsius, true);
        fputc('}', stream);
    }
    fputs(live.zone_count > 0 ? "]" : "null", stream);

    text_member(stream, "placement", live.placement);
    key(stream, "calibration");
    write_calibration_json(stream, live);
    key(stream, "build");
    fputs("{\"compiler\":", stream);
    write_json_string(stream, COMPILER);
    text_member(stream, "build_type", LIB_TIMING_BUILD_TYPE);
    fprintf(stream, ",\"time_t_bytes\":%d,\"off_t_bytes\":%d,\"long_bytes\":%d}",
            static_cast<int>(sizeof(time_t)), static_cast<int>(sizeof(off_t)),
            static_cast<int>(sizeof(long)));

    key(stream, "warnings");
    fputc('[', stream);
    for (int i = 0; i < record.warnings.count; ++i) {
        if (i > 0) fputc(',', stream);
        write_json_string(stream, record.warnings.text[i]);
    }
    fputs("]}\n", stream);
}

void render_context_text(FILE* stream, const ContextRecord& record) {
    const MachineRecord& machine = *record.machine;
    const LiveFacts& live = record.live;
    fprintf(stream, "machine: %s, %s, ", or_unknown(machine.machine),
            or_unknown(machine.cpu_model));
    if (machine.cpus_online >= 0) {
        fprintf(stream, "%d CPUs online", static_cast<int>(machine.cpus_online));
    } else {
        fputs("online CPUs unknown", stream);
    }
    fputs(", allowed ", stream);
    if (live.has_allowed) {
        CpuRanges allowed{stream};
        each_allowed_cpu(live, [&allowed](int cpu) { allowed.take(cpu); });
        allowed.flush();
    } else {
        fputs("unknown", stream);
    }
    // The distinct governors in policy order, and the highest frequency.
    int governors = 0;
    long long top_khz = -1;
    for (int i = 0; i < machine.policy_count; ++i) {
        const CpufreqPolicy& policy = machine.policies[i];
        if (policy.max_khz > top_khz) top_khz = policy.max_khz;
        bool named = policy.governor[0] == '\0';
        for (int j = 0; j < i && !named; ++j) {
            named = strcmp(machine.policies[j].governor, policy.governor) == 0;
        }
        if (named || governors == MAX_GOVERNORS) continue;
        fprintf(stream, governors++ == 0 ? ", governor %s" : "/%s", policy.governor);
    }
    if (top_khz > 0) fprintf(stream, ", up to %lld MHz", top_khz / 1000);
    fputc('\n', stream);
    for (int i = 0; i < live.measured_count; ++i) {
        fprintf(stream, "%s%.0f MHz on CPU %d", i == 0 ? "clock: measured " : ", ",
                live.measured[i].mhz, live.measured[i].cpu);
    }
    if (live.measured_count > 0) fputc('\n', stream);

    fprintf(stream, "kernel: %s on %s, load ", or_unknown(machine.kernel),
            or_unknown(machine.host));
    if (live.has_load) {
        fprintf(stream, "%.2f %.2f %.2f", live.load[0], live.load[1], live.load[2]);
    } else {
        fputs("unknown", stream);
    }
    int hottest = -1;
    for (int i = 0; i < live.zone_count; ++i) {
        if (live.zones[i].celsius > (hottest < 0 ? -HUGE_VAL : live.zones[hottest].celsius)) {
            hottest = i;
        }
    }
    if (hottest >= 0) {
        fprintf(stream, ", hottest zone %s %.1f C", or_unknown(live.zones[hottest].type),
                live.zones[hottest].celsius);
    }
    fprintf(stream, ", QUENTAR_SCHED %s\n", live.placement != nullptr ? live.placement : "unset");

    if (live.calibrated) {
        const SettledCalibration& c = live.calibration;
        fprintf(stream,
                "calibration: enough %d us (%s), timer overhead %llu us (%s), loop overhead %.8f "
                "us (%s)\n",
                static_cast<int>(c.enough_us), source_name(c.enough_source),
                static_cast<unsigned long long>(c.timer_overhead), source_name(c.timer_source),
                c.iteration_overhead, source_name(c.loop_source));
    } else {
        fputs("calibration: not done yet\n", stream);
    }

    for (int i = 0; i < record.warnings.count; ++i) {
        fprintf(stream, "%s%s", i == 0 ? "warnings: " : "; ", record.warnings.text[i]);
    }
    if (record.warnings.count > 0) fputc('\n', stream);
}

void write_context_json(FILE* stream) {
    ContextRecord record;
    gather_context(&record);
    render_context_json(stream, record);
    release_context(&record);
}

void write_context_text(FILE* stream) {
    ContextRecord record;
    gather_context(&record);
    render_context_text(stream, record);
    release_context(&record);
}

}  // namespace timing_internal
