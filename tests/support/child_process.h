// Runs test code in a forked child with a bounded wait, for behaviour that is
// per process (calibration caches, affinity, signals) or that ends the process.
#ifndef TESTS_CHILD_PROCESS_H
#define TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <functional>

struct ChildOutcome {
    bool exited = false;  // ended by exit; exit_code is valid
    int exit_code = -1;
    bool signalled = false;  // ended by a signal; signal_number is valid
    int signal_number = 0;
    bool timed_out = false;  // killed by the harness after the deadline
};

// Forks, runs body in the child (in a process group of its own) and exits
// with its result; waits at most timeout_ms in the parent, killing the
// child's whole process group with SIGKILL after that.
// Like every bound of these helpers, timeout_ms is stretched by
// TIMING_TEST_TIME_SCALE (time_scale.h).
ChildOutcome run_in_child(const std::function<int()>& body, int timeout_ms = 30000);

// Waits for pid at most timeout_ms (scaled); SIGKILLs and reaps it after that.
ChildOutcome wait_bounded(pid_t pid, int timeout_ms);

#endif
