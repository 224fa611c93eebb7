// Shared pieces of the driver tests: a call log in shared memory that every
// forked worker writes to, benchmark callbacks steered by a Scenario, and
// small process helpers (descriptor counts, signal dispositions, timing).
#ifndef TESTS_DRIVER_FIXTURES_H
#define TESTS_DRIVER_FIXTURES_H

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "driver_internal.h"
#include "lib_timing.h"
#include "time_scale.h"

enum CallKind : char { SETUP = 's', BODY = 'b', TEARDOWN = 't' };

// One call, or a run of identical consecutive calls, in one process.
struct CallRecord {
    char kind;
    bool arg_ok;         // the callback got the scenario's user_arg
    int32_t phase;       // the worker's phase at the call
    uint32_t n;          // iteration count passed
    uint32_t repeat;     // how many such calls (the idle ones fold into one record)
    uint32_t first_seq;  // order of the first and the last such call among all
    uint32_t last_seq;   // processes' calls
};

// Everything one process logged.
struct ProcessLog {
    pid_t pid;
    int32_t worker_index;
    int32_t worker_count;
    std::vector<CallRecord> calls;
};

// How the test callbacks behave. Lives in static storage so that its address
// is the same in every forked worker.
struct Scenario {
    uint64_t magic;
    uint64_t cost_us;         // fake microseconds per body iteration
    int32_t die_in_warmup;    // worker 0 of runs this wide _exit(7)s after its ready byte
    int32_t block_teardown;   // workers of runs this wide stall in their first teardown(0)
    int32_t announce_fd;      // >= 0: the first warm-up body writes the worker's pid here
    int32_t real_loads;       // body chases this many dependent loads per iteration
    int32_t close_in_warmup;  // after its ready byte a worker closes: 1 its go, 2 its collect end
};

constexpr uint64_t SCENARIO_MAGIC = 0x5ce7a210u;
constexpr int32_t NEVER = 1 << 30;

// Resets the log (creating it on first use) and the scenario to defaults.
Scenario* fresh_scenario();
std::vector<ProcessLog> logged_processes();
// The logged processes of runs with width workers (1 picks out a pre-run).
std::vector<ProcessLog> workers_of_width(int width);
bool log_overflowed();

void test_setup(uint32_t n, void* arg);
void test_body(uint32_t n, void* arg);
void test_teardown(uint32_t n, void* arg);

// Helpers over a ProcessLog.
int count_calls(const ProcessLog& p, char kind, uint32_t n);
bool all_args_ok(const std::vector<ProcessLog>& logs);

int open_descriptor_count();
struct sigaction disposition_of(int signal_number);
bool same_disposition(const struct sigaction& a, const struct sigaction& b);
// No child of this process is left, not even a zombie.
bool no_children_left();
// Reads one pid from fd within timeout_ms (scaled); -1 on time-out or end of file.
pid_t read_pid(int fd, int timeout_ms);
// Waits for end of file on fd within timeout_ms (scaled).
bool wait_for_eof(int fd, int timeout_ms);

#endif
