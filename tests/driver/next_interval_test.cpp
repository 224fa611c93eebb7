// The per-interval state machine, driven by hand: a WorkerState of the
// test's own, real pipes standing in for the parent, and the fake clock
// giving each interval an exact length. ENOUGH=10000 TIMING_O=0 LAPCOST=0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "driver_internal.h"
#include "fake_clock.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

using timing_internal::next_interval;

namespace {

int user_token;
std::vector<std::pair<char, uint32_t>> calls;
bool wrong_arg = false;
int teardown_report_fd = -1;  // in forked cases teardown(0) reports here

void log_setup(uint32_t n, void* arg) {
    calls.push_back({'s', n});
    wrong_arg |= arg != &user_token;
}
void log_teardown(uint32_t n, void* arg) {
    calls.push_back({'t', n});
    wrong_arg |= arg != &user_token;
    if (n == 0 && teardown_report_fd >= 0) {
        const ssize_t r = write(teardown_report_fd, "T", 1);
        (void)r;
    }
}
void no_body(uint32_t, void*) {}

// Bytes waiting in fd right now.
int pending_bytes(int fd) {
    int n = 0;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return n;
        char c;
        if (read(fd, &c, 1) != 1) return n;
        ++n;
    }
}

struct Harness {
    int reply[2], go[2], collect[2], quit[2];
    alignas(8) unsigned char storage[8 + 16 * 64];
    SampleSet* set = reinterpret_cast<SampleSet*>(storage);
    WorkerState s;

    Harness(int32_t phase, uint32_t n, int32_t workers, int32_t goal) {
        ensure_calibrated();
        calls.clear();
        wrong_arg = false;
        pipe(reply);
        pipe(go);
        pipe(collect);
        pipe(quit);
        std::memset(&s, 0, sizeof s);
        s.phase = phase;
        s.setup_fn = log_setup;
        s.body_fn = no_body;
        s.teardown_fn = log_teardown;
        s.reply_fd = reply[1];
        s.go_fd = go[0];
        s.collect_fd = collect[0];
        s.quit_fd = quit[0];
        s.enough_us = 10000;
        s.timed_iterations = n;
        s.worker_count = workers;
        s.sample_goal = goal;
        s.user_arg = &user_token;
        s.idle_iterations = 1;
        s.awaiting_first = phase == WarmUp ? 1 : 0;
        s.set_bytes = sample_set_bytes(goal);
        s.own_samples = set;
        sample_set_clear(set);
        select_sample_set(set);
        clock_begin(nullptr);  // an interval is under way
    }
    ~Harness() {
        for (int* p : {reply, go, collect, quit}) {
            close(p[0]);
            close(p[1]);
        }
    }
    // Ends the running interval after us microseconds.
    uint32_t interval(uint64_t us) {
        advance_fake_clock(us);
        return next_interval(&s);
    }
};

TEST(NextInterval, FirstCallSendsReadyAndStartsTheWarmUp) {
    Harness h(WarmUp, 500, 1, 11);
    EXPECT_EQ(next_interval(&h.s), 1u);
    EXPECT_EQ(h.s.awaiting_first, 0);
    EXPECT_EQ(h.s.phase, WarmUp);
    EXPECT_EQ(pending_bytes(h.reply[0]), 1) << "the ready byte";
    EXPECT_EQ(calls, (std::vector<std::pair<char, uint32_t>>{{'s', 1}}))
        << "no interval had ended, so no teardown";
    EXPECT_EQ(h.interval(50), 1u);
    EXPECT_EQ(pending_bytes(h.reply[0]), 0) << "ready is sent once";
}

TEST(NextInterval, GoByteStartsTimingWithTheGivenCount) {
    Harness h(WarmUp, 500, 1, 11);
    next_interval(&h.s);
    EXPECT_EQ(h.interval(3), 1u);
    ASSERT_EQ(write(h.go[1], "g", 1), 1);
    EXPECT_EQ(h.interval(3), 500u);
    EXPECT_EQ(h.s.phase, Timing);
    EXPECT_EQ(pending_bytes(h.go[0]), 0) << "the go byte was taken";
    EXPECT_EQ(h.set->count, 0) << "warm-up intervals are not recorded";
}

