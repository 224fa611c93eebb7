// The worker's half of the benchmark driver: the loop that calls the body
// once per interval and the per-interval state machine between two calls.
//
// Phases only move forward: WarmUp (1 iteration per interval until the
// parent's go byte), Timing (the measured count, samples recorded), WindDown
// (1 iteration per interval until the parent's collect byte). A worker never
// returns from its loop; it exits when the parent lets it go, when the parent
// has gone, or from a signal handler.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "driver_internal.h"
#include "internal.h"
#include "lib_timing.h"
#include "run_conditions.h"

namespace timing_internal {

pid_t launching_pid = 0;

}  // namespace timing_internal

using namespace timing_internal;

namespace {

WorkerState the_worker;

// The process this worker reports to; when it is no longer our parent the
// parent has gone (re-parented to init or to a subreaper).
pid_t parent_pid = 0;

// The caller's own signal handlers (an interval timer started in setup, an
// inherited SIGWINCH handler) may interrupt any of these calls. Each is
// retried: an interrupted read has taken no byte, an interrupted write has
// sent none, and an interrupted poll has found nothing out.

void send_byte(int fd, unsigned char byte) {
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    // Other failures: a parent that has gone is noticed elsewhere.
}

void take_byte(int fd) {
    unsigned char byte;
    while (read(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    // End of file (the parent closed the pipe) returns at once.
}

// Zero-time-out readability test. A select that fails for another reason
// than a signal counts as not readable: the worker must not block in read on
// a byte that may never come.
bool readable_now(int fd) {
    for (;;) {
        fd_set read_set;
        FD_ZERO(&read_set);
        FD_SET(fd, &read_set);
        struct timeval no_wait = {0, 0};
        const int r = select(fd + 1, &read_set, nullptr, nullptr, &no_wait);
        if (r >= 0) return r > 0 && FD_ISSET(fd, &read_set);
        if (errno != EINTR) return false;
    }
}

// The whole image in one write; a partial or interrupted write (a signal
// mid-way through a large image) is continued so the parent's byte count
// stays right.
void send_image(int fd, const void* data, size_t bytes) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        const ssize_t r = write(fd, p, bytes);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        p += r;
        bytes -= static_cast<size_t>(r);
    }
}

// Before a teardown call: unless the caller had a SIGCHLD disposition of its
// own, children the callbacks start no longer end the worker.
void release_sigchld() {
    if (is_default(saved_chld_handler)) install_handler(SIGCHLD, SIG_DFL, nullptr);
}

// teardown(0) runs once per worker: a SIGTERM that comes after the worker
// has sent its image and torn down (the parent abandoning a later worker's
// collection) must not tear the caller's resources down twice.
volatile sig_atomic_t torn_down = 0;

void final_teardown(const WorkerState* state) {
    if (state->teardown_fn == nullptr || torn_down) return;
    torn_down = 1;
    release_sigchld();
    state->teardown_fn(0, state->user_arg);
}

// Without a launching driver (worker_run called directly) only re-parenting
// to init shows the parent has gone.
bool parent_gone() {
    const pid_t p = getppid();
    return parent_pid != 0 ? p != parent_pid : p == 1;
}

// Set once the worker's own exit() has begun, its final teardown done. A
// handler that ends the worker then calls _exit: exit() inside exit() waits
// forever for the lock the outer call holds, and the parent's reaping alarm
// sends SIGTERM just when exit() is slow (under an emulator, with a caller's
// fast interval timer, with long atexit handlers).
volatile sig_atomic_t exiting = 0;

[[noreturn]] void exit_worker() {
    exiting = 1;
    exit(0);
}

void worker_on_sigchld(int) {
    if (exiting) _exit(1);
    if (the_worker.teardown_fn != nullptr && !torn_down) {
        torn_down = 1;
        install_handler(SIGCHLD, SIG_DFL, nullptr);
        the_worker.teardown_fn(0, the_worker.user_arg);
    }
    exit(1);
}

void worker_on_sigterm(int) {
    if (exiting) _exit(0);
    install_handler(SIGTERM, SIG_IGN, nullptr);
    if (the_worker.teardown_fn != nullptr && !torn_down) {
        torn_down = 1;
        // Leave a SIGCHLD disposition the caller chose in place for teardown.
        struct sigaction replaced;
        install_handler(SIGCHLD, SIG_DFL, &replaced);
        const bool ours =
            !(replaced.sa_flags & SA_SIGINFO) && replaced.sa_handler == worker_on_sigchld;
        if (!ours && !is_default(replaced)) restore_handler(SIGCHLD, replaced);
        the_worker.teardown_fn(0, the_worker.user_arg);
    }
    exit(0);
}

}  // namespace

