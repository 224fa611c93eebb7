#include "child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

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
    for (int waited = 0; waited < timeout_ms; ++waited) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return outcome_of(status);
        if (r < 0) return ChildOutcome{};
        nanosleep(&pause, nullptr);
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
    const pid_t pid = fork();
    if (pid < 0) return ChildOutcome{};
    if (pid == 0) {
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    return wait_bounded(pid, timeout_ms);
}
