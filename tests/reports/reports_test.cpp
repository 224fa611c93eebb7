// Golden output of every report, driven by exactly stored intervals.
#include <regex.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "internal.h"
#include "json_reader.h"
#include "lib_timing.h"
#include "report_capture.h"

namespace {

// Every report that prints nothing for a zero interval.
void call_the_reports_silent_at_zero() {
    report_kb_per_sec(1);
    report_mb_per_sec(1);
    report_transfers(2, 1);
    report_context_switches(1);
    report_nanoseconds("op", 1);
    report_microseconds("op", 1);
    report_size_latency(1, 1);
    report_milliseconds("op", 1);
    report_microseconds_each(1);
}

constexpr uint64_t SECOND = 1000000;
// Above 2^32 microseconds (about 71.6 minutes): a 32-bit figure would wrap.
constexpr uint64_t LONG_INTERVAL = 5000000003ULL;

// Whole-text match against a POSIX extended regular expression.
bool matches(const std::string& text, const char* pattern) {
    const std::string anchored = std::string("^") + pattern + "$";
    regex_t compiled;
    if (regcomp(&compiled, anchored.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
    const bool found = regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

TEST(ReportThroughput, VerbosePrintsMegabytesSecondsPerRepetitionAndRate) {
    EXPECT_EQ(report_text_after(2 * SECOND, [] { report_throughput(2000000, 4, 1); }),
              "2.0000 MB in 0.5000 secs, 4.0000 MB/sec\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(1500, 3, 7); }),
              "0.0015 MB in 0.3333 secs, 0.0045 MB/sec\n");
}

TEST(ReportThroughput, TerseUsesSixDecimalsOnlyBelowOne) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(500000, 1, 0); }),
              "0.500000 0.500000\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(999999, 1, 0); }),
              "0.999999 0.999999\n");
    // Exactly 1 MB and exactly 1 MB/sec take two decimals.
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(1000000, 1, 0); }), "1.00 1.00\n");
    EXPECT_EQ(report_text_after(SECOND + 1, [] { report_throughput(1000000, 1, 0); }),
              "1.00 0.999999\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(3000000, 2, 0); }), "3.00 6.00\n");
}

TEST(ReportThroughput, ZeroIntervalPrintsAnInfiniteRate) {
    EXPECT_EQ(report_text_after(0, [] { report_throughput(1000000, 1, 0); }), "1.00 inf\n");
    EXPECT_EQ(report_text_after(0, [] { report_throughput(1000000, 1, 1); }),
              "1.0000 MB in 0.0000 secs, inf MB/sec\n");
    // No bytes either: zero over zero is not a number.
    EXPECT_TRUE(
        matches(report_text_after(0, [] { report_throughput(0, 1, 0); }), "0\\.000000 -?nan\n"));
}

TEST(ReportThroughput, ZeroRepetitionsGiveInfiniteTimeAndZeroRate) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(1000000, 0, 0); }),
              "1.00 0.000000\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_throughput(1000000, 0, 1); }),
              "1.0000 MB in inf secs, 0.0000 MB/sec\n");
}

TEST(ReportRates, KilobytesAndMegabytesPerSecondUseDecimalUnits) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_kb_per_sec(1500000); }), "1500 KB/sec\n");
    EXPECT_EQ(report_text_after(2 * SECOND, [] { report_kb_per_sec(2600); }), "1 KB/sec\n");
    EXPECT_EQ(report_text_after(2 * SECOND, [] { report_mb_per_sec(2500000); }), "1.25 MB/sec\n");
    EXPECT_EQ(report_text_after(SECOND / 4, [] { report_mb_per_sec(1024); }), "0.00 MB/sec\n");
}

TEST(ReportRates, ZeroIntervalPrintsNothing) {
    EXPECT_EQ(report_text_after(0, [] { report_kb_per_sec(1500000); }), "");
    EXPECT_EQ(report_text_after(0, [] { report_mb_per_sec(1500000); }), "");
}

TEST(ReportTransfers, SeveralTransfersUseTheXfersForm) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_transfers(2, 4096); }),
              "2 4KB xfers in 1.00 secs, 500 millisec/xfer, 8.19 KB/sec\n");
    // A rate just above 1 MB/sec is printed in MB/sec even though it rounds to 1.00.
    EXPECT_EQ(report_text_after(SECOND, [] { report_transfers(2, 500001); }),
              "2 500KB xfers in 1.00 secs, 500 millisec/xfer, 1.00 MB/sec\n");
}

