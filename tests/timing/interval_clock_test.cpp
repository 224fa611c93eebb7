#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "gtest/gtest.h"
#include "internal.h"
#include "lib_timing.h"

namespace {

struct timeval tv(int64_t sec, int64_t usec) {
    struct timeval t;
    t.tv_sec = static_cast<decltype(t.tv_sec)>(sec);
    t.tv_usec = static_cast<decltype(t.tv_usec)>(usec);
    return t;
}

struct timeval sub(struct timeval t1, struct timeval t0) {
    struct timeval d = tv(-7, -7);
    tvsub(&d, &t1, &t0);
    return d;
}

void burn_cpu_for_ms(int ms) {
    const int64_t until = wall_clock_us() + ms * 1000;
    volatile uint64_t x = 0;
    while (wall_clock_us() < until) x = x + 1;
}

#define EXPECT_TV(t, sec, usec)       \
    do {                              \
        EXPECT_EQ((t).tv_sec, sec);   \
        EXPECT_EQ((t).tv_usec, usec); \
    } while (0)

TEST(Tvsub, ExactDifferenceWithBorrowAndZeroForEarlierOrEqual) {
    EXPECT_TV(sub(tv(5, 200), tv(5, 200)), 0, 0);
    EXPECT_TV(sub(tv(5, 200), tv(3, 900)), 1, 999300);
    EXPECT_TV(sub(tv(5, 100), tv(5, 200)), 0, 0);
    EXPECT_TV(sub(tv(4, 900), tv(5, 100)), 0, 0);
    EXPECT_TV(sub(tv(3, 0), tv(5, 999999)), 0, 0);
    EXPECT_TV(sub(tv(10, 999999), tv(0, 0)), 10, 999999);
}

TEST(Tvsub, WorksOnTimestampsBeyond2038) {
    // 64-bit time_t on both targets: a board's clock after 2038 still subtracts.
    const int64_t after_2038 = 4102444800;  // 2100-01-01
    EXPECT_TV(sub(tv(after_2038 + 3, 10), tv(after_2038, 20)), 2, 999990);
    const struct timeval from = tv(after_2038, 0);
    const struct timeval to = tv(after_2038 + 5000, 1);
    EXPECT_EQ(timeval_span_us(&from, &to), 5000000001ULL);
}

TEST(Tvsub, ResultMayBeEitherInput) {
    struct timeval a = tv(5, 200);
    struct timeval b = tv(3, 900);
    tvsub(&a, &a, &b);
    EXPECT_TV(a, 1, 999300);
    a = tv(3, 500);
    b = tv(5, 100);
    tvsub(&b, &a, &b);
    EXPECT_TV(b, 0, 0);
}

TEST(Tvsub, ExtremeSecondsGiveTheExactDifferenceOrZero) {
    using Sec = decltype(timeval::tv_sec);
    const int64_t max = std::numeric_limits<Sec>::max();
    const int64_t min = std::numeric_limits<Sec>::min();
    EXPECT_TV(sub(tv(max, 999999), tv(0, 0)), max, 999999);
    EXPECT_TV(sub(tv(max, 0), tv(-1, 999999)), max, 1);  // fits only after the borrow
    EXPECT_TV(sub(tv(0, 0), tv(min, 1)), max, 999999);
    EXPECT_TV(sub(tv(max, 0), tv(min, 0)), 0, 0);  // the difference does not fit
    EXPECT_TV(sub(tv(min, 0), tv(max, 999999)), 0, 0);
}

TEST(TvsubDeathTest, UnnormalisedInputAbortsWithTheAssertionText) {
    // Microseconds two seconds apart survive the one-second borrow negative.
    EXPECT_DEATH(sub(tv(5, -2000000), tv(3, 0)), "tvsub.*tdiff->tv_usec >= 0");
}

TEST(TimevalSpan, IsTvsubInMicroseconds) {
    const struct timeval from = tv(3, 900);
    const struct timeval to = tv(5, 200);
    EXPECT_EQ(timeval_span_us(&from, &to), 1999300u);
    EXPECT_EQ(timeval_span_us(&to, &from), 0u);
}

TEST(TimevalSpan, LargestSpansSaturateInsteadOfOverflowing) {
    const struct timeval zero = tv(0, 0);
    const struct timeval top = tv(18446744073709, 551615);  // UINT64_MAX us
    EXPECT_EQ(timeval_span_us(&zero, &top), UINT64_MAX);
    const struct timeval far = tv(std::numeric_limits<decltype(timeval::tv_sec)>::max(), 0);
    EXPECT_EQ(timeval_span_us(&zero, &far), UINT64_MAX);
}

TEST(ClockStore, ElapsedReadsBackAndSplitsIntoSecondsAndMicroseconds) {
    clock_store_elapsed(2500001);
    EXPECT_EQ(clock_elapsed_us(), 2500001u);
    EXPECT_DOUBLE_EQ(clock_elapsed_seconds(), 2.500001);
    // The start stamp is {0, 0}: a stop taken now measures from the epoch.
    struct timeval now;
    const uint64_t since_start = clock_end(nullptr, &now);
    EXPECT_EQ(since_start,
              static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec));
    // Storing an interval above 2^31 microseconds does not wrap.
    clock_store_elapsed(5000000000ULL);
    EXPECT_EQ(clock_elapsed_us(), 5000000000ULL);
    clock_store_elapsed(UINT64_MAX);
    EXPECT_EQ(clock_elapsed_us(), UINT64_MAX);
    clock_store_elapsed(0);
    EXPECT_EQ(clock_elapsed_us(), 0u);
}