namespace timing_internal {

uint32_t next_interval(WorkerState* state) {
    uint32_t n = state->phase == Timing ? state->timed_iterations : state->idle_iterations;
    double d = 0.0;  // corrected time of the interval that just ended

    if (state->awaiting_first == 0) {
        const double e = static_cast<double>(clock_end(nullptr, nullptr));
        conditions_counters_off();
        if (state->teardown_fn != nullptr) {
            release_sigchld();
            state->teardown_fn(n, state->user_arg);
        }
        clock_set_iterations(state->timed_iterations);
        d = e - (static_cast<double>(timer_overhead_us()) +
                 static_cast<double>(state->timed_iterations) * iteration_overhead_us());
        clock_store_elapsed(d < 0 ? 0 : saturate_u64(d));
    }

    if (state->teardown_fn != nullptr && parent_gone()) {
        final_teardown(state);
        exit_worker();
    }

    const double enough = static_cast<double>(state->enough_us);
    switch (state->phase) {
        case WarmUp:
            n = state->idle_iterations;
            if (state->awaiting_first == 1) {
                // The parent sends go only once every worker is ready: no go
                // byte can be there before ours is out, so this call only
                // sends it.
                state->awaiting_first = 0;
                send_byte(state->reply_fd, READY_BYTE);
            } else if (readable_now(state->go_fd)) {
                state->phase = Timing;
                take_byte(state->go_fd);
                conditions_worker_starts(state->worker_index);
                n = state->timed_iterations;
            }
            break;

        case Timing: {
            n = state->timed_iterations;
            // No count is larger than 4294967295: an interval that still
            // falls short counts as it is, or timing would never end.
            const bool at_largest_count = n == UINT32_MAX && d > ADAPT_SHORT_US;
            if (state->worker_count > 1 || d > ADAPT_DONE_SHARE * enough || at_largest_count) {
                sample_set_add_nonzero(clock_elapsed_us(), clock_iterations(),
                                       current_sample_set());
                state->samples_taken += 1;
                if (state->samples_taken >= state->sample_goal) state->phase = WindDown;
            }
            if (state->worker_count == 1) {
                // The rule calibration shares (next_count), with the bound on
                // the grown count; internal.h names where the two differ.
                const uint64_t grown_limit =
                    d < 0 ? WORKER_GROWN_LIMIT_NEGATIVE : WORKER_GROWN_LIMIT;
                const auto growth_bound = static_cast<uint32_t>(grown_limit / ADAPT_GROWTH);
                const CountStep step = next_count(n, d, enough, growth_bound);
                if (step.change == CountChange::GiveUp) {
                    // The body takes no measurable time: give up timing.
                    state->timed_iterations =
                        step.count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(step.count);
                    state->phase = WindDown;
                    conditions_worker_ends(state->worker_index);
                    send_byte(state->reply_fd, DONE_BYTE);
                    n = state->idle_iterations;
                    break;
                }
                n = static_cast<uint32_t>(step.count);
            }
            state->timed_iterations = n;
            if (state->phase == WindDown) {
                conditions_worker_ends(state->worker_index);
                send_byte(state->reply_fd, DONE_BYTE);
                n = state->idle_iterations;
            }
            break;
        }

        case WindDown:
            n = state->idle_iterations;
            if (readable_now(state->collect_fd)) {
                take_byte(state->collect_fd);
                send_image(state->reply_fd, current_sample_set(),
                           static_cast<size_t>(state->set_bytes));
                final_teardown(state);
                take_byte(state->quit_fd);  // blocks until quit or the parent closes
                exit_worker();
            }
            break;
    }

    if (state->setup_fn != nullptr) state->setup_fn(n, state->user_arg);
    if (state->phase == Timing) conditions_counters_on(n);
    clock_begin(nullptr);
    return n;
}

void worker_run(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int worker_index, int reply_fd, int go_fd, int collect_fd, int quit_fd, int enough,
                unsigned iterations, int worker_count, int repetitions, void* user_arg) {
    parent_pid = launching_pid;
    launching_pid = 0;
    torn_down = 0;

    WorkerState& s = the_worker;
    s.phase = WarmUp;
    s.setup_fn = setup;
    s.body_fn = body;
    s.teardown_fn = teardown;
    s.worker_index = worker_index;
    s.reply_fd = reply_fd;
    s.go_fd = go_fd;
    s.collect_fd = collect_fd;
    s.quit_fd = quit_fd;
    s.enough_us = enough;
    s.timed_iterations = iterations;
    s.worker_count = worker_count;
    s.sample_goal = repetitions;
    s.user_arg = user_arg;
    s.idle_iterations = 1;
    s.awaiting_first = 1;
    s.samples_taken = 0;

    const int64_t bytes = set_image_bytes(repetitions);
    s.set_bytes = static_cast<int32_t>(bytes);
    s.own_samples =
        bytes < 0 ? nullptr : static_cast<SampleSet*>(malloc(static_cast<size_t>(bytes)));
    if (s.own_samples == nullptr) return;

    sample_set_clear(s.own_samples);
    select_sample_set(s.own_samples);

    if (is_default(saved_chld_handler)) {
        install_handler(SIGCHLD, worker_on_sigchld, nullptr);
    } else {
        restore_handler(SIGCHLD, saved_chld_handler);
    }
    if (s.setup_fn != nullptr) s.setup_fn(0, s.user_arg);
    if (is_default(saved_term_handler)) {
        install_handler(SIGTERM, worker_on_sigterm, nullptr);
    } else {
        restore_handler(SIGTERM, saved_term_handler);
    }
    // A SIGTERM that reached this process while it still had the parent's
    // handler was only recorded; act on it now.
    if (term_received) worker_on_sigterm(SIGTERM);

    sample_set_clear(s.own_samples);
    for (;;) {
        const uint32_t n = next_interval(&s);
        s.body_fn(n, s.user_arg);
    }
}

}  // namespace timing_internal

extern "C" {

int current_worker_index(void) { return the_worker.worker_index; }

WorkerState* current_worker_state(void) { return &the_worker; }

}  // extern "C"