TEST(NextInterval, TeardownAndSetupFrameEveryInterval) {
    Harness h(Timing, 1000, 1, 11);
    calls.clear();
    EXPECT_EQ(h.interval(10000), 1000u);
    EXPECT_EQ(h.interval(10000), 1000u);
    EXPECT_EQ(calls, (std::vector<std::pair<char, uint32_t>>{
                         {'t', 1000}, {'s', 1000}, {'t', 1000}, {'s', 1000}}));
    EXPECT_FALSE(wrong_arg);
}

struct BandCase {
    uint64_t us;
    bool recorded;
    uint32_t next_count;
};

TEST(NextInterval, OneWorkerCountsAndAdaptsAroundTheEnoughInterval) {
    const BandCase cases[] = {
        {9400, false, 1171},  // 1 + 11000 * 1000 / 9400, not above 9500
        {9600, true, 1146},   // above 9500, below 9900: adapted
        {9900, true, 1000},   // the band is inclusive
        {10000, true, 1000},  // inside the band: the count stays
        {12000, true, 1000},  // inclusive at the top
        {12500, true, 881},   // 1 + 11000 * 1000 / 12500
    };
    for (const BandCase& c : cases) {
        Harness h(Timing, 1000, 1, 11);
        EXPECT_EQ(h.interval(c.us), c.next_count) << c.us;
        EXPECT_EQ(h.s.timed_iterations, c.next_count) << c.us;
        EXPECT_EQ(h.s.samples_taken, c.recorded ? 1 : 0) << c.us;
        ASSERT_EQ(h.set->count, c.recorded ? 1 : 0) << c.us;
        if (c.recorded) {
            EXPECT_EQ(h.set->samples[0].elapsed_us, c.us);
            EXPECT_EQ(h.set->samples[0].iterations, 1000u) << "the count the interval ran";
        }
        EXPECT_EQ(h.s.phase, Timing);
        EXPECT_EQ(pending_bytes(h.reply[0]), 0);
    }
}

TEST(NextInterval, ShortIntervalsGrowTheCountEightfoldUpToTheBound) {
    Harness h(Timing, 16777216, 1, 11);
    EXPECT_EQ(h.interval(100), 134217728u) << "at the bound, not above it";
    EXPECT_EQ(h.s.phase, Timing);
    EXPECT_EQ(pending_bytes(h.reply[0]), 0);
    EXPECT_EQ(h.interval(100), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.s.timed_iterations, 1073741824u) << "the grown count is kept";
    EXPECT_EQ(pending_bytes(h.reply[0]), 1) << "one done byte";
    EXPECT_EQ(h.set->count, 0);
}

TEST(NextInterval, GrowthAt150MicrosecondsStillMultiplies) {
    Harness h(Timing, 10, 1, 11);
    EXPECT_EQ(h.interval(150), 80u);
    EXPECT_EQ(h.interval(151), 1u + static_cast<uint32_t>(11000.0 * 80 / 151));
}

