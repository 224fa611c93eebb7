#include "lapcost_runs.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "quality_stats.h"

extern char** environ;

namespace {

std::string lapcost_tally_path() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "lapcost_tally";
    self[n] = '\0';
    std::string dir(self);
    return dir.substr(0, dir.rfind('/') + 1) + "lapcost_tally";
}

// The environment for a lapcost run: the caller's, without the calibration
// overrides, plus the ones given.
std::vector<std::string> lapcost_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "ENOUGH=", 7) == 0 || std::strncmp(*e, "TIMING_O=", 9) == 0 ||
            std::strncmp(*e, "LAPCOST=", 8) == 0) {
            continue;
        }
        env.push_back(*e);
    }
    for (const std::string& e : extra) env.push_back(e);
    return env;
}

}  // namespace

LapcostRun run_lapcost(const std::vector<std::string>& extra_env) {
    LapcostRun run;
    const std::string path = lapcost_tally_path();
    std::vector<std::string> env = lapcost_environment(extra_env);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};

    int fds[2];
    if (pipe(fds) != 0) return run;
    const double start = monotonic_seconds();
    const double start_realtime = seconds_of(CLOCK_REALTIME);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return run;
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    char buffer[512];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.wall_s = monotonic_seconds() - start;
    run.clock_step_s = (seconds_of(CLOCK_REALTIME) - start_realtime) - run.wall_s;

    unsigned long long timed = 0, intervals = 0, process = 0;
    const size_t at = output.find("tally ");
    const bool tallied =
        at != std::string::npos &&
        std::sscanf(output.c_str() + at,
                    "tally enough_us=%d timed_us=%llu intervals=%llu process_us=%llu",
                    &run.enough_us, &timed, &intervals, &process) == 4;
    // lapcost's own line is the one that is not the tally (their order
    // depends on buffering).
    bool printed = false;
    for (size_t line = 0; line < output.size() && !printed;) {
        const size_t end = output.find('\n', line);
        if (output.compare(line, 6, "tally ") != 0) {
            printed = std::sscanf(output.c_str() + line, "%lf", &run.value) == 1;
        }
        line = end == std::string::npos ? output.size() : end + 1;
    }
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && tallied && printed;
    run.timed_s = static_cast<double>(timed) / 1e6;
    run.intervals = intervals;
    run.process_s = static_cast<double>(process) / 1e6;
    if (!run.ok) std::fprintf(stderr, "lapcost_tally run failed:\n%s\n", output.c_str());
    return run;
}
