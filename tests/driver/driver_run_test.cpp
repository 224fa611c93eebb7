// driver_run end to end with real workers, pipes and signals. The bodies
// advance this executable's fake clock, so every measured interval is exact
// while the protocol's waits run on real time. ENOUGH=10000 TIMING_O=0
// LAPCOST=0 (see CMakeLists.txt).
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

#include "child_process.h"
#include "driver_fixtures.h"
#include "gtest/gtest.h"
#include "internal.h"
#include "json_reader.h"
#include "lib_timing.h"
#include "report_capture.h"

namespace {

class DriverRun : public ::testing::Test {
   protected:
    void SetUp() override {
        ensure_calibrated();
        scenario = fresh_scenario();
        ASSERT_NE(scenario, nullptr);
        descriptors_before = open_descriptor_count();
    }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_before) << "a descriptor leaked";
        EXPECT_TRUE(no_children_left()) << "a worker was left unreaped";
        EXPECT_FALSE(log_overflowed());
    }
    void run(int enough, int parallel, int warmup, int repetitions) {
        driver_run(test_setup, test_body, test_teardown, enough, parallel, warmup, repetitions,
                   scenario);
    }
    Scenario* scenario = nullptr;
    int descriptors_before = 0;
};

bool clock_reads_failed_run() { return clock_elapsed_us() == 0 && clock_iterations() == 1; }

// Every worker: setup(0) first, teardown(0) last and once, one setup and one
// teardown around every body call, user_arg everywhere, phases in order.
void expect_complete_call_pattern(const ProcessLog& p) {
    ASSERT_FALSE(p.calls.empty());
    EXPECT_EQ(p.calls.front().kind, SETUP);
    EXPECT_EQ(p.calls.front().n, 0u);
    EXPECT_EQ(p.calls.back().kind, TEARDOWN);
    EXPECT_EQ(p.calls.back().n, 0u);
    EXPECT_EQ(count_calls(p, SETUP, 0), 1);
    EXPECT_EQ(count_calls(p, TEARDOWN, 0), 1);
    int bodies = 0, setups = 0, teardowns = 0;
    int32_t phase = WarmUp;
    for (const CallRecord& r : p.calls) {
        EXPECT_TRUE(r.arg_ok);
        if (r.n == 0) continue;
        if (r.kind == BODY) {
            bodies += static_cast<int>(r.repeat);
            EXPECT_GE(r.phase, phase) << "phases only move forward";
            phase = r.phase;
        }
        if (r.kind == SETUP) setups += static_cast<int>(r.repeat);
        if (r.kind == TEARDOWN) teardowns += static_cast<int>(r.repeat);
    }
    EXPECT_EQ(setups, bodies);
    EXPECT_EQ(teardowns, bodies);
}

int timed_bodies(const ProcessLog& p, uint32_t n) {
    int c = 0;
    for (const CallRecord& r : p.calls) {
        if (r.kind == BODY && r.phase == Timing && r.n == n) c += static_cast<int>(r.repeat);
    }
    return c;
}

// With 3 us per iteration and enough = 10000 a single worker grows its count
// 1 -> 8 -> 64, then adapts to 1 + 11000 * 64 / 192 = 3667 iterations, whose
// 11001 us lie inside 0.99..1.2 of the enough interval.
constexpr uint64_t ADAPTED_US = 11001;
constexpr uint64_t ADAPTED_N = 3667;
// The pre-run's rate filling one second: 3667 * 1e6 / 11001, truncated, + 1.
constexpr uint64_t SECOND_N = 333334;

TEST_F(DriverRun, OneWorkerAdaptsIntoTheEnoughBandAndTakesElevenSamples) {
    run(5000, 1, 0, -1);  // raised to the calibrated 10000
    EXPECT_EQ(clock_elapsed_us(), ADAPTED_US);
    EXPECT_EQ(clock_iterations(), ADAPTED_N);
    ASSERT_NE(current_sample_set(), nullptr);
    EXPECT_EQ(current_sample_set()->count, 11);
    const auto logs = logged_processes();
    ASSERT_EQ(logs.size(), 1u);
    expect_complete_call_pattern(logs[0]);
    EXPECT_EQ(logs[0].worker_index, 0);
    EXPECT_EQ(timed_bodies(logs[0], 1), 1);
    EXPECT_EQ(timed_bodies(logs[0], 8), 1);
    EXPECT_EQ(timed_bodies(logs[0], 64), 1);
    EXPECT_EQ(timed_bodies(logs[0], ADAPTED_N), 11);
    EXPECT_GE(count_calls(logs[0], BODY, 1), 2) << "warm-up and wind-down run 1 iteration";
}

