// The parent's half of the benchmark driver: creating the pipes, forking the
// workers, stepping them through ready / go / done / collect / quit, merging
// their samples, and reaping them under an alarm.
//
// Every pipe end, the pid table and the gathering buffers are released on
// every path. While it gathers, the parent ignores SIGPIPE, so that a worker
// gone before the go or collect byte makes the write fail and the run be
// abandoned instead of killing the caller.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver_internal.h"
#include "internal.h"
#include "lib_timing.h"
#include "run_conditions.h"

namespace timing_internal {

struct sigaction saved_term_handler;
struct sigaction saved_chld_handler;
volatile sig_atomic_t term_received = 0;

void install_handler(int signal_number, void (*handler)(int), struct sigaction* previous) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal_number, &action, previous);
}

void restore_handler(int signal_number, const struct sigaction& saved) {
    sigaction(signal_number, &saved, nullptr);
}

bool is_default(const struct sigaction& disposition) {
    return !(disposition.sa_flags & SA_SIGINFO) && disposition.sa_handler == SIG_DFL;
}

namespace {
void* default_allocator(size_t bytes) { return malloc(bytes); }
GatherAllocator gather_allocator = default_allocator;
}  // namespace

void set_gather_allocator(GatherAllocator allocator) {
    gather_allocator = allocator != nullptr ? allocator : default_allocator;
}

int64_t set_image_bytes(int64_t n) {
    if (n <= SAMPLE_SET_MIN_CAPACITY) return sample_set_bytes(0);
    return n > INT_MAX ? -1 : sample_set_bytes(static_cast<int>(n));
}

}  // namespace timing_internal

using namespace timing_internal;

