// One-line result reports of the interval clock's current interval, the
// report stream they write to, and the usage line of benchmark programs.
//
// Every report re-reads the clock's start and stop stamps (a measured or a
// stored interval) and takes its counts from the caller. Elapsed microseconds
// stay 64-bit throughout, so intervals beyond 2^31 us do not wrap.
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "internal.h"
#include "lib_timing.h"

namespace {

FILE* report_stream = nullptr;

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

// "%.0f millisec%s, " above 100 ms, four decimals up to and including 100.
void write_milliseconds(double ms, const char* suffix) {
    if (ms > 100.0) {
        fprintf(out(), "%.0f millisec%s, ", ms, suffix);
    } else {
        fprintf(out(), "%.4f millisec%s, ", ms, suffix);
    }
}

}  // namespace

extern "C" {

void print_usage_and_exit(int argc, char** argv, const char* usage) {
    (void)argc;
    fprintf(stderr, "Usage: %s %s", argv[0], usage);
    exit(-1);
}

void set_report_stream(FILE* stream) { report_stream = stream; }

void report_throughput(uint64_t bytes_per_repetition, uint64_t repetitions, int verbose) {
    const double secs = clock_elapsed_seconds();
    const double mb = static_cast<double>(bytes_per_repetition) / BYTES_PER_MB;
    const double secs_each = secs / static_cast<double>(repetitions);
    const double rate = mb / secs_each;
    if (verbose != 0) {
        fprintf(out(), "%.4f MB in %.4f secs, %.4f MB/sec\n", mb, secs_each, rate);
        return;
    }
    fprintf(out(), mb < 1.0 ? "%.6f " : "%.2f ", mb);
    fprintf(out(), rate < 1.0 ? "%.6f\n" : "%.2f\n", rate);
}

void report_kb_per_sec(uint64_t bytes) {
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    fprintf(out(), "%.0f KB/sec\n", static_cast<double>(bytes) / secs / BYTES_PER_KB);
}

void report_mb_per_sec(uint64_t bytes) {
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    fprintf(out(), "%.2f MB/sec\n", static_cast<double>(bytes) / secs / BYTES_PER_MB);
}

void report_transfers(uint64_t count, uint64_t size_bytes) {
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    const double kb = static_cast<double>(size_bytes) / BYTES_PER_KB;
    const double ms_each = secs * MS_PER_SECOND / static_cast<double>(count);
    if (count >= 2) {
        fprintf(out(), "%d %dKB xfers in %.2f secs, ", as_int(count),
                timing_internal::saturate_i32(kb), secs);
        write_milliseconds(ms_each, "/xfer");
    } else {
        fprintf(out(), "%.1fKB in ", kb);
        write_milliseconds(ms_each, "s");
    }
    // The total wraps modulo 2^64 like the caller's own count * size would.
    const double total = static_cast<double>(count * size_bytes);
    const double mb_per_sec = total / (secs * BYTES_PER_MB);
    if (mb_per_sec > 1.0) {
        fprintf(out(), "%.2f MB/sec\n", mb_per_sec);
    } else {
        fprintf(out(), "%.2f KB/sec\n", total / (secs * BYTES_PER_KB));
    }
}

void report_context_switches(uint64_t switches) {
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    fprintf(out(), "%d context switches in %.2f secs, %.0f microsec/switch\n", as_int(switches),
            secs, secs * US_PER_SECOND / static_cast<double>(switches));
}

void report_nanoseconds(const char* label, uint64_t operations) {
    const double usecs = static_cast<double>(clock_elapsed_us());
    if (usecs == 0.0) return;
    fprintf(out(), "%s: %.2f nanoseconds\n", label,
            usecs * 1000.0 / static_cast<double>(operations));
}

void report_microseconds(const char* label, uint64_t operations) {
    const double each = static_cast<double>(clock_elapsed_us()) / static_cast<double>(operations);
    if (each == 0.0) return;
    fprintf(out(), "%s: %.4f microseconds\n", label, each);
}

void report_size_latency(uint64_t size_bytes, uint64_t operations) {
    const double latency =
        static_cast<double>(clock_elapsed_us()) / static_cast<double>(operations);
    if (latency == 0.0) return;
    const double mb = static_cast<double>(size_bytes) / BYTES_PER_MB;
    fprintf(out(), latency >= 10.0 ? "%.6f %.0f\n" : "%.6f %.3f\n", mb, latency);
}

void report_milliseconds(const char* label, uint64_t operations) {
    // No operations: no per-operation figure to print.
    if (operations == 0) return;
    // Truncated twice: microseconds to whole milliseconds, then the quotient.
    const uint64_t each = clock_elapsed_us() / 1000 / operations;
    if (each == 0) return;
    fprintf(out(), "%s: %d milliseconds\n", label, as_int(each));
}

void report_microseconds_each(uint64_t operations) {
    const double secs = clock_elapsed_seconds();
    if (secs == 0.0) return;
    fprintf(out(), "%d in %.2f secs, %.0f microseconds each\n", as_int(operations), secs,
            secs * US_PER_SECOND / static_cast<double>(operations));
}

void report_resource_usage(void) {
    const struct rusage& start = timing_internal::clock_start_usage();
    const struct rusage& stop = timing_internal::clock_stop_usage();
    const double sys = seconds_of(stop.ru_stime) - seconds_of(start.ru_stime);
    const double user = seconds_of(stop.ru_utime) - seconds_of(start.ru_utime);
    const double real = clock_elapsed_seconds();
    const double idle = real - (sys + user);
    const double stall = idle / real * 100.0;
    fprintf(out(), "real=%.2f sys=%.2f user=%.2f idle=%.2f stall=%.0f%% ", real, sys, user, idle,
            stall);
    fprintf(out(), "rd=%d wr=%d min=%d maj=%d ctx=%d\n",
            counter_delta(stop.ru_inblock, start.ru_inblock),
            counter_delta(stop.ru_oublock, start.ru_oublock),
            counter_delta(stop.ru_minflt, start.ru_minflt),
            counter_delta(stop.ru_majflt, start.ru_majflt),
            as_int(static_cast<uint64_t>(counter_delta(stop.ru_nvcsw, start.ru_nvcsw)) +
                   static_cast<uint64_t>(counter_delta(stop.ru_nivcsw, start.ru_nivcsw))));
}

}  // extern "C"