TEST(ReportTransfers, OneTransferUsesTheSingleFormEndingInMillisecs) {
    EXPECT_EQ(report_text_after(SECOND / 2, [] { report_transfers(1, 1000000); }),
              "1000.0KB in 500 millisecs, 2.00 MB/sec\n");
    EXPECT_EQ(report_text_after(50000, [] { report_transfers(1, 512); }),
              "0.5KB in 50.0000 millisecs, 10.24 KB/sec\n");
}

TEST(ReportTransfers, ExactlyHundredMillisecondsAndOneMegabytePerSecondTakeTheLowerForms) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_transfers(10, 100000); }),
              "10 100KB xfers in 1.00 secs, 100.0000 millisec/xfer, 1000.00 KB/sec\n");
    EXPECT_EQ(report_text_after(SECOND + 10, [] { report_transfers(10, 100000); }),
              "10 100KB xfers in 1.00 secs, 100 millisec/xfer, 999.99 KB/sec\n");
}

TEST(ReportTransfers, ZeroTransfersTakeTheSingleFormWithInfiniteTime) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_transfers(0, 4096); }),
              "4.1KB in inf millisecs, 0.00 KB/sec\n");
}

TEST(ReportTransfers, CountPrintsItsLow32BitsAndTheTotalWrapsModulo2To64) {
    // (2^32 + 3) * 2^62 wraps to 3 * 2^62; the size in KB saturates as an int.
    const uint64_t count = (1ULL << 32) + 3;
    const uint64_t size = 1ULL << 62;
    EXPECT_EQ(report_text_after(SECOND, [=] { report_transfers(count, size); }),
              "3 2147483647KB xfers in 1.00 secs, 0.0000 millisec/xfer, "
              "13835058055282.16 MB/sec\n");
}

TEST(ReportTransfers, ZeroIntervalPrintsNothing) {
    EXPECT_EQ(report_text_after(0, [] { report_transfers(2, 4096); }), "");
    EXPECT_EQ(report_text_after(0, [] { report_transfers(1, 4096); }), "");
}

TEST(ReportContextSwitches, PrintsCountSecondsAndMicrosecondsPerSwitch) {
    EXPECT_EQ(report_text_after(2 * SECOND, [] { report_context_switches(4); }),
              "4 context switches in 2.00 secs, 500000 microsec/switch\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_context_switches(0); }),
              "0 context switches in 1.00 secs, inf microsec/switch\n");
    EXPECT_EQ(report_text_after(0, [] { report_context_switches(4); }), "");
}

TEST(ReportContextSwitches, CountIsPrintedAsASigned32BitInteger) {
    EXPECT_EQ(report_text_after(SECOND, [] { report_context_switches((1ULL << 32) + 5); }),
              "5 context switches in 1.00 secs, 0 microsec/switch\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_context_switches(1ULL << 31); }),
              "-2147483648 context switches in 1.00 secs, 0 microsec/switch\n");
}

TEST(ReportNanoseconds, PrintsNanosecondsPerOperation) {
    EXPECT_EQ(report_text_after(1, [] { report_nanoseconds("op", 3); }),
              "op: 333.33 nanoseconds\n");
    EXPECT_EQ(report_text_after(1, [] { report_nanoseconds("op", 0); }), "op: inf nanoseconds\n");
    EXPECT_EQ(report_text_after(0, [] { report_nanoseconds("op", 5); }), "");
}

TEST(ReportMicroseconds, PrintsMicrosecondsPerOperation) {
    EXPECT_EQ(report_text_after(10, [] { report_microseconds("lat rd", 4); }),
              "lat rd: 2.5000 microseconds\n");
    EXPECT_EQ(report_text_after(5, [] { report_microseconds("op", 0); }), "op: inf microseconds\n");
}

TEST(ReportMicroseconds, SilentOnlyWhenThePerOperationFigureIsExactlyZero) {
    EXPECT_EQ(report_text_after(0, [] { report_microseconds("op", 4); }), "");
    // A tiny but non-zero figure still prints (it is not an integer quotient).
    EXPECT_EQ(report_text_after(1, [] { report_microseconds("op", 1ULL << 60); }),
              "op: 0.0000 microseconds\n");
    // Zero over zero operations is not a number, not zero.
    EXPECT_TRUE(matches(report_text_after(0, [] { report_microseconds("op", 0); }),
                        "op: -?nan microseconds\n"));
}