TEST_F(DriverRun, LongEnoughIntervalTakesOneSampleByDefault) {
    run(1000000, 1, 0, -1);
    // 1 + 1.1e6 * 64 / 192 = 366667 iterations, 1100001 us.
    EXPECT_EQ(clock_elapsed_us(), 1100001u);
    EXPECT_EQ(clock_iterations(), 366667u);
    EXPECT_EQ(current_sample_set()->count, 1);
}

TEST_F(DriverRun, ExplicitRepetitionsAreTheSampleCount) {
    run(10000, 1, 0, 3);
    EXPECT_EQ(current_sample_set()->count, 3);
    EXPECT_EQ(clock_iterations(), ADAPTED_N);
}

TEST_F(DriverRun, SeveralWorkersTimeTheCountThatFillsOneSecond) {
    run(10000, 4, 0, -1);
    EXPECT_EQ(clock_iterations(), SECOND_N);
    EXPECT_EQ(clock_elapsed_us(), 3 * SECOND_N);
    EXPECT_EQ(current_sample_set()->count, 4) << "one sample per worker by default";

    const auto pre_run = workers_of_width(1);
    ASSERT_EQ(pre_run.size(), 1u);
    EXPECT_EQ(timed_bodies(pre_run[0], ADAPTED_N), 1) << "the pre-run takes one sample";
    const auto workers = workers_of_width(4);
    ASSERT_EQ(workers.size(), 4u);
    std::set<int> indices;
    for (const ProcessLog& w : workers) {
        expect_complete_call_pattern(w);
        indices.insert(w.worker_index);
        int timed = 0;
        for (const CallRecord& r : w.calls) {
            if (r.kind == BODY && r.phase == Timing) {
                EXPECT_EQ(r.n, SECOND_N) << "the count never changes";
                timed += static_cast<int>(r.repeat);
            }
        }
        EXPECT_EQ(timed, 1);
    }
    EXPECT_EQ(indices, (std::set<int>{0, 1, 2, 3})) << "current_worker_index inside bodies";
}

TEST_F(DriverRun, EachWorkerRecordsEveryTimedIntervalUpToItsRepetitions) {
    run(10000, 2, 0, 3);
    EXPECT_EQ(current_sample_set()->count, 6);
    for (const ProcessLog& w : workers_of_width(2)) EXPECT_EQ(timed_bodies(w, SECOND_N), 3);
    EXPECT_EQ(timed_bodies(workers_of_width(1).at(0), ADAPTED_N), 3);
}

TEST_F(DriverRun, PreRunRateGivesTheWorkersCount) {
    // 40 us per iteration: 1 -> 8 (320 us) -> 1 + 11000 * 8 / 320 = 276
    // iterations in 11040 us; 276 * 1e6 / 11040 = 25000, + 1.
    scenario->cost_us = 40;
    run(10000, 3, 0, -1);
    EXPECT_EQ(clock_iterations(), 25001u);
    EXPECT_EQ(clock_elapsed_us(), 40u * 25001u);
}

TEST_F(DriverRun, LongEnoughIntervalGivesTheWorkersThePreRunCount) {
    run(1000000, 2, 0, -1);
    EXPECT_EQ(clock_iterations(), 366667u) << "the pre-run's own count, not one second's";
    EXPECT_EQ(current_sample_set()->count, 2);
}

// Where the workers' phase changes fall in the shared log's order: the last
// setup(0), the first and the last timed body, the first teardown(0).
struct PhaseOrder {
    uint32_t last_start = 0, first_timing = UINT32_MAX, last_timing = 0, first_final = UINT32_MAX;
};

PhaseOrder phase_order(const std::vector<ProcessLog>& workers) {
    PhaseOrder o;
    for (const ProcessLog& w : workers) {
        for (const CallRecord& r : w.calls) {
            if (r.kind == SETUP && r.n == 0) o.last_start = std::max(o.last_start, r.first_seq);
            if (r.kind == BODY && r.phase == Timing) {
                o.first_timing = std::min(o.first_timing, r.first_seq);
                o.last_timing = std::max(o.last_timing, r.last_seq);
            }
            if (r.kind == TEARDOWN && r.n == 0)
                o.first_final = std::min(o.first_final, r.first_seq);
        }
    }
    return o;
}

