#include "child_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "time_scale.h"

namespace {

ChildOutcome outcome_of(int status) {
    ChildOutcome o;
    if (WIFEXITED(status)) {
        o.exited = true;
        o.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        o.signalled = true;
        o.signal_number = WTERMSIG(status);
    }
    return o;
}

}  // namespace

ChildOutcome wait_bounded(pid_t pid, int timeout_ms) {
    const struct timespec pause = {0, 1000000};  // 1 ms
    const double deadline = monotonic_seconds() + scaled_seconds(timeout_ms / 1000.0);
    for (bool last = false; !last;) {
        last = monotonic_seconds() >= deadline;  // one more look after the deadline
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return outcome_of(status);
        if (r < 0) return ChildOutcome{};
        if (!last) nanosleep(&pause, nullptr);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ChildOutcome o = outcome_of(status);
    o.timed_out = true;
    return o;
}

ChildOutcome run_in_child(const std::function<int()>& body, int timeout_ms) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return ChildOutcome{};
    if (pid == 0) {
        setpgid(0, 0);  // a group of its own, with whatever it forks
        // Ends with the test process too, when a hang makes CTest kill that
        // at its timeout; the group kill below never comes then.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    setpgid(pid, pid);
    const ChildOutcome o = wait_bounded(pid, timeout_ms);
    // A child killed at the deadline leaves no process behind (a driver
    // run's workers, say), to spin on after the test.
    if (o.timed_out) kill(-pid, SIGKILL);
    return o;
}