TEST(ReportSizeLatency, TenMicrosecondsOrMorePrintWithoutDecimals) {
    EXPECT_EQ(report_text_after(20, [] { report_size_latency(1000000, 2); }), "1.000000 10\n");
    EXPECT_EQ(report_text_after(19, [] { report_size_latency(1000000, 2); }), "1.000000 9.500\n");
    EXPECT_EQ(report_text_after(3, [] { report_size_latency(4096, 1); }), "0.004096 3.000\n");
    EXPECT_EQ(report_text_after(5, [] { report_size_latency(4096, 0); }), "0.004096 inf\n");
}

TEST(ReportSizeLatency, ZeroLatencyPrintsNothing) {
    EXPECT_EQ(report_text_after(0, [] { report_size_latency(4096, 1); }), "");
}

TEST(ReportMilliseconds, TruncatesToWholeMillisecondsPerOperation) {
    EXPECT_EQ(report_text_after(5000, [] { report_milliseconds("op", 2); }),
              "op: 2 milliseconds\n");
    EXPECT_EQ(report_text_after(5999, [] { report_milliseconds("op", 1); }),
              "op: 5 milliseconds\n");
    EXPECT_EQ(report_text_after(5000, [] { report_milliseconds("op", 6); }), "");
    EXPECT_EQ(report_text_after(999, [] { report_milliseconds("op", 1); }), "");
}

TEST(ReportMilliseconds, ZeroOperationsPrintNothing) {
    EXPECT_EQ(report_text_after(5000, [] { report_milliseconds("op", 0); }), "");
    EXPECT_EQ(report_text_after(0, [] { report_milliseconds("op", 0); }), "");
}

TEST(ReportMilliseconds, QuotientIsPrintedAsItsLow32Bits) {
    // 5e9 milliseconds: 5000000000 - 2^32.
    EXPECT_EQ(report_text_after(5000000000000ULL, [] { report_milliseconds("op", 1); }),
              "op: 705032704 milliseconds\n");
}

TEST(ReportMicrosecondsEach, PrintsCountSecondsAndMicrosecondsEach) {
    EXPECT_EQ(report_text_after(2 * SECOND, [] { report_microseconds_each(4); }),
              "4 in 2.00 secs, 500000 microseconds each\n");
    EXPECT_EQ(report_text_after(SECOND, [] { report_microseconds_each(0); }),
              "0 in 1.00 secs, inf microseconds each\n");
    EXPECT_EQ(report_text_after(0, [] { report_microseconds_each(4); }), "");
}

TEST(LongIntervals, PerOperationFiguresUseTheFull64BitElapsedTime) {
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_microseconds("op", 3); }),
              "op: 1666666667.6667 microseconds\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_nanoseconds("op", 7); }),
              "op: 714285714714.29 nanoseconds\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_size_latency(0, 1); }),
              "0.000000 5000000003\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_milliseconds("op", 1); }),
              "op: 5000000 milliseconds\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_microseconds_each(5); }),
              "5 in 5000.00 secs, 1000000001 microseconds each\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_context_switches(1000); }),
              "1000 context switches in 5000.00 secs, 5000000 microsec/switch\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_transfers(2, 1000000); }),
              "2 1000KB xfers in 5000.00 secs, 2500000 millisec/xfer, 0.40 KB/sec\n");
    EXPECT_EQ(report_text_after(LONG_INTERVAL, [] { report_kb_per_sec(5000000003000ULL); }),
              "1000000 KB/sec\n");
}

TEST(Reports, SeveralReportsDescribeTheSameInterval) {
    clock_store_elapsed(2 * SECOND);
    EXPECT_EQ(report_text([] {
                  report_mb_per_sec(4000000);
                  report_microseconds_each(4);
                  report_mb_per_sec(4000000);
              }),
              "2.00 MB/sec\n4 in 2.00 secs, 500000 microseconds each\n2.00 MB/sec\n");
    EXPECT_EQ(clock_elapsed_us(), 2 * SECOND);
}

TEST(Reports, CountsComeFromTheCallerNotFromTheClock) {
    clock_set_iterations(1000);
    EXPECT_EQ(report_text_after(SECOND, [] { report_microseconds_each(2); }),
              "2 in 1.00 secs, 500000 microseconds each\n");
    EXPECT_EQ(clock_iterations(), 1000U);
}