TEST_F(DriverRun, ProtocolStepsAllWorkersThroughThePhasesTogether) {
    run(10000, 3, 0, 2);
    const auto workers = workers_of_width(3);
    ASSERT_EQ(workers.size(), 3u);
    for (const ProcessLog& w : workers) {
        EXPECT_GE(count_calls(w, BODY, 1), 1) << "at least one warm-up interval";
    }
    const PhaseOrder o = phase_order(workers);
    EXPECT_LT(o.last_start, o.first_timing) << "no worker times before all have started";
    EXPECT_LT(o.last_timing, o.first_final) << "no worker is collected before all are done";
}

TEST_F(DriverRun, NoWorkersSleepsTheWarmUpAndPublishesAnEmptySet) {
    clock_store_elapsed(77);
    SampleSet* before = current_sample_set();
    const double start = monotonic_seconds();
    run(10000, 0, 1200000, -1);  // 1 s and 200000 us
    EXPECT_GE(monotonic_seconds() - start, 1.19);
    EXPECT_TRUE(clock_reads_failed_run());
    EXPECT_NE(current_sample_set(), before);
    EXPECT_EQ(current_sample_set()->count, 0);
    EXPECT_TRUE(logged_processes().empty());
}

TEST_F(DriverRun, ManyWorkersWithZeroRepetitionsAllFitTheMergedSet) {
    run(10000, 13, 0, 0);
    EXPECT_EQ(current_sample_set()->count, 13);
    EXPECT_EQ(clock_iterations(), SECOND_N);
    EXPECT_EQ(clock_elapsed_us(), 3 * SECOND_N);
}

TEST_F(DriverRun, ASecondRunReplacesTheFirstResultAndLeavesTheFirstSetToTheCaller) {
    run(10000, 1, 0, 1);
    SampleSet* first = current_sample_set();
    const uint64_t first_elapsed = clock_elapsed_us();
    const uint64_t first_iterations = clock_iterations();
    scenario->cost_us = 40;  // 276 iterations, 11040 us
    run(10000, 1, 0, 1);
    SampleSet* second = current_sample_set();
    EXPECT_NE(second, first);
    EXPECT_EQ(clock_elapsed_us(), 11040u);
    EXPECT_EQ(clock_iterations(), 276u);
    // The driver never frees a merged set: the first one still holds its result.
    select_sample_set(first);
    EXPECT_EQ(clock_elapsed_us(), first_elapsed);
    EXPECT_EQ(clock_iterations(), first_iterations);
    select_sample_set(second);
    free(first);
}

// A JSON report of the current interval, parsed.
JsonNode json_report() {
    set_report_format(REPORT_FORMAT_JSON);
    const std::string text = report_text([] { report_microseconds("op", 1); });
    set_report_format(REPORT_FORMAT_TEXT);
    // The last line: after the context line, when there is one.
    const size_t end = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    JsonNode value;
    std::string error;
    EXPECT_TRUE(
        read_json(text.substr(end == std::string::npos ? 0 : end + 1), &value, &error, JSON_STRICT))
        << error << " in " << text;
    return value;
}

std::string run_of(const JsonNode& report) {
    const JsonNode* run = report.member("run");
    if (run == nullptr) return "-";
    std::string text;
    for (const auto& [key, value] : run->members) {
        text += (text.empty() ? "" : " ") + key + "=" + std::to_string(value.number);
    }
    return text;
}

// The warnings of a context line written now.
std::string context_warnings() {
    set_report_format(REPORT_FORMAT_JSON);
    const std::string text = report_text([] { report_context(); });
    set_report_format(REPORT_FORMAT_TEXT);
    const size_t at = text.find("\"warnings\":");
    return at == std::string::npos ? text : text.substr(at);
}

