#include "driver_fixtures.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "fake_clock.h"

// Advanced by test bodies; only executables linking fake_clock.cpp read
// their time from it.
uint64_t fake_now_us = 1700000000000000ull;

namespace {

constexpr int MAX_PROCESSES = 64;
constexpr int MAX_RECORDS = 2048;

struct Slot {
    pid_t pid;
    int32_t worker_index;
    int32_t worker_count;
    int32_t used;
    int32_t last_of_kind[3];
    CallRecord records[MAX_RECORDS];
};

struct SharedLog {
    uint32_t sequence;
    int32_t slots_used;
    int32_t overflow;
    Scenario scenario;
    Slot slots[MAX_PROCESSES];
};

SharedLog* shared = nullptr;

// The slot of the calling process, claimed on its first call.
Slot* my_slot() {
    static pid_t cached_pid = 0;
    static Slot* cached = nullptr;
    const pid_t me = getpid();
    if (cached_pid == me && cached != nullptr) return cached;
    const int i = __atomic_fetch_add(&shared->slots_used, 1, __ATOMIC_SEQ_CST);
    if (i >= MAX_PROCESSES) {
        shared->overflow = 1;
        return nullptr;
    }
    Slot* s = &shared->slots[i];
    s->pid = me;
    s->worker_index = current_worker_index();
    s->worker_count = current_worker_state()->worker_count;
    s->used = 0;
    for (int32_t& k : s->last_of_kind) k = -1;
    cached_pid = me;
    cached = s;
    return s;
}

int kind_slot(char kind) { return kind == SETUP ? 0 : kind == BODY ? 1 : 2; }

void record(char kind, uint32_t n, void* arg) {
    Slot* s = my_slot();
    if (s == nullptr) return;
    CallRecord r;
    r.kind = kind;
    r.arg_ok = arg == &shared->scenario && shared->scenario.magic == SCENARIO_MAGIC;
    r.phase = current_worker_state()->phase;
    r.n = n;
    r.repeat = 1;
    r.first_seq = r.last_seq = __atomic_fetch_add(&shared->sequence, 1, __ATOMIC_SEQ_CST);
    // A call like the last one of its kind (the idle intervals, or timed
    // intervals with an unchanged count) only counts up that record.
    if (s->last_of_kind[kind_slot(kind)] >= 0) {
        CallRecord& last = s->records[s->last_of_kind[kind_slot(kind)]];
        if (last.arg_ok == r.arg_ok && last.phase == r.phase && last.n == r.n) {
            last.repeat += 1;
            last.last_seq = r.last_seq;
            return;
        }
    }
    if (s->used >= MAX_RECORDS) {
        shared->overflow = 1;
        return;
    }
    s->last_of_kind[kind_slot(kind)] = s->used;
    s->records[s->used++] = r;
}

// A ring of pointers: each load's address is the previous load's result.
constexpr int RING = 64;
void* ring[RING];

void chase(uint32_t n, int loads) {
    if (ring[0] == nullptr) {
        for (int i = 0; i < RING; ++i) ring[i] = &ring[(i + 7) % RING];
    }
    void* p = ring[0];
    for (uint32_t i = 0; i < n; ++i) {
        for (int k = 0; k < loads; ++k) p = *static_cast<void* volatile*>(p);
    }
    sink_pointer(p);
}

}  // namespace

Scenario* fresh_scenario() {
    if (shared == nullptr) {
        void* m = mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return nullptr;
        shared = static_cast<SharedLog*>(m);
    }
    shared->sequence = 0;
    shared->slots_used = 0;
    shared->overflow = 0;
    Scenario& s = shared->scenario;
    s.magic = SCENARIO_MAGIC;
    s.cost_us = 3;
    s.die_in_warmup = NEVER;
    s.block_teardown = NEVER;
    s.announce_fd = -1;
    s.real_loads = 0;
    s.close_in_warmup = 0;
    return &s;
}

