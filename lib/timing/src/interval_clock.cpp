// The process-wide interval clock, tvsub and the result sink.
//
// The assertion in tvsub must hold in every build type, so NDEBUG is
// dropped before <cassert> is seen.
#undef NDEBUG
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>

#include <cassert>
#include <cstdint>
#include <limits>

#include "internal.h"
#include "lib_timing.h"

namespace {

struct IntervalClock {
    struct timeval start_stamp;
    struct rusage start_usage;
    uint64_t iterations;
    struct timeval stop_stamp;
    struct timeval lap_stamp;
    struct rusage stop_usage;
};

IntervalClock the_clock;
uint64_t result_sink;

constexpr int64_t US_PER_SECOND = 1000000;

int64_t to_us(const struct timeval& tv) {
    return static_cast<int64_t>(tv.tv_sec) * US_PER_SECOND + static_cast<int64_t>(tv.tv_usec);
}

// A difference from tvsub (never negative) in microseconds, by unsigned
// arithmetic; a span beyond 2^64 - 1 microseconds gives 2^64 - 1.
uint64_t span_us(const struct timeval& d) {
    const uint64_t sec = static_cast<uint64_t>(d.tv_sec);
    const uint64_t usec = static_cast<uint64_t>(d.tv_usec);
    if (sec > (UINT64_MAX - usec) / US_PER_SECOND) return UINT64_MAX;
    return sec * US_PER_SECOND + usec;
}

double to_seconds(const struct timeval& tv) {
    return static_cast<double>(tv.tv_usec) / 1e6 + static_cast<double>(tv.tv_sec);
}

struct timeval difference(const struct timeval& t1, const struct timeval& t0) {
    struct timeval d;
    tvsub(&d, &t1, &t0);
    return d;
}

}  // namespace

namespace timing_internal {
const struct rusage& clock_start_usage() { return the_clock.start_usage; }
const struct rusage& clock_stop_usage() { return the_clock.stop_usage; }
uint64_t result_sink_value() { return result_sink; }
int64_t monotonic_us() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
uint64_t rusage_cpu_us(const struct rusage& usage) {
    return static_cast<uint64_t>(usage.ru_utime.tv_sec) * 1000000u +
           static_cast<uint64_t>(usage.ru_utime.tv_usec) +
           static_cast<uint64_t>(usage.ru_stime.tv_sec) * 1000000u +
           static_cast<uint64_t>(usage.ru_stime.tv_usec);
}
uint64_t own_cpu_us() {
    struct rusage own;
    return getrusage(RUSAGE_SELF, &own) == 0 ? rusage_cpu_us(own) : 0;
}
}  // namespace timing_internal

extern "C" {

void tvsub(struct timeval* tdiff, const struct timeval* t1, const struct timeval* t0) {
    using Sec = decltype(tdiff->tv_sec);
    using Usec = decltype(tdiff->tv_usec);
    // Both inputs are read before tdiff is written: it may be either of them.
    const Sec sec1 = t1->tv_sec;
    const Sec sec0 = t0->tv_sec;
    const Usec usec1 = t1->tv_usec;
    const Usec usec0 = t0->tv_usec;
    tdiff->tv_sec = 0;
    tdiff->tv_usec = 0;
    if (sec1 < sec0) return;  // earlier: a zero interval, never a negative one

    // Differences that do not fit their field give {0, 0}. Microseconds that
    // far apart are un-normalised; below the field's range they stay
    // negative after any borrow and trip the assertion.
    Usec usec = 0;
    if (__builtin_sub_overflow(usec1, usec0, &usec)) {
        if (usec1 > usec0) return;
        usec = std::numeric_limits<Usec>::min();
    }
    Sec whole = sec1;
    if (usec < 0) {
        if (sec1 == sec0) return;
        whole = sec1 - 1;  // sec1 > sec0: cannot overflow
        tdiff->tv_usec = usec + 1000000;
        assert(tdiff->tv_usec >= 0);
        usec = tdiff->tv_usec;
    }
    Sec sec = 0;
    if (__builtin_sub_overflow(whole, sec0, &sec)) {
        tdiff->tv_usec = 0;
        return;
    }
    tdiff->tv_sec = sec;
    tdiff->tv_usec = usec;
}

uint64_t timeval_span_us(const struct timeval* from, const struct timeval* to) {
    return span_us(difference(*to, *from));
}

int clock_begin(struct timeval* at) {
    getrusage(RUSAGE_SELF, &the_clock.start_usage);
    return gettimeofday(at != nullptr ? at : &the_clock.start_stamp, nullptr);
}

uint64_t clock_end(const struct timeval* from, struct timeval* into) {
    struct timeval* stamp = into != nullptr ? into : &the_clock.stop_stamp;
    gettimeofday(stamp, nullptr);
    getrusage(RUSAGE_SELF, &the_clock.stop_usage);
    const struct timeval* origin = from != nullptr ? from : &the_clock.start_stamp;
    return span_us(difference(*stamp, *origin));
}

uint64_t clock_elapsed_us(void) {
    return span_us(difference(the_clock.stop_stamp, the_clock.start_stamp));
}

double clock_elapsed_seconds(void) {
    return to_seconds(difference(the_clock.stop_stamp, the_clock.start_stamp));
}

void clock_store_elapsed(uint64_t us) {
    using Sec = decltype(the_clock.stop_stamp.tv_sec);
    using Usec = decltype(the_clock.stop_stamp.tv_usec);
    the_clock.start_stamp.tv_sec = 0;
    the_clock.start_stamp.tv_usec = 0;
    the_clock.stop_stamp.tv_sec = static_cast<Sec>(us / US_PER_SECOND);
    the_clock.stop_stamp.tv_usec = static_cast<Usec>(us % US_PER_SECOND);
}

void clock_set_iterations(uint64_t n) { the_clock.iterations = n; }

uint64_t clock_iterations(void) { return the_clock.iterations; }

int64_t wall_clock_us(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return to_us(now);
}

double wall_clock_us_float(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_usec);
}

double seconds_since_begin(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return to_seconds(difference(now, the_clock.start_stamp));
}

int64_t lap_us(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (the_clock.lap_stamp.tv_usec == 0) {
        the_clock.lap_stamp = now;
        return 0;
    }
    const struct timeval d = difference(now, the_clock.lap_stamp);
    the_clock.lap_stamp = now;
    const uint64_t us = span_us(d);
    return us > INT64_MAX ? INT64_MAX : static_cast<int64_t>(us);
}

void sink_int(int v) { result_sink += static_cast<uint64_t>(static_cast<int64_t>(v)); }

void sink_pointer(void* p) {
    result_sink += static_cast<uint64_t>(static_cast<int64_t>(reinterpret_cast<intptr_t>(p)));
}

}  // extern "C"