TEST_F(DriverRun, JsonReportsCarryTheRunAndTheRawSamplesOfTheSetItMade) {
    // Whether workers have run is the process's: when the whole program runs
    // in one process, earlier tests have run them.
    if (!timing_internal::workers_have_run()) {
        unsetenv("QUENTAR_SCHED");
        EXPECT_EQ(context_warnings().find("unpinned"), std::string::npos) << "no worker has run";
    }
    unsetenv("QUENTAR_SCHED");
    run(5000, 2, 3000, -1);  // enough raised to 10000, one sample per worker
    SampleSet* merged = current_sample_set();
    ASSERT_EQ(merged->count, 2);
    const std::string warnings = context_warnings();
    EXPECT_NE(warnings.find("\"current sample set has 2 samples: its spread means little\""),
              std::string::npos)
        << warnings;
    EXPECT_NE(warnings.find("\"workers ran unpinned: no QUENTAR_SCHED policy applied\""),
              std::string::npos)
        << warnings;
    setenv("QUENTAR_SCHED", "BALANCED", 1);
    EXPECT_EQ(context_warnings().find("unpinned"), std::string::npos) << "a policy pins them";
    unsetenv("QUENTAR_SCHED");
    setenv("QUENTAR_SCHED", "SINGLE", 1);
    EXPECT_EQ(context_warnings().find("unpinned"), std::string::npos);
    unsetenv("QUENTAR_SCHED");
    JsonNode report = json_report();
    EXPECT_EQ(
        run_of(report),
        "parallel=2.000000 repetitions=1.000000 enough_us=10000.000000 warmup_us=3000.000000");
    const JsonNode* raw =
        report.member("samples") ? report.member("samples")->member("raw") : nullptr;
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(raw->items.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(raw->items[i].items.size(), 2u);
        EXPECT_EQ(raw->items[i].items[0].number, merged->samples[i].elapsed_us);
        EXPECT_EQ(raw->items[i].items[1].number, merged->samples[i].iterations);
    }

    // Another set current: no run. The same set again: its run again. The
    // set changed by the caller: no longer the run's.
    alignas(8) unsigned char bytes[184];
    SampleSet* own = reinterpret_cast<SampleSet*>(bytes);
    sample_set_clear(own);
    sample_set_add(100, 10, own);
    select_sample_set(own);
    EXPECT_EQ(run_of(json_report()), "-");
    select_sample_set(merged);
    EXPECT_NE(run_of(json_report()), "-");
    sample_set_add(100, 10, merged);
    EXPECT_EQ(run_of(json_report()), "-");

    run(10000, 1, -5, 0);  // negative warm-up: none; no repetitions: one sample
    EXPECT_EQ(run_of(json_report()),
              "parallel=1.000000 repetitions=1.000000 enough_us=10000.000000 warmup_us=0.000000");
    free(merged);
}

TEST_F(DriverRun, NullSetupAndTeardownAreAllowed) {
    driver_run(nullptr, test_body, nullptr, 10000, 2, 0, 1, scenario);
    EXPECT_EQ(clock_iterations(), SECOND_N);
    for (const ProcessLog& p : logged_processes()) {
        EXPECT_EQ(count_calls(p, SETUP, 0) + count_calls(p, TEARDOWN, 0), 0);
    }
}

TEST_F(DriverRun, CallerDispositionsAreBackAfterTheRun) {
    struct sigaction mine;
    std::memset(&mine, 0, sizeof mine);
    mine.sa_sigaction = [](int, siginfo_t*, void*) {};
    mine.sa_flags = SA_SIGINFO;
    sigemptyset(&mine.sa_mask);
    struct sigaction old_pipe;
    sigaction(SIGPIPE, &mine, &old_pipe);
    const struct sigaction term_before = disposition_of(SIGTERM);

    run(10000, 2, 0, 1);
    EXPECT_EQ(clock_iterations(), SECOND_N);
    EXPECT_TRUE(same_disposition(disposition_of(SIGTERM), term_before));
    EXPECT_TRUE(same_disposition(disposition_of(SIGPIPE), mine));
    EXPECT_EQ(disposition_of(SIGCHLD).sa_handler, SIG_DFL);
    sigaction(SIGPIPE, &old_pipe, nullptr);
}

TEST_F(DriverRun, CallerSigtermHandlerIsRestoredAfterASuccessfulRun) {
    struct sigaction mine;
    std::memset(&mine, 0, sizeof mine);
    mine.sa_sigaction = [](int, siginfo_t*, void*) {};
    mine.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&mine.sa_mask);
    struct sigaction old_term;
    sigaction(SIGTERM, &mine, &old_term);
    run(10000, 1, 0, 1);
    const struct sigaction after = disposition_of(SIGTERM);
    sigaction(SIGTERM, &old_term, nullptr);
    EXPECT_EQ(clock_iterations(), ADAPTED_N);
    EXPECT_TRUE(same_disposition(after, mine));
    EXPECT_EQ(after.sa_flags & (SA_SIGINFO | SA_RESTART), SA_SIGINFO | SA_RESTART);
}