std::vector<ProcessLog> logged_processes() {
    std::vector<ProcessLog> out;
    const int used = shared->slots_used < MAX_PROCESSES ? shared->slots_used : MAX_PROCESSES;
    for (int i = 0; i < used; ++i) {
        const Slot& s = shared->slots[i];
        ProcessLog p;
        p.pid = s.pid;
        p.worker_index = s.worker_index;
        p.worker_count = s.worker_count;
        p.calls.assign(s.records, s.records + s.used);
        out.push_back(p);
    }
    return out;
}

std::vector<ProcessLog> workers_of_width(int width) {
    std::vector<ProcessLog> out;
    for (const ProcessLog& p : logged_processes()) {
        if (p.worker_count == width) out.push_back(p);
    }
    return out;
}

bool log_overflowed() { return shared->overflow != 0; }

void test_setup(uint32_t n, void* arg) { record(SETUP, n, arg); }

void test_body(uint32_t n, void* arg) {
    record(BODY, n, arg);
    const Scenario* s = &shared->scenario;
    const WorkerState* w = current_worker_state();
    if (w->worker_count >= s->die_in_warmup && w->worker_index == 0 && w->phase == WarmUp &&
        w->awaiting_first == 0) {
        _exit(7);
    }
    if (s->announce_fd >= 0 && w->phase == WarmUp && w->awaiting_first == 0) {
        static bool announced = false;
        if (!announced) {
            const pid_t me = getpid();
            const ssize_t r = write(s->announce_fd, &me, sizeof me);
            (void)r;
        }
        announced = true;
    }
    if (s->close_in_warmup != 0 && w->phase == WarmUp && w->awaiting_first == 0) {
        static bool closed = false;
        if (!closed) close(s->close_in_warmup == 1 ? w->go_fd : w->collect_fd);
        closed = true;
    }
    if (s->real_loads > 0) {
        chase(n, s->real_loads);
    } else {
        advance_fake_clock(s->cost_us * n);
    }
}

void test_teardown(uint32_t n, void* arg) {
    record(TEARDOWN, n, arg);
    static bool stalled = false;
    const Scenario* s = &shared->scenario;
    if (n == 0 && !stalled && current_worker_state()->worker_count >= s->block_teardown) {
        // Stalls until a signal arrives (the reaping alarm's SIGTERM).
        stalled = true;
        struct timespec t = {60, 0};
        nanosleep(&t, nullptr);
    }
}

int count_calls(const ProcessLog& p, char kind, uint32_t n) {
    int c = 0;
    for (const CallRecord& r : p.calls) {
        if (r.kind == kind && r.n == n) c += static_cast<int>(r.repeat);
    }
    return c;
}

bool all_args_ok(const std::vector<ProcessLog>& logs) {
    for (const ProcessLog& p : logs) {
        for (const CallRecord& r : p.calls) {
            if (!r.arg_ok) return false;
        }
    }
    return true;
}

int open_descriptor_count() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

struct sigaction disposition_of(int signal_number) {
    struct sigaction a;
    std::memset(&a, 0, sizeof a);
    sigaction(signal_number, nullptr, &a);
    return a;
}

bool same_disposition(const struct sigaction& a, const struct sigaction& b) {
    if ((a.sa_flags & SA_SIGINFO) != (b.sa_flags & SA_SIGINFO)) return false;
    if (a.sa_flags & SA_SIGINFO) return a.sa_sigaction == b.sa_sigaction;
    return a.sa_handler == b.sa_handler;
}

bool no_children_left() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

pid_t read_pid(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, scaled_ms(timeout_ms)) <= 0) return -1;
    pid_t pid = -1;
    if (read(fd, &pid, sizeof pid) != static_cast<ssize_t>(sizeof pid)) return -1;
    return pid;
}

bool wait_for_eof(int fd, int timeout_ms) {
    const double end = monotonic_seconds() + scaled_seconds(timeout_ms / 1000.0);
    for (;;) {
        const double left = end - monotonic_seconds();
        if (left <= 0) return false;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        char buffer[64];
        const ssize_t r = read(fd, buffer, sizeof buffer);
        if (r == 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}
