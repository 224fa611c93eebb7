// One-line result reports of the interval clock's current interval, the
// report stream and format they use, and the usage line of benchmark programs.
//
// Every report re-reads the clock's start and stop stamps (a measured or a
// stored interval), takes its counts from the caller, computes its figures
// once into a record and hands that to the text or the JSON writer
// (report_writers.cpp). Elapsed microseconds stay 64-bit throughout, so
// intervals beyond 2^31 us do not wrap.
#include <strings.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "internal.h"
#include "lib_timing.h"

namespace {

using timing_internal::ReportItem;
using timing_internal::ReportItemType;
using timing_internal::ReportRecord;

FILE* report_stream = nullptr;

// Fixed by set_report_format, or by TIMING_REPORT_FORMAT at the first report.
bool format_settled = false;
ReportFormat report_format = REPORT_FORMAT_TEXT;

constexpr double BYTES_PER_KB = 1000.0;
constexpr double BYTES_PER_MB = 1000000.0;
constexpr double US_PER_SECOND = 1000000.0;
constexpr double MS_PER_SECOND = 1000.0;

// The report stream, falling back to (and from then on keeping) standard
// error when none has been chosen.
FILE* out() {
    if (report_stream == nullptr) report_stream = stderr;
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
    if (!format_settled) {
        const char* chosen = getenv("TIMING_REPORT_FORMAT");
        report_format = chosen != nullptr && strcasecmp(chosen, "json") == 0 ? REPORT_FORMAT_JSON
                                                                             : REPORT_FORMAT_TEXT;
        format_settled = true;
    }
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

// The current sample set's summary goes with every JSON record.
void render(FILE* stream, const ReportRecord& record) {
    if (report_format == REPORT_FORMAT_JSON) {
        SampleSummary samples;
        const bool summarised = sample_set_summarize(current_sample_set(), &samples) == 0;
        timing_internal::write_report_json(stream, record, summarised ? &samples : nullptr);
    } else {
        timing_internal::write_report_text(stream, record);
    }
}

// The writers put out a line piece by piece; on the unbuffered standard error
// each piece would be a write of its own, which other processes' output can
// split. The line is therefore rendered in memory and written whole, or
// rendered straight to the stream when no memory can be had for it.
void emit(const ReportRecord& record) {
    char* line = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&line, &length);
    if (memory == nullptr) {
        render(out(), record);
        return;
    }
    render(memory, record);
    if (fclose(memory) == 0) {
        fwrite(line, 1, length, out());
    } else {
        render(out(), record);
    }
    free(line);
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
    report_format = format == REPORT_FORMAT_JSON ? REPORT_FORMAT_JSON : REPORT_FORMAT_TEXT;
    format_settled = true;
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