TEST(NextInterval, ProductBeyond32BitsCountsAsPastTheBound) {
    Harness h(Timing, 4000000000u, 1, 11);
    EXPECT_EQ(h.interval(100), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(pending_bytes(h.reply[0]), 1);
}

TEST(NextInterval, AdaptedCountSaturatesAt32Bits) {
    Harness h(Timing, 4000000000u, 1, 11);
    EXPECT_EQ(h.interval(200), 4294967295u);
}

TEST(NextInterval, LargestCountThatStillFallsShortIsRecorded) {
    // 4294967295 iterations in 5000 us, below 0.95 of the enough interval:
    // no larger count could stretch it, so the interval counts as it is.
    Harness h(Timing, 4294967295u, 1, 2);
    EXPECT_EQ(h.interval(5000), 4294967295u);
    EXPECT_EQ(h.s.samples_taken, 1);
    EXPECT_EQ(h.interval(5000), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.set->count, 2);
    EXPECT_EQ(pending_bytes(h.reply[0]), 1) << "one done byte";
}

TEST(NextInterval, SeveralWorkersRecordEveryIntervalAndKeepTheirCount) {
    Harness h(Timing, 777, 4, 3);
    EXPECT_EQ(h.interval(5), 777u);
    EXPECT_EQ(h.interval(2000000), 777u);
    EXPECT_EQ(h.s.samples_taken, 2);
    EXPECT_EQ(pending_bytes(h.reply[0]), 0);
    EXPECT_EQ(h.interval(40), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.s.timed_iterations, 777u);
    EXPECT_EQ(h.set->count, 3);
    EXPECT_EQ(pending_bytes(h.reply[0]), 1);
    EXPECT_EQ(h.interval(40), 1u) << "wind-down runs one iteration";
    EXPECT_EQ(h.set->count, 3);
    EXPECT_EQ(pending_bytes(h.reply[0]), 0) << "done is sent once";
}

TEST(NextInterval, ZeroLengthIntervalCountsButAddsNoSample) {
    Harness h(Timing, 50, 4, 2);
    h.interval(0);
    EXPECT_EQ(h.s.samples_taken, 1);
    EXPECT_EQ(h.set->count, 0);
    h.interval(7);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.set->count, 1);
}

TEST(NextInterval, ZeroGoalEndsTimingAtTheFirstCountedInterval) {
    Harness h(Timing, 1000, 1, 0);
    EXPECT_EQ(h.interval(500), 1u + static_cast<uint32_t>(11000.0 * 1000 / 500));
    EXPECT_EQ(h.s.phase, Timing) << "not counted: not above 0.95 of enough";
    EXPECT_EQ(h.interval(10000), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.set->count, 1);
}

TEST(NextInterval, ReachingTheGoalStillAdaptsTheCount) {
    Harness h(Timing, 1000, 1, 1);
    EXPECT_EQ(h.interval(12500), 1u);
    EXPECT_EQ(h.s.phase, WindDown);
    EXPECT_EQ(h.s.timed_iterations, 881u);
    EXPECT_EQ(pending_bytes(h.reply[0]), 1);
}

TEST(NextInterval, WindDownWaitsForTheCollectByte) {
    Harness h(WindDown, 1000, 1, 11);
    EXPECT_EQ(h.interval(3), 1u);
    EXPECT_EQ(h.interval(3), 1u);
    EXPECT_EQ(pending_bytes(h.reply[0]), 0);
}

