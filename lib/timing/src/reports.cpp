// One-line result reports of the interval clock's current interval, the
// report stream and format they use, and the usage line of benchmark programs.
//
// Every report re-reads the clock's start and stop stamps (a measured or a
// stored interval), takes its counts from the caller, computes its figures
// once into a record and hands that to the text or the JSON writer
// (report_writers.cpp). Elapsed microseconds stay 64-bit throughout, so
// intervals beyond 2^31 us do not wrap.
#include <errno.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "lib_timing.h"
#include "run_conditions.h"

namespace {

using timing_internal::DriverRunSettings;
using timing_internal::ReportItem;
using timing_internal::ReportItemType;
using timing_internal::ReportParam;
using timing_internal::ReportRecord;

FILE* report_stream = nullptr;

// Fixed by set_report_format, or by TIMING_REPORT_FORMAT at the first report
// (or the first report_format call).
bool format_settled = false;
ReportFormat chosen_format = REPORT_FORMAT_TEXT;

// set_report_param's keys and values, in the order the keys were first set.
ReportParam params[timing_internal::REPORT_MAX_PARAMS];
int param_count = 0;

// The set the driver's last successful run made current, as it was then.
struct DriverSet {
    const SampleSet* set;  // null: none
    int32_t count;
    uint64_t fingerprint;
    DriverRunSettings run;
};
DriverSet driver_set = {nullptr, 0, 0, {0, 0, 0, 0}};
bool workers_ran = false;

// Set once the process has written a context line (JSON mode): the first
// report line of a process follows one.
bool context_written = false;

// FNV-1a over a set's samples: tells a set the caller changed, or another
// set that happens to live at the same address, from the one the driver made.
uint64_t fingerprint_of(const SampleSet* set) {
    uint64_t hash = 14695981039346656037ULL;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(set->samples);
    const size_t bytes = set->count > 0 ? static_cast<size_t>(set->count) * sizeof(Sample) : 0;
    for (size_t i = 0; i < bytes; ++i) hash = (hash ^ p[i]) * 1099511628211ULL;
    return hash;
}

int find_param(const char* key) {
    for (int i = 0; i < param_count; ++i) {
        if (strcmp(params[i].key, key) == 0) return i;
    }
    return -1;
}

constexpr double BYTES_PER_KB = 1000.0;
constexpr double BYTES_PER_MB = 1000000.0;
constexpr double US_PER_SECOND = 1000000.0;
constexpr double MS_PER_SECOND = 1000.0;

// The file TIMING_REPORT_FILE names, opened (and emptied) by the first
// report that falls back to it and kept for the rest of the process.
FILE* report_file = nullptr;
bool report_file_tried = false;

// Where a report goes when no stream has been chosen: the file named by
// TIMING_REPORT_FILE, or standard error when it is unset, empty or cannot be
// opened (said once on standard error, so that no report is lost unseen).
FILE* fallback_stream() {
    if (!report_file_tried) {
        report_file_tried = true;
        const char* path = getenv("TIMING_REPORT_FILE");
        if (path != nullptr && path[0] != '\0') {
            report_file = fopen(path, "w");
            if (report_file == nullptr) {
                fprintf(stderr,
                        "lib_timing: cannot open TIMING_REPORT_FILE %s: %s; the reports go to "
                        "standard error\n",
                        path, strerror(errno));
            } else {
                // Line by line, so that a process ended by a signal keeps every report.
                setvbuf(report_file, nullptr, _IOLBF, 0);
            }
        }
    }
    return report_file != nullptr ? report_file : stderr;
}

// The report stream, falling back to (and from then on keeping) the fallback
// stream when none has been chosen.
FILE* out() {
    if (report_stream == nullptr) report_stream = fallback_stream();
    return report_stream;
}

// A count as printed with %d: its low 32 bits as a signed integer.
int as_int(uint64_t count) { return static_cast<int32_t>(static_cast<uint32_t>(count)); }

// A difference of two rusage counters, printed as a signed int. Taken
// unsigned so that it wraps instead of overflowing.
int counter_delta(long stop, long start) {
    return as_int(static_cast<uint64_t>(static_cast<unsigned long>(stop) -
                                        static_cast<unsigned long>(start)));
}

double seconds_of(const struct timeval& tv) {
    return static_cast<double>(tv.tv_usec) / 1e6 + static_cast<double>(tv.tv_sec);
}

// A record of the clock's current values. The first report of the process
// also settles the format, unless set_report_format has.
ReportRecord begin_record(const char* name) {
    (void)report_format();
    ReportRecord record{};
    record.name = name;
    record.elapsed_us = clock_elapsed_us();
    record.iterations = clock_iterations();
    return record;
}

ReportItem& add(ReportRecord& record, const char* key, const char* text_format,
                ReportItemType type) {
    // The largest report has 10 items. Were one ever given more than the
    // record holds, the excess would overwrite the last slot, never memory
    // past the record.
    const int at = record.item_count < timing_internal::REPORT_MAX_ITEMS
                       ? record.item_count++
                       : timing_internal::REPORT_MAX_ITEMS - 1;
    ReportItem& item = record.items[at];
    item.key = key;
    item.text_format = text_format;
    item.type = type;
    return item;
}

// An unsigned count, JSON only: the caller's arguments at full width, and
// integer figures whose text form is a separate %d item.
void count_item(ReportRecord& record, const char* key, uint64_t value) {
    add(record, key, nullptr, ReportItemType::Count).value.count = value;
}

void int_item(ReportRecord& record, const char* key, int value, const char* text_format) {
    add(record, key, text_format, ReportItemType::Int).value.int_value = value;
}

void real_item(ReportRecord& record, const char* key, double value,
               const char* text_format = nullptr) {
    add(record, key, text_format, ReportItemType::Real).value.real = value;
}

void text_item(ReportRecord& record, const char* key, const char* value, const char* text_format) {
    add(record, key, text_format, ReportItemType::Text).value.text = value;
}

// The parameters, the current sample set and the run that made it go with
// every JSON record.
void render(FILE* stream, const ReportRecord& record) {
    if (chosen_format == REPORT_FORMAT_JSON) {
        SampleSummary samples;
        const SampleSet* set = current_sample_set();
        const bool summarised = sample_set_summarize(set, &samples) == 0;
        timing_internal::ReportTail tail{};
        tail.params = params;
        tail.param_count = param_count;
        tail.summary = summarised ? &samples : nullptr;
        tail.set = set;
        tail.run = timing_internal::current_set_run();
        tail.conditions = timing_internal::current_set_conditions();
        timing_internal::write_report_json(stream, record, tail);
    } else {
        const timing_internal::DriverConditions* conditions =
            timing_internal::current_set_conditions();
        if (conditions != nullptr && timing_internal::driver_disturbed(*conditions)) {
            timing_internal::write_disturbed_report_text(stream, record, *conditions);
        } else {
            timing_internal::write_report_text(stream, record);
        }
    }
}

// The writers put out a line piece by piece; on the unbuffered standard error
// each piece would be a write of its own, which other processes' output can
// split. The lines are therefore rendered in memory and written whole, or
// rendered straight to the stream when no memory can be had for them.
template <typename Render>
void write_whole(Render render) {
    char* text = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&text, &length);
    if (memory == nullptr) {
        render(out());
        return;
    }
    render(memory);
    if (fclose(memory) == 0) {
        fwrite(text, 1, length, out());
    } else {
        render(out());
    }
    free(text);
}