// The usage figures of the interval between the clock's last begin and end,
// rendered the way the report renders them.
std::string expected_usage_line(double real) {
    const struct rusage& a = timing_internal::clock_start_usage();
    const struct rusage& b = timing_internal::clock_stop_usage();
    auto secs = [](const struct timeval& t) { return t.tv_usec / 1e6 + t.tv_sec; };
    const double sys = secs(b.ru_stime) - secs(a.ru_stime);
    const double user = secs(b.ru_utime) - secs(a.ru_utime);
    const double idle = real - (sys + user);
    char line[256];
    snprintf(
        line, sizeof line,
        "real=%.2f sys=%.2f user=%.2f idle=%.2f stall=%.0f%% rd=%d wr=%d min=%d maj=%d "
        "ctx=%d\n",
        real, sys, user, idle, idle / real * 100, static_cast<int>(b.ru_inblock - a.ru_inblock),
        static_cast<int>(b.ru_oublock - a.ru_oublock), static_cast<int>(b.ru_minflt - a.ru_minflt),
        static_cast<int>(b.ru_majflt - a.ru_majflt),
        static_cast<int>(b.ru_nvcsw - a.ru_nvcsw + b.ru_nivcsw - a.ru_nivcsw));
    return line;
}

// Touches fresh pages and spends some CPU time between begin and end, so that
// the snapshots differ.
void measured_work() {
    clock_begin(nullptr);
    const size_t bytes = 4 << 20;
    char* block = static_cast<char*>(malloc(bytes));
    for (size_t i = 0; i < bytes; i += 4096) block[i] = static_cast<char>(i);
    volatile uint64_t x = 0;
    for (size_t i = 0; i < 2000000; ++i) x = x + static_cast<uint64_t>(block[(i * 4096) % bytes]);
    free(block);
    clock_end(nullptr, nullptr);
}

TEST(ReportResourceUsage, PrintsTheSnapshotDifferencesOverTheStoredInterval) {
    measured_work();
    EXPECT_GT(timing_internal::clock_stop_usage().ru_minflt,
              timing_internal::clock_start_usage().ru_minflt);
    clock_store_elapsed(2 * SECOND);  // keeps the usage snapshots
    const std::string text = report_text([] { report_resource_usage(); });
    EXPECT_EQ(text, expected_usage_line(2.0));
    EXPECT_TRUE(matches(text,
                        "real=2\\.00 sys=[0-9.]+ user=[0-9.]+ idle=-?[0-9.]+ "
                        "stall=-?[0-9]+% rd=[0-9]+ wr=[0-9]+ min=[1-9][0-9]* maj=[0-9]+ "
                        "ctx=[0-9]+\n"))
        << text;
}

TEST(ReportResourceUsage, ZeroIntervalGivesANonFiniteStall) {
    measured_work();
    clock_store_elapsed(0);
    const std::string text = report_text([] { report_resource_usage(); });
    EXPECT_TRUE(matches(text,
                        "real=0\\.00 sys=[0-9.]+ user=[0-9.]+ idle=-?[0-9.]+ "
                        "stall=(-?inf|-?nan)% rd=.*\n"))
        << text;
}

TEST(ReportStream, ChosenStreamReceivesTheReportsAndStandardErrorNothing) {
    clock_store_elapsed(SECOND);
    std::string in_stream;
    const std::string on_stderr =
        stderr_text([&] { in_stream = report_text([] { report_kb_per_sec(3000); }); });
    EXPECT_EQ(in_stream, "3 KB/sec\n");
    EXPECT_EQ(on_stderr, "");
}

TEST(ReportStream, UnsetStreamFallsBackToStandardError) {
    clock_store_elapsed(SECOND);
    set_report_stream(nullptr);
    EXPECT_EQ(stderr_text([] {
                  report_kb_per_sec(3000);
                  report_nanoseconds("op", 2);
              }),
              "3 KB/sec\nop: 500000000.00 nanoseconds\n");
    // Back to a chosen stream, then unset again.
    EXPECT_EQ(report_text([] { report_kb_per_sec(5000); }), "5 KB/sec\n");
    EXPECT_EQ(stderr_text([] { report_kb_per_sec(7000); }), "7 KB/sec\n");
}

TEST(ReportStream, SilentReportsWriteNothingAnywhere) {
    clock_store_elapsed(0);
    set_report_stream(nullptr);
    EXPECT_EQ(stderr_text(call_the_reports_silent_at_zero), "");
}

