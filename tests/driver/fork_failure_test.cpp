// driver_run when launching fails: fork fails, SIGTERM arrives while it
// forks, or a gathering buffer cannot be allocated. This executable's own
// fork() stands in for the C library's (the statically linked timing library
// calls it too): it passes calls through, except that it can fail one chosen
// call or raise SIGTERM in the parent right after one.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include "child_process.h"
#include "driver_fixtures.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

int fork_calls = 0;
int fail_call = 0;  // 1-based number of the call that fails; 0: none
int term_call = 0;  // the call after which the parent gets SIGTERM; 0: none

void arm_fork(int fail_at, int term_at) {
    fork_calls = 0;
    fail_call = fail_at;
    term_call = term_at;
}

// The gathering's allocator: fails its n-th call.
int allocations = 0;
int fail_allocation = 0;
void* allocator_failing_once(size_t bytes) {
    return ++allocations == fail_allocation ? nullptr : malloc(bytes);
}

}  // namespace

extern "C" pid_t fork(void) noexcept {
    using ForkFn = pid_t (*)(void);
    static ForkFn real_fork = reinterpret_cast<ForkFn>(dlsym(RTLD_NEXT, "fork"));
    const int call = ++fork_calls;
    if (call == fail_call) {
        errno = EAGAIN;
        return -1;
    }
    const pid_t pid = real_fork();
    if (pid > 0 && call == term_call) kill(getpid(), SIGTERM);
    return pid;
}

namespace {

class ForkFailure : public ::testing::Test {
   protected:
    void SetUp() override {
        ensure_calibrated();
        scenario = fresh_scenario();
        ASSERT_NE(scenario, nullptr);
        descriptors_before = open_descriptor_count();
        term_before = disposition_of(SIGTERM);
    }
    void TearDown() override {
        arm_fork(0, 0);
        EXPECT_EQ(open_descriptor_count(), descriptors_before) << "a descriptor leaked";
        EXPECT_TRUE(no_children_left());
        EXPECT_TRUE(same_disposition(disposition_of(SIGTERM), term_before));
        EXPECT_EQ(disposition_of(SIGCHLD).sa_handler, SIG_DFL);
        EXPECT_EQ(clock_elapsed_us(), 0u);
        EXPECT_EQ(clock_iterations(), 1u);
    }
    void run(int parallel) {
        clock_store_elapsed(1234);  // a failed run must reset it
        driver_run(test_setup, test_body, test_teardown, 10000, parallel, 0, 2, scenario);
    }
    Scenario* scenario = nullptr;
    int descriptors_before = 0;
    struct sigaction term_before;
};

TEST_F(ForkFailure, FailedFirstForkReturnsWithoutWorkers) {
    arm_fork(1, 0);
    run(1);
    EXPECT_EQ(fork_calls, 1);
    EXPECT_TRUE(logged_processes().empty());
}

TEST_F(ForkFailure, FailedPreRunSkipsTheParallelRun) {
    arm_fork(1, 0);
    run(3);
    EXPECT_EQ(fork_calls, 1) << "nothing is forked after a pre-run that produced nothing";
}

TEST_F(ForkFailure, WorkersAlreadyStartedAreEndedWhenAForkFails) {
    arm_fork(4, 0);  // the pre-run's fork, then workers 0 and 1, then the failure
    run(3);
    EXPECT_EQ(fork_calls, 4);
    const auto started = workers_of_width(3);
    ASSERT_EQ(started.size(), 2u);
    for (const ProcessLog& w : started) {
        EXPECT_EQ(count_calls(w, SETUP, 0), 1);
        EXPECT_EQ(count_calls(w, TEARDOWN, 0), 1) << "ended by SIGTERM through teardown(0)";
        EXPECT_TRUE(all_args_ok({w}));
    }
}

TEST_F(ForkFailure, SigtermWhileForkingEndsTheWorkersForkedSoFar) {
    arm_fork(0, 3);  // SIGTERM right after forking worker 1 of 3
    run(3);
    EXPECT_EQ(fork_calls, 3) << "worker 2 is never forked";
    const auto started = workers_of_width(3);
    ASSERT_EQ(started.size(), 2u);
    for (const ProcessLog& w : started) EXPECT_EQ(count_calls(w, TEARDOWN, 0), 1);
}

TEST_F(ForkFailure, SigtermAfterTheLastForkAbandonsAtTheGathering) {
    arm_fork(0, 4);  // right after the last worker
    run(3);
    EXPECT_EQ(fork_calls, 4);
    const auto started = workers_of_width(3);
    ASSERT_EQ(started.size(), 3u);
    for (const ProcessLog& w : started) EXPECT_EQ(count_calls(w, TEARDOWN, 0), 1);
}

TEST_F(ForkFailure, GatheringBufferNotAllocatedEndsEveryWorkerThroughTeardown) {
    // The pre-run's gathering allocates its receive buffer, merged set and
    // byte buffer; the parallel run's merged set then fails.
    timing_internal::set_gather_allocator(allocator_failing_once);
    allocations = 0;
    fail_allocation = 5;
    const double start = monotonic_seconds();
    run(3);
    timing_internal::set_gather_allocator(nullptr);
    // Unscaled: the reaping alarm would take its real 5 s.
    EXPECT_LT(monotonic_seconds() - start, 4.0) << "stopped at once, not by the reaping alarm";
    const auto workers = workers_of_width(3);
    ASSERT_EQ(workers.size(), 3u);
    for (const ProcessLog& w : workers) EXPECT_EQ(count_calls(w, TEARDOWN, 0), 1);
}

TEST_F(ForkFailure, ARunAfterAFailedOneSucceeds) {
    arm_fork(1, 0);
    run(1);
    EXPECT_EQ(clock_iterations(), 1u);
    arm_fork(0, 0);
    driver_run(test_setup, test_body, test_teardown, 10000, 1, 0, 2, scenario);
    EXPECT_EQ(current_sample_set()->count, 2);
    clock_store_elapsed(0);  // for the fixture's failed-run check
    clock_set_iterations(1);
}

}  // namespace