void write_context() {
    context_written = true;
    write_whole(timing_internal::write_context_json);
}

void emit(const ReportRecord& record) {
    if (chosen_format == REPORT_FORMAT_JSON && !context_written) write_context();
    write_whole([&record](FILE* stream) { render(stream, record); });
}

// "%.0f" above 100 ms, four decimals up to and including 100.
const char* milliseconds_format(double ms, bool per_transfer) {
    if (per_transfer) return ms > 100.0 ? "%.0f millisec/xfer, " : "%.4f millisec/xfer, ";
    return ms > 100.0 ? "%.0f millisecs, " : "%.4f millisecs, ";
}

}  // namespace

extern "C" {

void print_usage_and_exit(int argc, char** argv, const char* usage) {
    (void)argc;
    fprintf(stderr, "Usage: %s %s", argv[0], usage);
    exit(-1);
}

void set_report_stream(FILE* stream) { report_stream = stream; }

void set_report_format(ReportFormat format) {
    chosen_format = format == REPORT_FORMAT_JSON ? REPORT_FORMAT_JSON : REPORT_FORMAT_TEXT;
    format_settled = true;
}

ReportFormat report_format(void) {
    if (!format_settled) {
        const char* chosen = getenv("TIMING_REPORT_FORMAT");
        chosen_format = chosen != nullptr && strcasecmp(chosen, "json") == 0 ? REPORT_FORMAT_JSON
                                                                             : REPORT_FORMAT_TEXT;
        format_settled = true;
    }
    return chosen_format;
}

void report_context(void) {
    if (report_format() == REPORT_FORMAT_JSON) {
        write_context();
    } else {
        write_whole(timing_internal::write_context_text);
    }
}

int set_report_param(const char* key, const char* value) {
    if (key == nullptr || key[0] == '\0' || strlen(key) > timing_internal::REPORT_PARAM_KEY_BYTES) {
        return -1;
    }
    const int at = find_param(key);
    if (value == nullptr) {
        if (at >= 0) {
            memmove(&params[at], &params[at + 1],
                    static_cast<size_t>(param_count - at - 1) * sizeof params[0]);
            --param_count;
        }
        return 0;
    }
    const size_t value_bytes = strlen(value);
    if (value_bytes > timing_internal::REPORT_PARAM_VALUE_BYTES) return -1;
    if (at < 0 && param_count == timing_internal::REPORT_MAX_PARAMS) return -1;
    const int slot = at >= 0 ? at : param_count++;
    memcpy(params[slot].key, key, strlen(key) + 1);
    memcpy(params[slot].value, value, value_bytes + 1);
    return 0;
}

void report_throughput(uint64_t bytes_per_repetition, uint64_t repetitions, int verbose) {
    ReportRecord r = begin_record("throughput");
    const double secs = clock_elapsed_seconds();
    const double mb = static_cast<double>(bytes_per_repetition) / BYTES_PER_MB;
    const double secs_each = secs / static_cast<double>(repetitions);
    const double rate = mb / secs_each;
    count_item(r, "bytes_per_repetition", bytes_per_repetition);
    count_item(r, "repetitions", repetitions);
    int_item(r, "verbose", verbose, nullptr);
    if (verbose != 0) {
        real_item(r, "mb", mb, "%.4f MB in ");
        real_item(r, "seconds_per_repetition", secs_each, "%.4f secs, ");
        real_item(r, "mb_per_sec", rate, "%.4f MB/sec\n");
    } else {
        real_item(r, "mb", mb, mb < 1.0 ? "%.6f " : "%.2f ");
        real_item(r, "seconds_per_repetition", secs_each);
        real_item(r, "mb_per_sec", rate, rate < 1.0 ? "%.6f\n" : "%.2f\n");
    }
    emit(r);
}

void report_kb_per_sec(uint64_t bytes) {
    ReportRecord r = begin_record("kb_per_sec");
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    count_item(r, "bytes", bytes);
    real_item(r, "kb_per_sec", static_cast<double>(bytes) / secs / BYTES_PER_KB, "%.0f KB/sec\n");
    emit(r);
}

void report_mb_per_sec(uint64_t bytes) {
    ReportRecord r = begin_record("mb_per_sec");
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    count_item(r, "bytes", bytes);
    // Bytes per microsecond is MB/sec. The text keeps its own computation
    // from the seconds, which can differ in the last bit and so round
    // differently at two decimals.
    real_item(r, "mb_per_sec", static_cast<double>(bytes) / static_cast<double>(r.elapsed_us));
    real_item(r, nullptr, static_cast<double>(bytes) / secs / BYTES_PER_MB, "%.2f MB/sec\n");
    emit(r);
}

void report_transfers(uint64_t count, uint64_t size_bytes) {
    ReportRecord r = begin_record("transfers");
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    const double kb = static_cast<double>(size_bytes) / BYTES_PER_KB;
    const double ms_each = secs * MS_PER_SECOND / static_cast<double>(count);
    count_item(r, "count", count);
    count_item(r, "size_bytes", size_bytes);
    if (count >= 2) {
        int_item(r, nullptr, as_int(count), "%d ");
        real_item(r, "size_kb", kb);
        int_item(r, nullptr, timing_internal::saturate_i32(kb), "%dKB xfers in ");
        real_item(r, "seconds", secs, "%.2f secs, ");
        real_item(r, "ms_per_transfer", ms_each, milliseconds_format(ms_each, true));
    } else {
        real_item(r, "size_kb", kb, "%.1fKB in ");
        real_item(r, "seconds", secs);
        real_item(r, "ms_per_transfer", ms_each, milliseconds_format(ms_each, false));
    }
    // The total wraps modulo 2^64 like the caller's own count * size would.
    const double total = static_cast<double>(count * size_bytes);
    const double mb_per_sec = total / (secs * BYTES_PER_MB);
    const bool in_mb = mb_per_sec > 1.0;
    real_item(r, "mb_per_sec", mb_per_sec, in_mb ? "%.2f MB/sec\n" : nullptr);
    real_item(r, "kb_per_sec", total / (secs * BYTES_PER_KB), in_mb ? nullptr : "%.2f KB/sec\n");
    emit(r);
}

void report_context_switches(uint64_t switches) {
    ReportRecord r = begin_record("context_switches");
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    count_item(r, "switches", switches);
    int_item(r, nullptr, as_int(switches), "%d context switches in ");
    real_item(r, "seconds", secs, "%.2f secs, ");
    real_item(r, "us_per_switch", secs * US_PER_SECOND / static_cast<double>(switches),
              "%.0f microsec/switch\n");
    emit(r);
}

void report_nanoseconds(const char* label, uint64_t operations) {
    ReportRecord r = begin_record("nanoseconds");
    const double usecs = static_cast<double>(r.elapsed_us);
    if (usecs == 0.0) return;
    text_item(r, "label", label, "%s: ");
    count_item(r, "operations", operations);
    real_item(r, "ns_per_operation", usecs * 1000.0 / static_cast<double>(operations),
              "%.2f nanoseconds\n");
    emit(r);
}

void report_microseconds(const char* label, uint64_t operations) {
    ReportRecord r = begin_record("microseconds");
    const double each = static_cast<double>(r.elapsed_us) / static_cast<double>(operations);
    if (each == 0.0) return;
    text_item(r, "label", label, "%s: ");
    count_item(r, "operations", operations);
    real_item(r, "us_per_operation", each, "%.4f microseconds\n");
    emit(r);
}

void report_size_latency(uint64_t size_bytes, uint64_t operations) {
    ReportRecord r = begin_record("size_latency");
    const double latency = static_cast<double>(r.elapsed_us) / static_cast<double>(operations);
    if (latency == 0.0) return;
    count_item(r, "size_bytes", size_bytes);
    count_item(r, "operations", operations);
    real_item(r, "size_mb", static_cast<double>(size_bytes) / BYTES_PER_MB, "%.6f ");
    real_item(r, "us_per_operation", latency, latency >= 10.0 ? "%.0f\n" : "%.3f\n");
    emit(r);
}

void report_milliseconds(const char* label, uint64_t operations) {
    ReportRecord r = begin_record("milliseconds");
    // No operations: no per-operation figure to print.
    if (operations == 0) return;
    // Truncated twice: microseconds to whole milliseconds, then the quotient.
    const uint64_t each = r.elapsed_us / 1000 / operations;
    if (each == 0) return;
    text_item(r, "label", label, "%s: ");
    count_item(r, "operations", operations);
    count_item(r, "ms_per_operation", each);
    int_item(r, nullptr, as_int(each), "%d milliseconds\n");
    emit(r);
}

void report_microseconds_each(uint64_t operations) {
    ReportRecord r = begin_record("microseconds_each");
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    count_item(r, "operations", operations);
    int_item(r, nullptr, as_int(operations), "%d in ");
    real_item(r, "seconds", secs, "%.2f secs, ");
    real_item(r, "us_per_operation", secs * US_PER_SECOND / static_cast<double>(operations),
              "%.0f microseconds each\n");
    emit(r);
}

void report_resource_usage(void) {
    ReportRecord r = begin_record("resource_usage");
    const struct rusage& start = timing_internal::clock_start_usage();
    const struct rusage& stop = timing_internal::clock_stop_usage();
    const double sys = seconds_of(stop.ru_stime) - seconds_of(start.ru_stime);
    const double user = seconds_of(stop.ru_utime) - seconds_of(start.ru_utime);
    const double real = clock_elapsed_seconds();
    const double idle = real - (sys + user);
    real_item(r, "real_seconds", real, "real=%.2f");
    real_item(r, "sys_seconds", sys, " sys=%.2f");
    real_item(r, "user_seconds", user, " user=%.2f");
    real_item(r, "idle_seconds", idle, " idle=%.2f");
    real_item(r, "stall_percent", idle / real * 100.0, " stall=%.0f%% ");
    int_item(r, "blocks_in", counter_delta(stop.ru_inblock, start.ru_inblock), "rd=%d");
    int_item(r, "blocks_out", counter_delta(stop.ru_oublock, start.ru_oublock), " wr=%d");
    int_item(r, "minor_faults", counter_delta(stop.ru_minflt, start.ru_minflt), " min=%d");
    int_item(r, "major_faults", counter_delta(stop.ru_majflt, start.ru_majflt), " maj=%d");
    int_item(r, "context_switches",
             as_int(static_cast<uint64_t>(counter_delta(stop.ru_nvcsw, start.ru_nvcsw)) +
                    static_cast<uint64_t>(counter_delta(stop.ru_nivcsw, start.ru_nivcsw))),
             " ctx=%d\n");
    emit(r);
}

}  // extern "C"

namespace timing_internal {

void note_driver_set(const SampleSet* set, const DriverRunSettings& run) {
    driver_set.set = set;
    driver_set.count = set != nullptr ? set->count : 0;
    driver_set.fingerprint = set != nullptr ? fingerprint_of(set) : 0;
    driver_set.run = run;
    if (set != nullptr && run.parallel > 0) workers_ran = true;
}

bool workers_have_run() { return workers_ran; }

const DriverRunSettings* current_set_run() {
    const SampleSet* set = current_sample_set();
    if (set == nullptr || set != driver_set.set || set->count != driver_set.count ||
        fingerprint_of(set) != driver_set.fingerprint) {
        return nullptr;
    }
    return &driver_set.run;
}

}  // namespace timing_internal