// ---- JSON Lines ----

// What a report writes in JSON mode after an interval of us microseconds,
// parsed; the format is text again afterwards.
struct JsonLine {
    std::string text;
    bool parsed = false;
    std::string error;
    JsonNode value;
};

JsonLine json_report_after(uint64_t us, const std::function<void()>& report) {
    set_report_format(REPORT_FORMAT_JSON);
    // The process's first JSON line is its context line (run_context_test
    // and the report_stream_program tests check it); taken here once, so
    // that every capture holds the report alone.
    static const std::string context = report_text([] { report_context(); });
    JsonLine line;
    line.text = report_text_after(us, report);
    set_report_format(REPORT_FORMAT_TEXT);
    line.parsed = read_json(line.text, &line.value, &line.error, JSON_STRICT);
    return line;
}

// One object on one line, ending in its line end.
::testing::AssertionResult is_one_json_line(const JsonLine& line) {
    if (line.text.empty() || line.text.find('\n') != line.text.size() - 1) {
        return ::testing::AssertionFailure() << "not one line: [" << line.text << "]";
    }
    if (!line.parsed || line.value.type != JsonNode::Type::OBJECT) {
        return ::testing::AssertionFailure() << line.error << " in " << line.text;
    }
    return ::testing::AssertionSuccess();
}

bool is_null(const JsonNode& object, const char* key) {
    const JsonNode* v = object.member(key);
    return v != nullptr && v->type == JsonNode::Type::NUL;
}

constexpr double ANY_NUMBER = NAN;

struct JsonCase {
    const char* report;
    std::function<void()> call;
    // Members after "report", "elapsed_us" and "iterations", in order; a
    // "label" member is the text "op".
    std::vector<std::pair<const char*, double>> members;
};

TEST(JsonReports, EveryReportNamesItselfEchoesItsArgumentsAndTheClockAndItsFigures) {
    const std::vector<JsonCase> cases = {
        {"throughput",
         [] { report_throughput(3000000, 4, 1); },
         {{"bytes_per_repetition", 3e6},
          {"repetitions", 4},
          {"verbose", 1},
          {"mb", 3},
          {"seconds_per_repetition", 0.5},
          {"mb_per_sec", 6}}},
        {"throughput",
         [] { report_throughput(500000, 1, 0); },
         {{"bytes_per_repetition", 5e5},
          {"repetitions", 1},
          {"verbose", 0},
          {"mb", 0.5},
          {"seconds_per_repetition", 2},
          {"mb_per_sec", 0.25}}},
        {"kb_per_sec", [] { report_kb_per_sec(3000); }, {{"bytes", 3000}, {"kb_per_sec", 1.5}}},
        {"mb_per_sec", [] { report_mb_per_sec(5000000); }, {{"bytes", 5e6}, {"mb_per_sec", 2.5}}},
        {"transfers",
         [] { report_transfers(4, 2000); },
         {{"count", 4},
          {"size_bytes", 2000},
          {"size_kb", 2},
          {"seconds", 2},
          {"ms_per_transfer", 500},
          {"mb_per_sec", 0.004},
          {"kb_per_sec", 4}}},
        {"transfers",
         [] { report_transfers(1, 3000); },
         {{"count", 1},
          {"size_bytes", 3000},
          {"size_kb", 3},
          {"seconds", 2},
          {"ms_per_transfer", 2000},
          {"mb_per_sec", 0.0015},
          {"kb_per_sec", 1.5}}},
        {"context_switches",
         [] { report_context_switches(8); },
         {{"switches", 8}, {"seconds", 2}, {"us_per_switch", 250000}}},
        {"nanoseconds",
         [] { report_nanoseconds("op", 4); },
         {{"label", 0}, {"operations", 4}, {"ns_per_operation", 5e8}}},
        {"microseconds",
         [] { report_microseconds("op", 4); },
         {{"label", 0}, {"operations", 4}, {"us_per_operation", 5e5}}},
        {"size_latency",
         [] { report_size_latency(3000000, 8); },
         {{"size_bytes", 3e6}, {"operations", 8}, {"size_mb", 3}, {"us_per_operation", 250000}}},
        {"milliseconds",
         [] { report_milliseconds("op", 3); },
         {{"label", 0}, {"operations", 3}, {"ms_per_operation", 666}}},
        {"microseconds_each",
         [] { report_microseconds_each(4); },
         {{"operations", 4}, {"seconds", 2}, {"us_per_operation", 5e5}}},
        {"resource_usage",
         [] { report_resource_usage(); },
         {{"real_seconds", 2},
          {"sys_seconds", ANY_NUMBER},
          {"user_seconds", ANY_NUMBER},
          {"idle_seconds", ANY_NUMBER},
          {"stall_percent", ANY_NUMBER},
          {"blocks_in", ANY_NUMBER},
          {"blocks_out", ANY_NUMBER},
          {"minor_faults", ANY_NUMBER},
          {"major_faults", ANY_NUMBER},
          {"context_switches", ANY_NUMBER}}},
    };
    for (const JsonCase& c : cases) {
        clock_set_iterations(7);
        const JsonLine line = json_report_after(2 * SECOND, c.call);
        ASSERT_TRUE(is_one_json_line(line)) << c.report;
        const auto& members = line.value.members;
        // report, elapsed_us, iterations, the report's own, then no run's conditions.
        ASSERT_EQ(members.size(), c.members.size() + 5) << line.text;
        EXPECT_EQ(members[members.size() - 2].first, "conditions");
        EXPECT_EQ(members[members.size() - 2].second.type, JsonNode::Type::NUL);
        EXPECT_EQ(members.back().first, "warnings");
        EXPECT_TRUE(members.back().second.items.empty()) << line.text;
        EXPECT_EQ(members[0].first, "report");
        EXPECT_EQ(members[0].second.text, c.report);
        EXPECT_EQ(members[1].first, "elapsed_us");
        EXPECT_EQ(members[1].second.number, 2e6);
        EXPECT_EQ(members[2].first, "iterations");
        EXPECT_EQ(members[2].second.number, 7);
        for (size_t i = 0; i < c.members.size(); ++i) {
            const auto& [key, value] = members[i + 3];
            EXPECT_EQ(key, c.members[i].first) << line.text;
            if (key == "label") {
                EXPECT_EQ(value.text, "op");
            } else {
                ASSERT_EQ(value.type, JsonNode::Type::NUMBER) << key << " in " << line.text;
                if (!std::isnan(c.members[i].second)) {
                    EXPECT_DOUBLE_EQ(value.number, c.members[i].second)
                        << key << " in " << line.text;
                }
            }
        }
    }
}

