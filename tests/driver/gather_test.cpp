// The parent's half of the protocol against workers written out by hand:
// two forked processes that send exactly the bytes a worker sends and check
// that the parent answers only when it should.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "child_process.h"
#include "driver_fixtures.h"
#include "driver_internal.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

using timing_internal::gather_results;

namespace {

constexpr int REPETITIONS = 2;

struct Pipes {
    int reply[2], go[2], collect[2], quit[2], baton[2];
};

bool readable_within(int fd, int ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, scaled_ms(ms)) == 1;
}

void pause_ms(int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, nullptr);
}

// Worker A sends each of its bytes first and checks that the parent waits
// for worker B's before it answers; B goes when A passes it the baton.
int hand_written_worker(const Pipes& p, bool first, const Sample* samples, int count) {
    close(p.reply[0]);
    close(p.go[1]);
    close(p.collect[1]);
    close(p.quit[1]);
    char b = 0;
    const int steps[2] = {p.go[0], p.collect[0]};  // answered by go, then by collect
    for (int answer : steps) {
        if (first) {
            if (write(p.reply[1], "r", 1) != 1) return 10;
            pause_ms(150);
            if (readable_within(answer, 0)) return 11;  // answered before B spoke
            if (write(p.baton[1], "b", 1) != 1) return 12;
        } else {
            if (!readable_within(p.baton[0], 10000) || read(p.baton[0], &b, 1) != 1) return 13;
            if (write(p.reply[1], "r", 1) != 1) return 14;
        }
        if (answer == p.go[0]) {
            if (!readable_within(p.go[0], 10000) || read(p.go[0], &b, 1) != 1) return 15;
        }
    }
    // Collection: whoever polls first takes a collect byte.
    if (!readable_within(p.collect[0], 10000) || read(p.collect[0], &b, 1) != 1) return 16;
    alignas(8) unsigned char image[8 + 16 * 11];
    std::memset(image, 0, sizeof image);
    SampleSet* set = reinterpret_cast<SampleSet*>(image);
    set->count = count;
    for (int i = 0; i < count; ++i) set->samples[i] = samples[i];
    const int bytes = sample_set_bytes(REPETITIONS);
    if (write(p.reply[1], image, bytes) != bytes) return 17;
    if (!readable_within(p.quit[0], 10000) || read(p.quit[0], &b, 1) != 1) return 18;
    return 0;
}

TEST(GatherResults, AnswersOnlyWhenAllWorkersHaveSpokenAndMergesNonZeroSamples) {
    ensure_calibrated();
    const int descriptors = open_descriptor_count();
    Pipes p;
    for (int* fds : {p.reply, p.go, p.collect, p.quit, p.baton}) ASSERT_EQ(pipe(fds), 0);
    const Sample a_samples[2] = {{0, 5}, {300, 10}};  // slowest first; 0 us is no sample
    const Sample b_samples[1] = {{100, 10}};
    pid_t pids[2];
    std::fflush(nullptr);
    pids[0] = fork();
    if (pids[0] == 0) _exit(hand_written_worker(p, true, a_samples, 2));
    pids[1] = fork();
    if (pids[1] == 0) _exit(hand_written_worker(p, false, b_samples, 1));
    close(p.reply[1]);
    close(p.go[0]);
    close(p.collect[0]);
    close(p.quit[0]);
    close(p.baton[0]);
    close(p.baton[1]);

    gather_results(p.reply[0], p.go[1], p.collect[1], p.quit[1], pids, 2, 0, REPETITIONS);

    for (pid_t pid : pids) {
        const ChildOutcome o = wait_bounded(pid, 20000);
        EXPECT_TRUE(o.exited);
        EXPECT_EQ(o.exit_code, 0) << "protocol step failed in worker " << pid;
    }
    ASSERT_EQ(current_sample_set()->count, 2);
    EXPECT_EQ(clock_elapsed_us(), 200u) << "median of 300/10 and 100/10";
    EXPECT_EQ(clock_iterations(), 10u);
    EXPECT_EQ(open_descriptor_count(), descriptors) << "the gathering closes its four ends";
}

TEST(GatherResults, WorkerThatNeverAnswersIsStoppedWhenTheReplyPipeCloses) {
    ensure_calibrated();
    const int descriptors = open_descriptor_count();
    Pipes p;
    for (int* fds : {p.reply, p.go, p.collect, p.quit}) ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Sends its ready byte, then closes its reply end and idles.
        if (write(p.reply[1], "r", 1) != 1) _exit(1);
        close(p.reply[1]);
        pause_ms(scaled_ms(30000));
        _exit(2);
    }
    close(p.reply[1]);
    close(p.go[0]);
    close(p.collect[0]);
    close(p.quit[0]);
    clock_store_elapsed(0);
    clock_set_iterations(1);
    const double start = monotonic_seconds();
    gather_results(p.reply[0], p.go[1], p.collect[1], p.quit[1], &pid, 1, 0, REPETITIONS);
    EXPECT_LT(monotonic_seconds() - start, scaled_seconds(10.0));
    EXPECT_TRUE(no_children_left()) << "abandonment sends SIGTERM and waits";
    EXPECT_EQ(clock_elapsed_us(), 0u);
    EXPECT_EQ(clock_iterations(), 1u);
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST(ReapChildAndRearm, ReapsEndedChildrenAndStaysInstalled) {
    struct sigaction old;
    struct sigaction mine;
    std::memset(&mine, 0, sizeof mine);
    mine.sa_handler = reap_child_and_rearm;
    mine.sa_flags = SA_RESETHAND;  // only its own re-installing keeps it
    sigemptyset(&mine.sa_mask);
    sigaction(SIGCHLD, &mine, &old);
    for (int i = 0; i < 2; ++i) {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        ASSERT_GT(pid, 0);
        // The handler reaps it: wait until no child is left, looking
        // without reaping anything ourselves.
        bool gone = false;
        const double end = monotonic_seconds() + scaled_seconds(10.0);
        while (!gone && monotonic_seconds() < end) {
            siginfo_t info;
            std::memset(&info, 0, sizeof info);
            gone = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
            if (!gone) pause_ms(1);
        }
        EXPECT_TRUE(gone) << "child " << i << " was reaped by the handler";
        EXPECT_EQ(disposition_of(SIGCHLD).sa_handler, reap_child_and_rearm);
    }
    sigaction(SIGCHLD, &old, nullptr);
}

}  // namespace