// A caller's fast interval timer, started in setup(0), interrupts the
// workers' zero-time-out polls again and again; its handler does nothing.
// Installed with and without SA_RESTART, as signal() and sigaction() callers
// would. Every 15 us natively, scaled: qemu-user takes longer than 15 us to
// deliver one signal, and a worker would then run nothing but its handler.
int alarm_flags = 0;
void setup_starting_a_fast_timer(uint32_t n, void* arg) {
    test_setup(n, arg);
    if (n != 0) return;
    struct sigaction a;
    std::memset(&a, 0, sizeof a);
    a.sa_handler = [](int) {};
    a.sa_flags = alarm_flags;
    sigemptyset(&a.sa_mask);
    sigaction(SIGALRM, &a, nullptr);
    const suseconds_t us = static_cast<suseconds_t>(scaled_seconds(15e-6) * 1e6);
    const struct itimerval fast = {{0, us}, {0, us}};
    setitimer(ITIMER_REAL, &fast, nullptr);
}
TEST_F(DriverRun, FastIntervalTimerInTheWorkersNeverStallsTheRun) {
    for (const int flags : {SA_RESTART, 0}) {
        alarm_flags = flags;
        const ChildOutcome o = run_in_child(
            [&]() -> int {
                SampleSet* const initial = current_sample_set();
                for (int round = 0; round < 10; ++round) {
                    fresh_scenario();
                    driver_run(setup_starting_a_fast_timer, test_body, test_teardown, 10000, 2, 0,
                               1, scenario);
                    const PhaseOrder order = phase_order(workers_of_width(2));
                    if (clock_iterations() != SECOND_N || order.last_start > order.first_timing) {
                        return 1 + round;  // a worker timed before the go byte
                    }
                    SampleSet* const merged = current_sample_set();
                    select_sample_set(initial);
                    free(merged);
                }
                return 0;
            },
            30000);
        EXPECT_FALSE(o.timed_out) << "flags " << flags;
        EXPECT_TRUE(o.exited) << "flags " << flags;
        EXPECT_EQ(o.exit_code, 0) << "flags " << flags << ": the round that failed, from 1";
    }
}

// A caller with its own 100 us interval timer, caught SIGWINCH bursts (a
// terminal being resized) and a caught SIGUSR1, all through a run with a
// warm-up and a pre-run: the run ends as it does undisturbed, the warm-up is
// slept out, and the caller's timer and SIGALRM handler are back afterwards.
volatile sig_atomic_t caller_signals = 0;
volatile sig_atomic_t caller_alarms = 0;
void count_caller_signal(int signal_number) {
    caller_signals = caller_signals + 1;
    if (signal_number == SIGALRM) caller_alarms = caller_alarms + 1;
}

void catch_signal(int signal_number, int flags) {
    struct sigaction a;
    std::memset(&a, 0, sizeof a);
    a.sa_handler = count_caller_signal;
    a.sa_flags = flags;
    sigemptyset(&a.sa_mask);
    sigaction(signal_number, &a, nullptr);
}

// A child that sends its parent 20 SIGWINCH and one SIGUSR1 every
// millisecond until it is killed or its parent has gone.
pid_t start_signal_bursts() {
    const pid_t target = getpid();
    const pid_t sender = fork();
    if (sender != 0) return sender;
    const struct timespec one_ms = {0, 1000000};
    while (getppid() == target) {
        for (int i = 0; i < 20; ++i) kill(target, SIGWINCH);
        kill(target, SIGUSR1);
        nanosleep(&one_ms, nullptr);
    }
    _exit(0);
}

