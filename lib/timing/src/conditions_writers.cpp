// A driver run's conditions as JSON ("conditions" and "warnings" of a
// report) and as the text lines that follow a disturbed report.
#include <errno.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "run_conditions.h"
#include "system_files.h"

namespace {

using namespace timing_internal;

constexpr const char* WORKER_SOURCE =
    "perf_event_open on the worker, its timed intervals; switches and CPU time from getrusage "
    "and CPUs from sched_getcpu at the start and the end of its timing";
constexpr const char* OTHER_SOURCE =
    "/proc/stat busy time less the workers' and the driver's own, from the go bytes to the last "
    "done byte";
constexpr const char* THERMAL_SOURCE =
    "thermal_zone temp at the start, every second of the run and at the end";
constexpr const char* COOLING_SOURCE = "cooling_device cur_state at the start and the end";
constexpr const char* THROTTLE_SOURCE = "/sys/devices/platform/soc/soc:firmware/get_throttled";

void key(FILE* stream, const char* name, bool first = false) {
    if (!first) fputc(',', stream);
    write_json_string(stream, name);
    fputc(':', stream);
}

void count_or_null(FILE* stream, const char* name, long long value) {
    key(stream, name);
    if (value < 0) {
        fputs("null", stream);
    } else {
        fprintf(stream, "%lld", value);
    }
}

void number(FILE* stream, const char* name, double value) {
    key(stream, name);
    write_json_number(stream, value, true);
}

// Why perf_event_open refused a counter, with what that usually means.
void write_refusal(FILE* stream, int error) {
    const char* meaning = "";
    switch (error) {
        case ENOSYS:
            meaning = ": no perf_event_open here, as under a user-mode emulator";
            break;
        case EACCES:
        case EPERM:
            meaning = ": /proc/sys/kernel/perf_event_paranoid forbids it";
            break;
        case ENOENT:
        case ENODEV:
        case EOPNOTSUPP:
            meaning = ": the kernel has no such event here (no PMU, or one without it)";
            break;
        case EINVAL:
            meaning =
                ": the PMU cannot count it for this program alone (ARMv7 cores without mode "
                "filtering, such as the Cortex-A9, count the kernel too) or has no such event";
            break;
        default:
            break;
    }
    char reason[320];
    snprintf(reason, sizeof reason, "perf_event_open: %s (errno %d)%s", strerror(error), error,
             meaning);
    write_json_string(stream, reason);
}

// "refused":{NAME:WHY,...}: the counters of names[0, count) that
// perf_event_open refused, error_of(k) being counter k's errno (0: opened).
template <typename ErrorOf>
void write_refused(FILE* stream, const char* const* names, int count, ErrorOf error_of) {
    fputs("\"refused\":{", stream);
    bool first = true;
    for (int k = 0; k < count; ++k) {
        const int error = error_of(k);
        if (error == 0) continue;
        key(stream, names[k], first);
        first = false;
        write_refusal(stream, error);
    }
    fputc('}', stream);
}

void write_worker(FILE* stream, int index, const WorkerConditions& w) {
    fprintf(stream, "{\"worker\":%d", index);
    key(stream, "pinned");
    fputs(w.pinned < 0 ? "null" : w.pinned ? "true" : "false", stream);
    count_or_null(stream, "cpu_start", w.cpu_start);
    count_or_null(stream, "cpu_end", w.cpu_end);
    for (int k = 0; k < SOFTWARE_COUNTERS; ++k) {
        count_or_null(stream, SOFTWARE_COUNTER_NAMES[k],
                      w.counters[k].error == 0 ? static_cast<long long>(w.counters[k].value) : -1);
    }
    count_or_null(stream, "voluntary_switches", w.voluntary_switches);
    count_or_null(stream, "involuntary_switches", w.involuntary_switches);
    count_or_null(stream, "cpu_time_us", static_cast<long long>(w.cpu_time_us));
    count_or_null(stream, "timing_us", static_cast<long long>(w.timing_us));
    count_or_null(stream, "waiting_us", w.waiting_us);
    fputs(",\"counters\":{\"opened\":[", stream);
    bool first = true;
    for (int k = 0; k < SOFTWARE_COUNTERS; ++k) {
        if (w.counters[k].error != 0) continue;
        if (!first) fputc(',', stream);
        first = false;
        write_json_string(stream, SOFTWARE_COUNTER_NAMES[k]);
    }
    fputs("],", stream);
    write_refused(stream, SOFTWARE_COUNTER_NAMES, SOFTWARE_COUNTERS,
                  [&w](int k) { return w.counters[k].error; });
    fputc('}', stream);
    key(stream, "source");
    write_json_string(stream, WORKER_SOURCE);
    fputc('}', stream);
}

const char* frequency_source(FrequencySource source) {
    switch (source) {
        case FrequencySource::TimeInState:
            return "stats/time_in_state at the start and the end";
        case FrequencySource::CurrentFrequency:
            return "scaling_cur_freq at the start and the end";
        case FrequencySource::None:
            break;
    }
    return nullptr;
}

void write_run(FILE* stream, const RunConditions& run) {
    fprintf(stream, "{\"kind\":\"%s\"", run.pre_run ? "pre-run" : "run");
    key(stream, "disturbed");
    fputs(run.reason_count > 0 ? "true" : "false", stream);
    number(stream, "seconds", run.seconds);
    fputs(",\"workers\":[", stream);
    for (int w = 0; w < run.workers; ++w) {
        if (w > 0) fputc(',', stream);
        write_worker(stream, w, run.worker[w]);
    }
    fputs("],\"other_load\":{", stream);
    key(stream, "cpu_share", true);
    write_json_number(stream, run.other_cpu_share, true);
    key(stream, "source");
    write_json_string(stream, OTHER_SOURCE);
    fputs("},\"cpufreq\":[", stream);
    for (int i = 0; i < run.policy_count; ++i) {
        const PolicyConditions& p = run.policies[i];
        fprintf(stream, "%s{\"policy\":%d,\"cpus\":", i > 0 ? "," : "", static_cast<int>(p.number));
        write_cpu_array(stream, p.cpus);
        count_or_null(stream, "top_khz", p.top_khz);
        number(stream, "below_top_share", p.below_share);
        key(stream, "ran_workers");
        fputs(p.ran_workers ? "true" : "false", stream);
        key(stream, "source");
        write_json_string(stream, frequency_source(p.source));
        fputc('}', stream);
    }
    fputs("],\"thermal\":[", stream);
    for (int z = 0; z < run.zone_count; ++z) {
        const ZoneConditions& zone = run.zones[z];
        fputs(z > 0 ? ",{" : "{", stream);
        key(stream, "type", true);
        write_json_string(stream, zone.type[0] != '\0' ? zone.type : nullptr);
        number(stream, "start_celsius", zone.start_celsius);
        number(stream, "end_celsius", zone.end_celsius);
        number(stream, "max_celsius", zone.max_celsius);
        key(stream, "source");
        write_json_string(stream, THERMAL_SOURCE);
        fputc('}', stream);
    }
    fputs("],\"cooling\":[", stream);
    for (int c = 0; c < run.cooling_count; ++c) {
        const CoolingConditions& cooling = run.cooling[c];
        fprintf(stream, "%s{\"device\":%d", c > 0 ? "," : "", static_cast<int>(cooling.number));
        key(stream, "type");
        write_json_string(stream, cooling.type[0] != '\0' ? cooling.type : nullptr);
        count_or_null(stream, "start_state", cooling.start_state);
        count_or_null(stream, "end_state", cooling.end_state);
        key(stream, "source");
        write_json_string(stream, COOLING_SOURCE);
        fputc('}', stream);
    }
    fputs("],\"throttle\":", stream);
    if (run.throttle_start >= 0 || run.throttle_end >= 0) {
        fputc('{', stream);
        key(stream, "start_flags", true);
        fprintf(stream, run.throttle_start >= 0 ? "%lld" : "null",
                static_cast<long long>(run.throttle_start));
        count_or_null(stream, "end_flags", run.throttle_end);
        key(stream, "source");
        write_json_string(stream, THROTTLE_SOURCE);
        fputc('}', stream);
    } else {
        fputs("null", stream);
    }
    fputs(",\"reasons\":[", stream);
    for (int i = 0; i < run.reason_count; ++i) {
        if (i > 0) fputc(',', stream);
        write_json_string(stream, run.reasons[i]);
    }
    fputs("]}", stream);
}

// Each reason once, the pre-run's marked as such.
template <typename Take>
void each_warning(const DriverConditions& conditions, Take take) {
    for (int r = 0; r < conditions.run_count; ++r) {
        const RunConditions& run = conditions.runs[r];
        for (int i = 0; i < run.reason_count; ++i)
            take(run.pre_run ? "pre-run: " : "", run.reasons[i]);
    }
}

constexpr const char* HARDWARE_SOURCE =
    "perf_event_open on the worker, user mode, its timed intervals; each counter on its own, "
    "running_share below 1 when the PMU multiplexed it";

// conditions.counters: the run's hardware counters per worker, per iteration.
void write_hardware(FILE* stream, const RunConditions& run) {
    fputs(",\"counters\":{\"workers\":[", stream);
    for (int w = 0; w < run.workers; ++w) {
        const WorkerConditions& worker = run.worker[w];
        fprintf(stream, "%s{\"worker\":%d,\"iterations\":%llu", w > 0 ? "," : "", w,
                static_cast<unsigned long long>(worker.timed_iterations));
        for (int k = 0; k < HARDWARE_COUNTERS; ++k) {
            const HardwareReading& h = worker.hardware[k];
            const bool counted = h.error == 0 && worker.filled;
            count_or_null(stream, HARDWARE_COUNTER_NAMES[k],
                          counted ? static_cast<long long>(h.value) : -1);
            char name[64];
            snprintf(name, sizeof name, "%s_per_iteration", HARDWARE_COUNTER_NAMES[k]);
            number(stream, name,
                   counted && worker.timed_iterations > 0
                       ? static_cast<double>(h.value) / static_cast<double>(worker.timed_iterations)
                       : NAN);
        }
        fputs(",\"running_share\":{", stream);
        bool first = true;
        for (int k = 0; k < HARDWARE_COUNTERS; ++k) {
            const HardwareReading& h = worker.hardware[k];
            if (h.error != 0 || !worker.filled) continue;
            key(stream, HARDWARE_COUNTER_NAMES[k], first);
            first = false;
            write_json_number(stream,
                              h.enabled_ns > 0 ? static_cast<double>(h.running_ns) /
                                                     static_cast<double>(h.enabled_ns)
                                               : NAN,
                              true);
        }
        fputs("},", stream);
        write_refused(stream, HARDWARE_COUNTER_NAMES, HARDWARE_COUNTERS,
                      [&worker](int k) { return worker.hardware[k].error; });
        fputc('}', stream);
    }
    fputs("]", stream);
    key(stream, "source");
    write_json_string(stream, HARDWARE_SOURCE);
    fputc('}', stream);
}

}  // namespace