TEST(ClockIterations, HoldsAFull64BitCount) {
    clock_set_iterations(0x123456789ULL);
    EXPECT_EQ(clock_iterations(), 0x123456789ULL);
}

TEST(ClockBracket, MeasuresASmallNonNegativeIntervalAndZeroBackwards) {
    clock_begin(nullptr);
    const uint64_t us = clock_end(nullptr, nullptr);
    EXPECT_LT(us, 1000000u);
    EXPECT_EQ(clock_elapsed_us(), us);

    clock_begin(nullptr);
    usleep(20000);
    const uint64_t slept = clock_end(nullptr, nullptr);
    EXPECT_GE(slept, 20000u);
    EXPECT_EQ(clock_elapsed_us(), slept);

    // A start in the future stands for a clock stepped backwards.
    struct timeval future;
    gettimeofday(&future, nullptr);
    future.tv_sec += 10;
    struct timeval into;
    EXPECT_EQ(clock_end(&future, &into), 0u);
}

TEST(ClockBracket, CallerStampLeavesTheStartStampButRefreshesUsage) {
    clock_store_elapsed(1234);  // start stamp {0, 0}, stop stamp 1234 us
    const struct rusage before = timing_internal::clock_start_usage();
    burn_cpu_for_ms(30);
    struct timeval mine;
    EXPECT_EQ(clock_begin(&mine), 0);
    EXPECT_EQ(clock_elapsed_us(), 1234u);
    const struct rusage after = timing_internal::clock_start_usage();
    const struct timeval zero = tv(0, 0);
    const uint64_t before_us = timeval_span_us(&zero, &before.ru_utime);
    const uint64_t after_us = timeval_span_us(&zero, &after.ru_utime);
    EXPECT_GT(after_us, before_us);
    // clock_end into a caller's stamp measures from the caller's start.
    struct timeval end;
    usleep(5000);
    EXPECT_GE(clock_end(&mine, &end), 5000u);
    EXPECT_EQ(clock_elapsed_us(), 1234u);
}

TEST(FreeReadings, WallClockAgreesAndSecondsSinceBeginGrow) {
    const int64_t a = wall_clock_us();
    const double b = wall_clock_us_float();
    EXPECT_GT(a, 1600000000LL * 1000000);
    EXPECT_NEAR(b, static_cast<double>(a), 1e6);
    clock_begin(nullptr);
    usleep(10000);
    const double s = seconds_since_begin();
    EXPECT_GE(s, 0.010);
    EXPECT_LT(s, 100.0);
}

TEST(LapUs, FirstCallIsZeroThenIntervalsBetweenCalls) {
    EXPECT_EQ(lap_us(), 0);
    usleep(10000);
    int64_t lap = lap_us();
    if (lap == 0) {  // the first reading fell on exactly 0 microseconds
        usleep(10000);
        lap = lap_us();
    }
    EXPECT_GE(lap, 10000);
    EXPECT_LT(lap, 10000000);
}

TEST(Sink, AddsSignExtendedValuesModulo2To64) {
    const uint64_t start = timing_internal::result_sink_value();
    sink_int(-1);
    EXPECT_EQ(timing_internal::result_sink_value(), start - 1);
    sink_int(1);
    EXPECT_EQ(timing_internal::result_sink_value(), start);
    int x = 0;
    sink_pointer(&x);
    EXPECT_EQ(timing_internal::result_sink_value(),
              start + static_cast<uint64_t>(static_cast<int64_t>(reinterpret_cast<intptr_t>(&x))));
}

}  // namespace