TEST_F(DriverRun, CallerSignalsAndIntervalTimerLeaveTheRunWhole) {
    constexpr int WARMUP_US = 200000;
    for (const int flags : {SA_RESTART, 0}) {
        const ChildOutcome o = run_in_child(
            [&]() -> int {
                run(10000, 2, WARMUP_US, 3);
                const SampleSet* const quiet = current_sample_set();
                const int quiet_count = quiet->count;
                const uint64_t quiet_iterations = clock_iterations();
                if (quiet_count != 6) return 10;

                for (const int s : {SIGALRM, SIGWINCH, SIGUSR1}) catch_signal(s, flags);
                const struct sigaction alarm_before = disposition_of(SIGALRM);
                const struct itimerval every_100_us = {{0, 100}, {0, 100}};
                setitimer(ITIMER_REAL, &every_100_us, nullptr);
                const pid_t sender = start_signal_bursts();
                fresh_scenario();
                caller_signals = 0;
                const double start = monotonic_seconds();
                run(10000, 2, WARMUP_US, 3);
                const double took = monotonic_seconds() - start;
                const int caught = caller_signals;
                kill(sender, SIGKILL);
                while (waitpid(sender, nullptr, 0) < 0 && errno == EINTR) {
                }
                struct itimerval timer_after;
                getitimer(ITIMER_REAL, &timer_after);
                // Still running: it expires again (within 10 s, scaled,
                // however slow the machine).
                const sig_atomic_t alarms_after = caller_alarms;
                const double deadline = monotonic_seconds() + scaled_seconds(10);
                while (caller_alarms - alarms_after < 3 && monotonic_seconds() < deadline) {
                }
                const bool timer_runs = caller_alarms - alarms_after >= 3;
                const struct itimerval stopped = {{0, 0}, {0, 0}};
                setitimer(ITIMER_REAL, &stopped, nullptr);

                if (current_sample_set() == quiet || current_sample_set()->count != quiet_count)
                    return 1;
                if (clock_iterations() != quiet_iterations) return 2;
                if (took < 2 * WARMUP_US / 1e6) return 3;  // pre-run and run sleep it out
                if (caught < 100) return 4;                // the signals did come
                if (timer_after.it_interval.tv_sec != 0 || timer_after.it_interval.tv_usec != 100)
                    return 5;
                if (!timer_runs) return 6;
                if (!same_disposition(disposition_of(SIGALRM), alarm_before)) return 7;
                return 0;
            },
            30000);
        EXPECT_FALSE(o.timed_out) << "flags " << flags;
        EXPECT_TRUE(o.exited) << "flags " << flags << ", signal " << o.signal_number;
        EXPECT_EQ(o.exit_code, 0) << "flags " << flags;
    }
}

// Abandonment.

// A warm-up of the given seconds, scaled like the bounds that tell a run
// that ended early from one that slept it out.
int scaled_warmup_us(double seconds) { return static_cast<int>(scaled_seconds(seconds) * 1e6); }

TEST_F(DriverRun, WorkerEndingDuringWarmUpAbandonsWithinAboutASecond) {
    // The only worker ends after its ready byte, while the parent sleeps the
    // warm-up: the go write finds no reader, and the caller must survive it.
    scenario->die_in_warmup = 1;
    const double start = monotonic_seconds();
    run(10000, 1, scaled_warmup_us(10), -1);
    EXPECT_LT(monotonic_seconds() - start, scaled_seconds(3.0));
    EXPECT_TRUE(clock_reads_failed_run());
    EXPECT_EQ(disposition_of(SIGPIPE).sa_handler, SIG_DFL);
}

// A pipe the parent writes to has lost its only reader: the write fails, and
// the caller abandons the run instead of dying of SIGPIPE.
void expect_abandoned_without_sigpipe(Scenario* scenario, int which_end) {
    scenario->close_in_warmup = which_end;
    const ChildOutcome o = run_in_child([&]() -> int {
        driver_run(test_setup, test_body, test_teardown, 10000, 1, 300000, -1, scenario);
        if (!clock_reads_failed_run()) return 1;
        if (disposition_of(SIGPIPE).sa_handler != SIG_DFL) return 2;
        return no_children_left() ? 0 : 3;
    });
    EXPECT_FALSE(o.signalled) << "signal " << o.signal_number;
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 0);
    const auto logs = logged_processes();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(count_calls(logs[0], TEARDOWN, 0), 1) << "the worker was ended by SIGTERM";
}

TEST_F(DriverRun, GoWriteWithoutAReaderAbandonsTheRun) {
    expect_abandoned_without_sigpipe(scenario, 1);
}

TEST_F(DriverRun, CollectWriteWithoutAReaderAbandonsTheRun) {
    expect_abandoned_without_sigpipe(scenario, 2);
}

TEST_F(DriverRun, OneWorkerEndingAbandonsAndTheOthersAreEnded) {
    scenario->die_in_warmup = 3;  // worker 0 of the parallel run only
    const int warmup_us = scaled_warmup_us(2);
    const double start = monotonic_seconds();
    run(10000, 3, warmup_us, 1);  // the pre-run sleeps its whole warm-up
    EXPECT_LT(monotonic_seconds() - start, warmup_us / 1e6 + scaled_seconds(1.8));
    EXPECT_TRUE(clock_reads_failed_run());
    // The pre-run's SIGTERM disposition was put back, so the survivors of the
    // parallel run still ended on SIGTERM, running teardown(0).
    for (const ProcessLog& w : workers_of_width(3)) {
        EXPECT_EQ(count_calls(w, SETUP, 0), 1);
        EXPECT_LE(count_calls(w, TEARDOWN, 0), 1);
        EXPECT_TRUE(all_args_ok({w}));
    }
    int ended_by_sigterm = 0;
    for (const ProcessLog& w : workers_of_width(3)) ended_by_sigterm += count_calls(w, TEARDOWN, 0);
    EXPECT_EQ(ended_by_sigterm, 2);
}