TEST(JsonReports, MbPerSecIsBytesPerElapsedMicrosecondUnroundedAndCountsKeepAll64Bits) {
    const JsonLine rate = json_report_after(3, [] { report_mb_per_sec(10); });
    ASSERT_TRUE(is_one_json_line(rate));
    EXPECT_EQ(rate.value.member("mb_per_sec")->number, 10.0 / 3.0);
    // Counts that the text prints as their low 32 bits stay whole here.
    const JsonLine big =
        json_report_after(SECOND, [] { report_context_switches((1ULL << 32) + 5); });
    ASSERT_TRUE(is_one_json_line(big));
    EXPECT_EQ(big.value.member("switches")->number, 4294967301.0);
    EXPECT_NE(big.text.find("\"switches\":4294967301,"), std::string::npos) << big.text;
}

TEST(JsonReports, LabelsOfAnyBytesGiveValidJsonThatReadsBackAsTheLabel) {
    const std::vector<std::pair<std::string, std::string>> labels = {
        {"say \"hi\" \\ back/slash", "say \"hi\" \\ back/slash"},
        {"tab\tline\nbell\x07 unit\x1f del\x7f", "tab\tline\nbell\x07 unit\x1f del\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        // Bytes outside well-formed UTF-8 become U+FFFD, one per byte: a
        // stray byte, an overlong '/', a surrogate, a code point above
        // U+10FFFF, a sequence cut short by the end.
        {"\xff|\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\xe2\x82",
         "\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|"
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd"},
    };
    using LabelledReport = void (*)(const char*, uint64_t);
    for (const LabelledReport report :
         {report_nanoseconds, report_microseconds, report_milliseconds}) {
        for (const auto& label : labels) {
            const char* text = label.first.c_str();
            const JsonLine line = json_report_after(5000, [=] { report(text, 1); });
            ASSERT_TRUE(is_one_json_line(line)) << label.first;
            EXPECT_EQ(line.value.member("label")->text, label.second) << line.text;
        }
    }
    EXPECT_TRUE(
        is_null(json_report_after(5000, [] { report_nanoseconds(nullptr, 1); }).value, "label"));
}

TEST(JsonReports, NonFiniteFiguresAreNullAndSilentReportsStaySilent) {
    const JsonLine infinite = json_report_after(0, [] { report_throughput(1000000, 1, 0); });
    ASSERT_TRUE(is_one_json_line(infinite));
    EXPECT_TRUE(is_null(infinite.value, "mb_per_sec"));
    EXPECT_EQ(infinite.value.member("mb")->number, 1.0);
    EXPECT_TRUE(is_null(json_report_after(0, [] { report_throughput(0, 1, 1); }).value,
                        "mb_per_sec"));  // zero over zero
    const JsonLine none = json_report_after(SECOND, [] { report_transfers(0, 4096); });
    EXPECT_TRUE(is_null(none.value, "ms_per_transfer"));
    EXPECT_EQ(none.value.member("kb_per_sec")->number, 0.0);
    EXPECT_TRUE(is_null(json_report_after(5, [] { report_microseconds("op", 0); }).value,
                        "us_per_operation"));
    measured_work();
    const JsonLine usage = json_report_after(0, [] { report_resource_usage(); });
    ASSERT_TRUE(is_one_json_line(usage));
    EXPECT_TRUE(is_null(usage.value, "stall_percent"));

    EXPECT_EQ(json_report_after(0, call_the_reports_silent_at_zero).text, "");
    EXPECT_EQ(json_report_after(5000, [] { report_milliseconds("op", 0); }).text, "");
}

TEST(JsonReports, SamplesSummariseTheCurrentSetWhenItHasSamples) {
    SampleSet* const previous = current_sample_set();
    alignas(8) unsigned char bytes[184];
    SampleSet* set = reinterpret_cast<SampleSet*>(bytes);
    sample_set_clear(set);
    sample_set_add(100, 10, set);
    sample_set_add(50, 10, set);
    sample_set_add(300, 10, set);
    sample_set_add(7, 0, set);  // not summarised, but a sample of the set
    select_sample_set(set);     // publishes 100 us over 10 iterations
    const JsonLine line = json_report_after(100, [] { report_microseconds("op", 10); });
    ASSERT_TRUE(is_one_json_line(line));
    EXPECT_EQ(line.value.member("iterations")->number, 10);
    const JsonNode* samples = line.value.member("samples");
    ASSERT_NE(samples, nullptr) << line.text;
    ASSERT_EQ(line.value.members[line.value.members.size() - 3].first, "samples");
    SampleSummary expected;
    ASSERT_EQ(sample_set_summarize(set, &expected), 0);
    ASSERT_EQ(samples->members.size(), 6u);
    EXPECT_EQ(samples->member("count")->number, expected.count);
    EXPECT_EQ(samples->member("fastest_us")->number, expected.fastest_us);
    EXPECT_EQ(samples->member("median_us")->number, expected.median_us);
    EXPECT_EQ(samples->member("slowest_us")->number, expected.slowest_us);
    EXPECT_EQ(samples->member("spread")->number, expected.spread);
    // Every sample of the set, in its order, as [elapsed_us, iterations].
    EXPECT_NE(line.text.find("\"raw\":[[7,0],[300,10],[100,10],[50,10]]}"), std::string::npos)
        << line.text;
    EXPECT_EQ(line.value.member("run"), nullptr) << "the set did not come from driver_run";

    sample_set_clear(set);  // nothing to summarise: no member at all
    EXPECT_EQ(json_report_after(100, [] { report_microseconds("op", 10); }).value.member("samples"),
              nullptr);
    select_sample_set(previous);
}

// The parameters of a JSON line as key=value texts, in order; "-" when the
// line has none.
std::string params_of(const JsonLine& line) {
    const JsonNode* params = line.value.member("params");
    if (params == nullptr) return "-";
    std::string text;
    for (const auto& [key, value] : params->members) {
        EXPECT_EQ(value.type, JsonNode::Type::STRING) << line.text;
        text += (text.empty() ? "" : " ") + key + "=" + value.text;
    }
    return text;
}

std::string params_now() {
    return params_of(json_report_after(SECOND, [] { report_kb_per_sec(1); }));
}

TEST(JsonReports, ParamsAreAddedReplacedInPlaceRemovedAndKeptInFirstSetOrder) {
    EXPECT_EQ(params_now(), "-");
    EXPECT_EQ(set_report_param("measurement", "latency"), 0);
    EXPECT_EQ(set_report_param("size", "4096"), 0);
    EXPECT_EQ(set_report_param("pages", "default"), 0);
    const JsonLine line = json_report_after(SECOND, [] { report_kb_per_sec(1); });
    ASSERT_TRUE(is_one_json_line(line));
    EXPECT_EQ(line.value.members[5].first, "params") << "after the report's own items";
    EXPECT_EQ(params_of(line), "measurement=latency size=4096 pages=default");
    EXPECT_EQ(set_report_param("size", "8192"), 0);
    EXPECT_EQ(set_report_param("measurement", nullptr), 0);
    EXPECT_EQ(set_report_param("absent", nullptr), 0);
    EXPECT_EQ(params_now(), "size=8192 pages=default");
    EXPECT_EQ(set_report_param("measurement", "bandwidth"), 0);
    EXPECT_EQ(params_now(), "size=8192 pages=default measurement=bandwidth");
    // The text line knows nothing of them.
    EXPECT_EQ(report_text_after(SECOND, [] { report_kb_per_sec(3000); }), "3 KB/sec\n");

    // Escaped as labels are.
    EXPECT_EQ(set_report_param("say \"hi\"", "tab\tbad\xff"), 0);
    EXPECT_EQ(params_now(),
              "size=8192 pages=default measurement=bandwidth say \"hi\"=tab\tbad\xef\xbf\xbd");
    for (const char* key : {"size", "pages", "measurement", "say \"hi\""}) {
        EXPECT_EQ(set_report_param(key, nullptr), 0);
    }
    EXPECT_EQ(params_now(), "-");
}

TEST(JsonReports, ParamsPastTheLimitsAreRefusedAndChangeNothing) {
    const std::string key63(63, 'k');
    const std::string value255(255, 'v');
    EXPECT_EQ(set_report_param(key63.c_str(), value255.c_str()), 0);
    EXPECT_EQ(set_report_param((key63 + "k").c_str(), "1"), -1);
    EXPECT_EQ(set_report_param(key63.c_str(), (value255 + "v").c_str()), -1);
    EXPECT_EQ(set_report_param(nullptr, "1"), -1);
    EXPECT_EQ(set_report_param("", "1"), -1);
    std::string expected = key63 + "=" + value255;
    for (int i = 1; i < 16; ++i) {
        const std::string key = "p" + std::to_string(i);
        ASSERT_EQ(set_report_param(key.c_str(), "x"), 0) << i;
        expected += " " + key + "=x";
    }
    EXPECT_EQ(set_report_param("p16", "x"), -1) << "a 17th key";
    EXPECT_EQ(set_report_param("p15", "y"), 0) << "replacing needs no room";
    expected.back() = 'y';
    EXPECT_EQ(params_now(), expected);
    EXPECT_EQ(set_report_param(key63.c_str(), nullptr), 0);
    for (int i = 1; i < 16; ++i) set_report_param(("p" + std::to_string(i)).c_str(), nullptr);
}

// Runs print_usage_and_exit in a child whose standard error is a temporary
// file; returns the child's exit status and what it wrote.
ChildOutcome usage_in_child(const char* usage, std::string* written) {
    char path[] = "/tmp/usage_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return ChildOutcome{};
    const ChildOutcome outcome = run_in_child(
        [&]() -> int {
            dup2(fd, 2);
            set_report_stream(stdout);  // the usage line ignores the report stream
            char name[] = "bench";
            char* argv[] = {name, nullptr};
            print_usage_and_exit(1, argv, usage);
        },
        10000);
    FILE* file = fdopen(fd, "r");
    *written = read_whole(file);
    fclose(file);
    unlink(path);
    return outcome;
}

TEST(PrintUsageAndExit, WritesTheUsageLineToStandardErrorAndExitsWith255) {
    std::string written;
    const ChildOutcome outcome = usage_in_child("[-n N] FILE\n", &written);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exit_code, 255);
    EXPECT_EQ(written, "Usage: bench [-n N] FILE\n");
}

TEST(PrintUsageAndExit, AddsNoLineEndOfItsOwn) {
    std::string written;
    const ChildOutcome outcome = usage_in_child("FILE", &written);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exit_code, 255);
    EXPECT_EQ(written, "Usage: bench FILE");
}

}  // namespace