// The collect byte: the image goes out whole, teardown(0) runs, and the worker
// exits once it has its quit byte (or the quit pipe is closed).
void expect_collected(bool quit_byte) {
    Harness h(WindDown, 1000, 1, 13);
    sample_set_add(3000, 10, h.set);
    sample_set_add(1000, 10, h.set);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(write(h.collect[1], "c", 1), 1);
    if (quit_byte) {
        ASSERT_EQ(write(h.quit[1], "q", 1), 1);
    } else {
        close(h.quit[1]);
        h.quit[1] = open("/dev/null", O_WRONLY);
    }
    const ChildOutcome o = run_in_child([&]() -> int {
        teardown_report_fd = report[1];
        next_interval(&h.s);
        return 50;  // must not be reached
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 0);
    close(report[1]);  // the child has ended: nothing blocks from here on
    std::vector<unsigned char> image(static_cast<size_t>(h.s.set_bytes) + 1);
    struct pollfd p = {h.reply[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1) << "the image is waiting";
    const ssize_t got = read(h.reply[0], image.data(), image.size());
    ASSERT_EQ(got, h.s.set_bytes);
    EXPECT_EQ(std::memcmp(image.data(), h.set, 8 + 2 * 16), 0);
    char t = 0;
    EXPECT_EQ(read(report[0], &t, 1), 1);
    EXPECT_EQ(t, 'T') << "teardown(0) ran";
    EXPECT_EQ(pending_bytes(h.collect[0]), 0);
    close(report[0]);
}

TEST(NextInterval, CollectByteSendsTheImageTearsDownAndExitsOnQuit) { expect_collected(true); }

TEST(NextInterval, ClosedQuitPipeLetsTheWorkerExit) { expect_collected(false); }

TEST(NextInterval, CurrentWorkerAccessorsReadTheProcessRecord) {
    WorkerState* s = current_worker_state();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(current_worker_index(), s->worker_index);
}

// worker_run in a forked child with the test as its parent.

int body_report_fd = -1;

// The first body call reports the SIGCHLD and SIGTERM dispositions the worker
// runs with ('D'efault, 'I'gnored, or 'H'andler of the worker's own), then
// ends the worker.
char disposition_letter(int signal_number) {
    struct sigaction a;
    sigaction(signal_number, nullptr, &a);
    if (a.sa_handler == SIG_DFL) return 'D';
    if (a.sa_handler == SIG_IGN) return 'I';
    return 'H';
}
void reporting_body(uint32_t, void*) {
    const char letters[3] = {'B', disposition_letter(SIGCHLD), disposition_letter(SIGTERM)};
    const ssize_t r = write(body_report_fd, letters, 3);
    _exit(r == 3 ? 0 : 1);
}

struct WorkerRun {
    int reply[2], go[2], collect[2], quit[2], report[2];
    WorkerRun() {
        ensure_calibrated();
        for (int* p : {reply, go, collect, quit, report}) pipe(p);
    }
    ~WorkerRun() {
        for (int* p : {reply, go, collect, quit, report}) {
            close(p[0]);
            if (p[1] >= 0) close(p[1]);
        }
    }
    // Runs worker_run in a child after prepare(); returns how it ended and
    // what the callbacks reported.
    template <typename Prepare>
    ChildOutcome run(int repetitions, Prepare prepare, std::string* reported) {
        const ChildOutcome o = run_in_child([&]() -> int {
            teardown_report_fd = report[1];
            body_report_fd = report[1];
            prepare();
            timing_internal::worker_run(log_setup, reporting_body, log_teardown, 0, reply[1], go[0],
                                        collect[0], quit[0], 10000, 1, 1, repetitions, &user_token);
            return 42;  // worker_run returned
        });
        close(report[1]);
        report[1] = -1;
        char buffer[16];
        const ssize_t n = read(report[0], buffer, sizeof buffer);
        reported->assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        return o;
    }
};

TEST(WorkerRun, WorkerRunsWithItsOwnHandlersWhenTheCallerHadNone) {
    WorkerRun w;
    std::string reported;
    const ChildOutcome o = w.run(
        11,
        [] {
            std::memset(&timing_internal::saved_chld_handler, 0, sizeof(struct sigaction));
            std::memset(&timing_internal::saved_term_handler, 0, sizeof(struct sigaction));
        },
        &reported);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(reported, "BHH");
    EXPECT_EQ(pending_bytes(w.reply[0]), 1) << "the ready byte";
}

TEST(WorkerRun, WorkerKeepsTheCallersDispositions) {
    WorkerRun w;
    std::string reported;
    w.run(
        11,
        [] {
            std::memset(&timing_internal::saved_chld_handler, 0, sizeof(struct sigaction));
            std::memset(&timing_internal::saved_term_handler, 0, sizeof(struct sigaction));
            timing_internal::saved_chld_handler.sa_handler = SIG_IGN;
            timing_internal::saved_term_handler.sa_handler = SIG_IGN;
        },
        &reported);
    EXPECT_EQ(reported, "BII");
}

TEST(WorkerRun, SigtermRecordedBeforeItsHandlerEndsTheWorkerThroughTeardown) {
    WorkerRun w;
    std::string reported;
    const ChildOutcome o = w.run(
        11,
        [] {
            std::memset(&timing_internal::saved_term_handler, 0, sizeof(struct sigaction));
            timing_internal::term_received = 1;
        },
        &reported);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(reported, "T") << "teardown(0), and no body call";
    EXPECT_EQ(pending_bytes(w.reply[0]), 0) << "no ready byte";
}

TEST(WorkerRun, ReturnsWhenItsSampleSetCannotBeAllocated) {
    WorkerRun w;
    std::string reported;
    const ChildOutcome o = w.run(
        200000000, [] {}, &reported);
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_code, 42);
    EXPECT_EQ(reported, "") << "no callback ran";
}

}  // namespace