namespace {

constexpr int ONE_SECOND_US = 1000000;
constexpr int LONG_ENOUGH_US = 1000000;  // from here on one sample by default
constexpr int DEFAULT_REPETITIONS = 11;
constexpr int REAP_DIVISOR_US = 500000;
constexpr int REAP_MIN_SECONDS = 5;
constexpr int REPLY_WAIT_SECONDS = 1;

volatile sig_atomic_t child_exited = 0;
volatile pid_t reap_pid = 0;
volatile sig_atomic_t reap_seconds = 0;

void parent_on_sigterm(int) { term_received = 1; }

void parent_on_sigchld(int) {
    const int saved_errno = errno;
    install_handler(SIGCHLD, SIG_DFL, nullptr);
    child_exited = 1;
    errno = saved_errno;
}

void reap_on_alarm(int) {
    const int saved_errno = errno;
    install_handler(SIGALRM, SIG_IGN, nullptr);
    if (reap_pid > 0) kill(reap_pid, SIGTERM);
    reap_seconds = 1;
    errno = saved_errno;
}

void default_sigchld() { install_handler(SIGCHLD, SIG_DFL, nullptr); }

void reset_clock() {
    clock_store_elapsed(0);
    clock_set_iterations(1);
}

void close_all(const int* fds, int count) {
    for (int i = 0; i < count; ++i) {
        if (fds[i] >= 0) close(fds[i]);
    }
}

void wait_for(pid_t pid) {
    if (pid <= 0) return;  // never a process group or every process
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void stop_worker(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    wait_for(pid);
}

// Writes all of bytes; false when the pipe fails (no reader left).
bool write_all(int fd, const unsigned char* data, size_t bytes) {
    while (bytes > 0) {
        const ssize_t r = write(fd, data, bytes);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += r;
        bytes -= static_cast<size_t>(r);
    }
    return true;
}

bool ending() { return term_received || child_exited; }

// Reads wanted bytes from the reply pipe in one-second select passes. False
// means abandon: a flag set by a handler, a failed or exceptional wait, a
// failed read, or end of file (no worker is left to write). A wait or read
// interrupted by one of the caller's own signals (an interval timer, a
// terminal's SIGWINCH) is only retried; the flags are read after every wake.
bool reply_wait(int fd, unsigned char* into, size_t wanted) {
    size_t got = 0;
    while (wanted > got) {
        fd_set read_set;
        fd_set error_set;
        FD_ZERO(&read_set);
        FD_ZERO(&error_set);
        FD_SET(fd, &read_set);
        FD_SET(fd, &error_set);
        struct timeval t = {REPLY_WAIT_SECONDS, 0};
        const int r = select(fd + 1, &read_set, nullptr, &error_set, &t);
        if (ending()) return false;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;  // failed: the sets are as built
        if (r == 0) {
            conditions_run_goes_on();
            continue;
        }
        if (FD_ISSET(fd, &error_set)) return false;
        if (FD_ISSET(fd, &read_set)) {
            const ssize_t n = read(fd, into + got, wanted - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
    }
    return true;
}

// Sleeps the warm-up out in full, in select passes of at most a second: a
// signal of the caller's only ends one pass early. A flag set by a handler
// ends the sleep within a second.
void sleep_us(int us) {
    const int64_t end = monotonic_us() + us;
    for (int64_t left = us; left > 0 && !ending(); left = end - monotonic_us()) {
        const int64_t pass = left < ONE_SECOND_US ? left : ONE_SECOND_US;
        struct timeval t = {static_cast<time_t>(pass / ONE_SECOND_US),
                            static_cast<suseconds_t>(pass % ONE_SECOND_US)};
        select(0, nullptr, nullptr, nullptr, &t);
    }
}

// The caller's ITIMER_REAL timer and SIGALRM disposition, set aside while
// the reaping alarm needs both: alarm() would cancel the caller's timer, and
// the caller's expiries would run reap_on_alarm.
struct CallerAlarm {
    struct itimerval timer;
    struct sigaction action;
    int64_t set_aside_us;
};

CallerAlarm set_caller_alarm_aside() {
    CallerAlarm c;
    const struct itimerval stopped = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &stopped, &c.timer);
    sigaction(SIGALRM, nullptr, &c.action);
    c.set_aside_us = monotonic_us();
    return c;
}

int64_t to_us(const struct timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * ONE_SECOND_US + t.tv_usec;
}

// The caller's timer goes on as if it had run through the reaping: what was
// left of it is shortened by the time the reaping took. One that fell due
// meanwhile expires at once (its missed expiries count as one, as a pending
// signal would), and a periodic timer keeps its interval.
void put_caller_alarm_back(const CallerAlarm& c) {
    sigaction(SIGALRM, &c.action, nullptr);
    const int64_t interval = to_us(c.timer.it_interval);
    int64_t left = to_us(c.timer.it_value);
    // A periodic timer whose expiry was still pending reads 0 left: its
    // signal came as it was set aside, and it was due again one interval on.
    if (left == 0) left = interval;
    if (left == 0) return;  // the caller had no timer running
    left -= monotonic_us() - c.set_aside_us;
    if (left < 1) left = 1;
    struct itimerval timer = c.timer;
    timer.it_value.tv_sec = static_cast<time_t>(left / ONE_SECOND_US);
    timer.it_value.tv_usec = static_cast<suseconds_t>(left % ONE_SECOND_US);
    setitimer(ITIMER_REAL, &timer, nullptr);
}

// The settings of the run being launched, for the reports that describe its
// merged set.
DriverRunSettings launching_run = {0, 0, 0, 0};

// Makes merged current, publishing its median. The set then belongs to the
// caller: the driver never frees it, so a pointer the caller kept from an
// earlier run stays valid.
void publish_merged(SampleSet* merged) {
    select_sample_set(merged);
    note_driver_set(merged, launching_run);
}

// One gathering: the pipe ends the parent keeps, the workers and the buffers.
// Whichever phase it reaches, finish() is its one way out.
struct Gathering {
    int reply_fd;  // read end
    int go_fd;     // write ends
    int collect_fd;
    int quit_fd;
    const pid_t* pids;
    int parallel;    // the pid table's length when positive
    size_t workers;  // parallel, or 0 when it is not positive
    int warmup;
    int repetitions;
    int64_t image_bytes;     // one worker's set image
    int64_t merged_room;     // samples the merged set has room for
    unsigned char* receive;  // one image at a time
    SampleSet* merged;
    unsigned char* bytes;  // the ready and done bytes in, the go and quit bytes out
};

bool allocate_buffers(Gathering& g) {
    g.image_bytes = set_image_bytes(g.repetitions);
    // Each worker keeps at most max(repetitions, 1) samples.
    const int64_t per_worker = g.repetitions > 1 ? g.repetitions : 1;
    const int64_t merged_bytes = set_image_bytes(static_cast<int64_t>(g.workers) * per_worker);
    g.merged_room = sample_set_room(merged_bytes);
    if (g.image_bytes >= 0) {
        g.receive = static_cast<unsigned char*>(gather_allocator(g.image_bytes));
    }
    if (merged_bytes >= 0) g.merged = static_cast<SampleSet*>(gather_allocator(merged_bytes));
    g.bytes = static_cast<unsigned char*>(gather_allocator(g.workers > 0 ? g.workers : 1));
    return g.receive != nullptr && g.merged != nullptr && g.bytes != nullptr;
}

bool ready(Gathering& g) { return reply_wait(g.reply_fd, g.bytes, g.workers); }

// A worker that ends, or a SIGTERM that comes, before or during a long
// warm-up abandons the run at once rather than after it. Without workers
// the warm-up is only slept, and the empty merged set is published.
bool warm_up_and_go(Gathering& g) {
    if (g.warmup > 0) sleep_us(g.warmup);
    conditions_run_starts();
    if (g.workers == 0) return true;
    std::memset(g.bytes, GO_BYTE, g.workers);
    return !ending() && write_all(g.go_fd, g.bytes, g.workers);
}

bool done(Gathering& g) {
    if (!reply_wait(g.reply_fd, g.bytes, g.workers)) return false;
    conditions_run_ends();
    return true;
}

// One collect byte at a time: the next goes out only once the previous image
// is whole, so images never interleave on the reply pipe.
bool collect(Gathering& g) {
    const int64_t image_room = sample_set_room(g.image_bytes);
    sample_set_clear(g.merged);
    for (size_t w = 0; w < g.workers; ++w) {
        const unsigned char collect_byte = COLLECT_BYTE;
        if (!write_all(g.collect_fd, &collect_byte, 1) ||
            !reply_wait(g.reply_fd, g.receive, static_cast<size_t>(g.image_bytes))) {
            return false;
        }
        const SampleSet* image = reinterpret_cast<const SampleSet*>(g.receive);
        const int64_t samples = image->count < image_room ? image->count : image_room;
        for (int64_t j = 0; j < samples && g.merged->count < g.merged_room; ++j) {
            sample_set_add_nonzero(image->samples[j].elapsed_us, image->samples[j].iterations,
                                   g.merged);
        }
    }
    return true;
}

// SIGCHLD goes back to default before the workers are let go, so that their
// exits no longer count as a worker ending early.
bool quit(Gathering& g) {
    default_sigchld();
    std::memset(g.bytes, QUIT_BYTE, g.workers);
    return write_all(g.quit_fd, g.bytes, g.workers);
}

// The one way out. A completed gathering publishes its merged set; any other
// stops every worker and frees it (nothing is published, so the clock keeps
// the failed run's 0 us over 1 iteration). The workers are stopped (SIGTERM,
// so each runs its teardown(0)) before the pipes close: one that found them
// closed would run on into SIGPIPE without tearing down.
void finish(Gathering& g, bool completed) {
    default_sigchld();
    if (completed) {
        publish_merged(g.merged);
    } else {
        for (int i = 0; i < g.parallel; ++i) stop_worker(g.pids[i]);
        free(g.merged);
    }
    const int ends[4] = {g.reply_fd, g.go_fd, g.collect_fd, g.quit_fd};
    close_all(ends, 4);
    free(g.receive);
    free(g.bytes);
}

}  // namespace

namespace timing_internal {

// The phases in the order of the protocol table (driver_internal.h); the
// first that fails abandons the run.
void gather_results(int reply_fd, int go_fd, int collect_fd, int quit_fd, const pid_t* pids,
                    int parallel, int warmup, int repetitions) {
    Gathering g{};  // no buffers yet
    g.reply_fd = reply_fd;
    g.go_fd = go_fd;
    g.collect_fd = collect_fd;
    g.quit_fd = quit_fd;
    g.pids = pids;
    g.parallel = parallel;
    g.workers = parallel > 0 ? static_cast<size_t>(parallel) : 0;
    g.warmup = warmup;
    g.repetitions = repetitions;
    const bool completed = !ending() && allocate_buffers(g) && ready(g) && warm_up_and_go(g) &&
                           done(g) && collect(g) && quit(g);
    finish(g, completed);
}

}  // namespace timing_internal

namespace {

// The caller's SIGTERM disposition back in place. A SIGTERM that came during
// the run was only deferred while the run was torn down: a handler of the
// caller's gets it now. With the default disposition the caller learns of it
// from the failed run alone.
void put_sigterm_back() {
    restore_handler(SIGTERM, saved_term_handler);
    if (term_received && !is_default(saved_term_handler)) raise(SIGTERM);
}

// driver_run calls itself for the pre-run: its depth tells the pre-run from
// the run, and the outer call alone starts a new record of conditions.
int driver_depth = 0;

struct DriverDepth {
    DriverDepth() {
        if (++driver_depth == 1) conditions_new_driver_run();
    }
    ~DriverDepth() { --driver_depth; }
    DriverDepth(const DriverDepth&) = delete;
    DriverDepth& operator=(const DriverDepth&) = delete;
};

// Creates the pipes, forks the workers, gathers their results and reaps them.
void launch_workers(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                    int enough, int parallel, int warmup, int repetitions, void* user_arg,
                    uint32_t iterations) {
    // reply, go, collect, quit; [k][0] read end, [k][1] write end
    int pipes[4][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    for (int k = 0; k < 4; ++k) {
        // select cannot wait on descriptors from FD_SETSIZE up.
        if (pipe2(pipes[k], O_CLOEXEC) < 0 || pipes[k][0] >= FD_SETSIZE ||
            pipes[k][1] >= FD_SETSIZE) {
            close_all(&pipes[0][0], 8);  // the ends not created are -1
            return;
        }
    }
    int* all_ends = &pipes[0][0];
    const int reply_read = pipes[0][0], reply_write = pipes[0][1];
    const int go_read = pipes[1][0], go_write = pipes[1][1];
    const int collect_read = pipes[2][0], collect_write = pipes[2][1];
    const int quit_read = pipes[3][0], quit_write = pipes[3][1];

    term_received = 0;
    child_exited = 0;
    install_handler(SIGTERM, parent_on_sigterm, &saved_term_handler);
    install_handler(SIGCHLD, parent_on_sigchld, &saved_chld_handler);

    pid_t* pids = static_cast<pid_t*>(calloc(parallel > 0 ? parallel : 1, sizeof(pid_t)));
    if (pids == nullptr) {
        close_all(all_ends, 8);
        default_sigchld();
        put_sigterm_back();
        return;
    }

    conditions_prepare(parallel, driver_depth > 1);
    // Workers leave with exit(), which would flush a copy of anything still
    // buffered here.
    fflush(nullptr);
    const pid_t driver_pid = getpid();
    bool launched = true;
    for (int i = 0; i < parallel; ++i) {
        const pid_t pid = fork();
        pids[i] = pid;
        if (pid < 0) {
            pids[i] = 0;
            default_sigchld();
            for (int j = i - 1; j >= 0; --j) stop_worker(pids[j]);
            launched = false;
            break;
        }
        if (pid == 0) {
            close(reply_read);
            close(go_write);
            close(collect_write);
            close(quit_write);
            free(pids);  // the parent's table; a worker never returns here
            launching_pid = driver_pid;
            apply_cpu_placement(i, 0, 0);
            worker_run(setup, body, teardown, i, reply_write, go_read, collect_read, quit_read,
                       enough, iterations, parallel, repetitions, user_arg);
            exit(0);  // the worker could not allocate its sample set
        }
        if (i + 1 == parallel) break;
        if (term_received) {
            default_sigchld();
            for (int j = i; j >= 0; --j) stop_worker(pids[j]);
            launched = false;
            break;
        }
    }

    if (!launched) {
        close_all(all_ends, 8);
    } else {
        close(reply_write);
        close(go_read);
        close(collect_read);
        close(quit_read);
        struct sigaction saved_pipe_handler;
        install_handler(SIGPIPE, SIG_IGN, &saved_pipe_handler);
        gather_results(reply_read, go_write, collect_write, quit_write, pids, parallel, warmup,
                       repetitions);
        restore_handler(SIGPIPE, saved_pipe_handler);

        reap_seconds = enough / REAP_DIVISOR_US + 2;
        if (reap_seconds < REAP_MIN_SECONDS) reap_seconds = REAP_MIN_SECONDS;
        default_sigchld();
        const CallerAlarm caller_alarm = set_caller_alarm_aside();
        for (int i = parallel - 1; i >= 0; --i) {
            reap_pid = pids[i];
            install_handler(SIGALRM, reap_on_alarm, nullptr);
            alarm(static_cast<unsigned>(reap_seconds));
            wait_for(pids[i]);  // goes on after the alarm until the worker has ended
            alarm(0);
        }
        put_caller_alarm_back(caller_alarm);
    }

    conditions_release();
    free(pids);
    put_sigterm_back();
}

// One driver run: the pre-run when there are several workers, then the run.
// The conditions of both go with the set the run makes current.
void run_driver(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int enough, int parallel, int warmup, int repetitions, void* user_arg) {
    enough = enough_at_least(enough);
    reset_clock();
    if (body == nullptr) return;
    if (parallel < 0) parallel = 0;
    if (repetitions < 0) {
        repetitions = (parallel > 1 || enough >= LONG_ENOUGH_US) ? 1 : DEFAULT_REPETITIONS;
    }

    uint32_t iterations = 1;  // a single worker adapts its count itself
    SampleSet* pre_run_set = nullptr;
    if (parallel > 1) {
        // The pre-run: how many iterations fill one second.
        SampleSet* const before = current_sample_set();
        driver_run(setup, body, teardown, enough, 1, warmup, repetitions, user_arg);
        if (current_sample_set() != before) pre_run_set = current_sample_set();
        const uint64_t e = clock_elapsed_us();
        if (e == 0) return;
        const uint64_t m = clock_iterations();
        if (enough < LONG_ENOUGH_US) {
            const uint32_t t =
                saturate_u32(static_cast<double>(m) * 1000000.0 / static_cast<double>(e));
            iterations = t == UINT32_MAX ? t : t + 1;
        } else {
            iterations = static_cast<uint32_t>(m);
        }
        reset_clock();
    }

    // A worker takes one sample even when asked for none.
    launching_run = {parallel, repetitions > 0 ? repetitions : 1, enough, warmup > 0 ? warmup : 0};
    SampleSet* const before_run = current_sample_set();
    launch_workers(setup, body, teardown, enough, parallel, warmup, repetitions, user_arg,
                   iterations);
    if (driver_depth == 1 && current_sample_set() != before_run) {
        conditions_attach(current_sample_set());
    }
    // The pre-run's merged set never reached the caller: once the real run
    // has replaced it as the current set, nothing refers to it any more.
    if (pre_run_set != nullptr && current_sample_set() != pre_run_set) free(pre_run_set);
}

}  // namespace

extern "C" {

void driver_run(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int enough, int parallel, int warmup, int repetitions, void* user_arg) {
    const DriverDepth depth;
    run_driver(setup, body, teardown, enough, parallel, warmup, repetitions, user_arg);
}

void reap_child_and_rearm(int signal_number) {
    (void)signal_number;
    const int saved_errno = errno;
    wait(nullptr);
    install_handler(SIGCHLD, reap_child_and_rearm, nullptr);
    errno = saved_errno;
}

}  // extern "C"