TEST_F(DriverRun, SigtermToTheParentDuringGatheringAbandons) {
    int announce[2];
    ASSERT_EQ(pipe(announce), 0);
    scenario->announce_fd = announce[1];
    const pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(announce[0]);
        run(10000, 1, scaled_warmup_us(10), -1);
        const bool restored = disposition_of(SIGTERM).sa_handler == SIG_DFL;
        _exit(clock_reads_failed_run() && restored ? 0 : 1);
    }
    close(announce[1]);
    ASSERT_GT(read_pid(announce[0], 20000), 0);
    const double start = monotonic_seconds();
    kill(caller, SIGTERM);
    const ChildOutcome o = wait_bounded(caller, 20000);
    close(announce[0]);
    EXPECT_TRUE(o.exited) << "the caller caught SIGTERM during the run";
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_LT(monotonic_seconds() - start, scaled_seconds(3.0));
    const auto logs = logged_processes();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(count_calls(logs[0], TEARDOWN, 0), 1) << "the worker ended through teardown(0)";
}

// The test body, which in its first timed interval also starts and reaps a
// child process, as a benchmark body that runs a helper program would.
int forked_children = 0;
void body_forking_one_child(uint32_t n, void* arg) {
    test_body(n, arg);
    if (current_worker_state()->phase == Timing && forked_children++ == 0) {
        const pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);  // its SIGCHLD has come by now
    }
}

TEST_F(DriverRun, ChildOfABodyEndsAWorkerWithoutTeardown) {
    // Without a teardown callback the worker keeps its SIGCHLD handler: a
    // child started by the body ends it with status 1, and the run fails.
    forked_children = 0;
    driver_run(test_setup, body_forking_one_child, nullptr, 10000, 1, 0, 5, scenario);
    EXPECT_TRUE(clock_reads_failed_run());
}

TEST_F(DriverRun, ChildOfABodyDoesNotEndAWorkerWithTeardown) {
    forked_children = 0;
    driver_run(test_setup, body_forking_one_child, test_teardown, 10000, 1, 0, 5, scenario);
    EXPECT_EQ(clock_iterations(), ADAPTED_N);
}

// Reaping.

TEST_F(DriverRun, ReapingAlarmEndsStalledWorkersFirstLateThenAfterOneSecond) {
    // Both workers of the parallel run stall in teardown(0) after sending
    // their images. enough = 2000000 gives the newest a 6 s alarm; the next
    // one gets 1 s. The bounds stay unscaled: the alarms run on real time,
    // the run around them takes well under a second even emulated, and a
    // second 6 s alarm would end past 12 s.
    scenario->block_teardown = 2;
    const double start = monotonic_seconds();
    run(2000000, 2, 0, -1);
    const double took = monotonic_seconds() - start;
    EXPECT_GE(took, 6.9);
    EXPECT_LT(took, 11.5);
    EXPECT_EQ(current_sample_set()->count, 2) << "the run itself completed";
    for (const ProcessLog& w : workers_of_width(2)) {
        EXPECT_EQ(count_calls(w, TEARDOWN, 0), 1) << "SIGTERM ends the stalled teardown(0)";
    }
}

// Failure paths and descriptors (the fixture checks the descriptor count).

TEST_F(DriverRun, PipeCreationFailureReturnsWithoutForking) {
    for (int pipes_allowed = 0; pipes_allowed < 4; ++pipes_allowed) {
        // Leave exactly 2 * pipes_allowed free descriptor slots.
        int limit = 0;
        for (int free_slots = 0;; ++limit) {
            if (fcntl(limit, F_GETFD) < 0) {
                if (free_slots == 2 * pipes_allowed) break;
                ++free_slots;
            }
        }
        struct rlimit old_limit;
        getrlimit(RLIMIT_NOFILE, &old_limit);
        struct rlimit tight = old_limit;
        tight.rlim_cur = static_cast<rlim_t>(limit);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
        clock_store_elapsed(5);
        run(10000, 1, 0, -1);
        setrlimit(RLIMIT_NOFILE, &old_limit);
        EXPECT_TRUE(clock_reads_failed_run());
        EXPECT_TRUE(logged_processes().empty()) << pipes_allowed << " pipes";
        EXPECT_EQ(open_descriptor_count(), descriptors_before) << pipes_allowed << " pipes";
    }
}