namespace timing_internal {

void write_conditions_json(FILE* stream, const DriverConditions* conditions) {
    fputs(",\"conditions\":", stream);
    if (conditions == nullptr) {
        fputs("null,\"warnings\":[]", stream);
        return;
    }
    fprintf(stream, "{\"disturbed\":%s,\"runs\":[",
            driver_disturbed(*conditions) ? "true" : "false");
    for (int r = 0; r < conditions->run_count; ++r) {
        if (r > 0) fputc(',', stream);
        write_run(stream, conditions->runs[r]);
    }
    fputc(']', stream);
    const RunConditions* last =
        conditions->run_count > 0 ? &conditions->runs[conditions->run_count - 1] : nullptr;
    if (last != nullptr && last->workers > 0 && last->worker[0].hardware_on) {
        write_hardware(stream, *last);
    }
    fputs("},\"warnings\":[", stream);
    bool first = true;
    each_warning(*conditions, [&](const char* prefix, const char* reason) {
        char text[CONDITIONS_REASON_BYTES + 16];
        snprintf(text, sizeof text, "%s%s", prefix, reason);
        if (!first) fputc(',', stream);
        first = false;
        write_json_string(stream, text);
    });
    fputc(']', stream);
}

void write_disturbed_report_text(FILE* stream, const ReportRecord& record,
                                 const DriverConditions& conditions) {
    char* text = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&text, &length);
    if (memory == nullptr) {
        write_report_text(stream, record);
    } else {
        write_report_text(memory, record);
        if (fclose(memory) == 0) {
            const bool ends_line = length > 0 && text[length - 1] == '\n';
            fwrite(text, 1, ends_line ? length - 1 : length, stream);
            fputs(" [disturbed]\n", stream);
        } else {
            write_report_text(stream, record);
        }
        free(text);
    }
    write_conditions_text(stream, conditions);
}

}  // namespace timing_internal

extern "C" int current_set_disturbed(char* reasons, size_t size) {
    using namespace timing_internal;
    const DriverConditions* conditions = current_set_conditions();
    if (reasons != nullptr && size > 0) {
        reasons[0] = '\0';
        size_t used = 0;
        if (conditions != nullptr) {
            each_warning(*conditions, [&](const char* prefix, const char* reason) {
                if (used >= size) return;
                const int n = snprintf(reasons + used, size - used, "%s%s\n", prefix, reason);
                if (n > 0) used += static_cast<size_t>(n);
            });
        }
    }
    if (conditions == nullptr) return -1;
    return driver_disturbed(*conditions) ? 1 : 0;
}

namespace timing_internal {

void write_conditions_text(FILE* stream, const DriverConditions& conditions) {
    each_warning(conditions, [stream](const char* prefix, const char* reason) {
        fprintf(stream, "! %s%s\n", prefix, reason);
    });
}

}  // namespace timing_internal