TEST_F(DriverRun, PipesBeyondWhatSelectCanWaitOnFailTheRun) {
    struct rlimit old_limit;
    getrlimit(RLIMIT_NOFILE, &old_limit);
    struct rlimit wide = old_limit;
    wide.rlim_cur = FD_SETSIZE + 64;
    if (wide.rlim_max < wide.rlim_cur) GTEST_SKIP() << "descriptor limit too low";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &wide), 0);
    std::vector<int> fillers;  // every descriptor below FD_SETSIZE taken
    for (int fd = 0; fd < FD_SETSIZE; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) fillers.push_back(dup2(0, fd));
    }
    clock_store_elapsed(5);
    run(10000, 1, 0, -1);
    const bool failed = clock_reads_failed_run();
    const int descriptors = open_descriptor_count();
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &old_limit);
    EXPECT_TRUE(failed);
    EXPECT_EQ(descriptors, descriptors_before + static_cast<int>(fillers.size()));
    EXPECT_TRUE(logged_processes().empty());
}

TEST_F(DriverRun, SampleSetsTooLargeToAllocateFailTheRun) {
    run(10000, 1, 0, 200000000);
    EXPECT_TRUE(clock_reads_failed_run());
    for (const ProcessLog& p : logged_processes()) EXPECT_EQ(count_calls(p, SETUP, 0), 0);
}

// The parent going away.

// Runs driver_run in a child C of T, kills C once its worker W has started
// and waits for W to end. Where T can be a subreaper (not under qemu-user),
// W is re-parented to T and T reports how it ended: its exit status, or 100
// plus the signal; elsewhere only that it ended (status 80).
ChildOutcome worker_outcome_after_parent_killed(Scenario* scenario, IntervalCallback teardown) {
    return run_in_child([&]() -> int {
        const bool reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        int announce[2];
        if (pipe(announce) != 0) return 89;
        scenario->announce_fd = announce[1];
        const pid_t caller = fork();
        if (caller < 0) return 90;
        if (caller == 0) {
            close(announce[0]);
            driver_run(test_setup, test_body, teardown, 10000, 1, 20000000, -1, scenario);
            _exit(0);
        }
        close(announce[1]);
        const pid_t worker = read_pid(announce[0], 20000);
        if (worker <= 0) return 91;
        kill(caller, SIGKILL);
        waitpid(caller, nullptr, 0);
        if (!reaper) return wait_for_eof(announce[0], 20000) ? 80 : 92;
        const ChildOutcome w = wait_bounded(worker, 20000);
        if (w.timed_out) return 92;
        if (w.exited) return w.exit_code;
        if (w.signalled) return 100 + w.signal_number;
        return 93;
    });
}

TEST_F(DriverRun, WorkerWithTeardownEndsWhenItsParentHasGone) {
    const ChildOutcome o = worker_outcome_after_parent_killed(scenario, test_teardown);
    ASSERT_TRUE(o.exited);
    if (o.exit_code != 80) {
        EXPECT_EQ(o.exit_code, 0) << "a subreaper saw the worker's status";
    }
    const auto logs = logged_processes();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(count_calls(logs[0], TEARDOWN, 0), 1);
    EXPECT_TRUE(all_args_ok(logs));
}

TEST_F(DriverRun, WorkerWithoutTeardownDiesOnItsNextReplyWrite) {
    const ChildOutcome o = worker_outcome_after_parent_killed(scenario, nullptr);
    ASSERT_TRUE(o.exited);
    if (o.exit_code != 80) {
        EXPECT_EQ(o.exit_code, 100 + SIGPIPE);
    }
    // Its ready byte was out before its parent went; the closed go pipe reads
    // as a go byte, and the done byte finds the reply pipe without a reader.
    const auto logs = logged_processes();
    ASSERT_EQ(logs.size(), 1u);
    int timed = 0;
    for (const CallRecord& r : logs[0].calls) timed += r.phase == Timing ? 1 : 0;
    EXPECT_GT(timed, 0);
}

}  // namespace
