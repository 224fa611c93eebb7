// lapcost's standard error on a real pseudo-terminal: the status line while
// it calibrates, the summary at the end, and standard output unchanged. The
// program runs as a child (under the emulator when cross built) with its
// standard error on the pty slave and its standard output on a pipe.
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "progress_display.h"
#include "time_scale.h"

namespace {

constexpr const char* ERASE_LINE = "\r\033[K";

struct TerminalRun {
    bool started = false;
    ChildOutcome outcome;
    std::string terminal;  // everything lapcost wrote to standard error
    std::string out;
    bool status_while_running = false;  // a status line was read before lapcost ended
};

// Appends what fd holds now, up to end of file, EAGAIN or an error (a pty
// master answers EIO once the slave side is closed everywhere).
void read_some(int fd, std::string* into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

TerminalRun run_on_terminal(const std::vector<std::string>& env, unsigned short columns) {
    TerminalRun run;
    int master = -1;
    int slave = -1;
    struct winsize size = {24, columns, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return run;
    int out[2];
    if (pipe(out) != 0) return run;

    std::vector<std::string> argv_s;
    std::istringstream emulator(TOOL_EMULATOR);
    for (std::string word; emulator >> word;) argv_s.push_back(word);
    argv_s.push_back(LAPCOST_PATH);
    std::vector<char*> argv;
    for (std::string& a : argv_s) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(master);
        close(slave);
        for (const char* name : {"ENOUGH", "TIMING_O", "LAPCOST", "TIMING_VERBOSE"}) unsetenv(name);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    close(out[1]);
    if (pid < 0) {
        close(master);
        close(out[0]);
        return run;
    }
    run.started = true;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);

    // Poll for at most a minute (scaled), 1 ms at a time.
    const struct timespec pause = {0, 1000000};
    const double end = monotonic_seconds() + scaled_seconds(60);
    while (monotonic_seconds() < end) {
        read_some(master, &run.terminal);
        read_some(out[0], &run.out);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != 0) {
            run.outcome.exited = WIFEXITED(status);
            run.outcome.exit_code = WEXITSTATUS(status);
            break;
        }
        if (run.terminal.find("lapcost [") != std::string::npos) run.status_while_running = true;
        nanosleep(&pause, nullptr);
    }
    if (!run.outcome.exited) run.outcome = wait_bounded(pid, 0);
    read_some(master, &run.terminal);
    read_some(out[0], &run.out);
    close(master);
    close(out[0]);
    return run;
}

// The pieces between erasures: the status lines, then the summary.
std::vector<std::string> split_at_erasures(const std::string& text) {
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t at; (at = text.find(ERASE_LINE, from)) != std::string::npos;) {
        pieces.push_back(text.substr(from, at - from));
        from = at + std::string(ERASE_LINE).size();
    }
    pieces.push_back(text.substr(from));
    return pieces;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// One "%.8f\n" line of a value that is not negative.
bool is_value_line(const std::string& text) {
    const size_t dot = text.find('.');
    return dot != std::string::npos && text.size() == dot + 10 && text.back() == '\n' &&
           all_digits(text.substr(0, dot)) && all_digits(text.substr(dot + 1, 8));
}

TEST(LapcostOnATerminal, RedrawsAStatusLineThenLeavesOnlyTheSummary) {
    constexpr unsigned short COLUMNS = 50;
    const TerminalRun run = run_on_terminal({"ENOUGH=20000"}, COLUMNS);
    if (!run.started) GTEST_SKIP() << "could not open a pseudo-terminal, a pipe or fork";
    ASSERT_TRUE(run.outcome.exited) << run.terminal;
    EXPECT_EQ(run.outcome.exit_code, 0);
    EXPECT_TRUE(is_value_line(run.out)) << run.out;
    EXPECT_TRUE(run.status_while_running) << run.terminal;

    // Every status line starts at a fresh erasure and fits the terminal; the
    // last piece is the summary, the only line that ends (ONLCR makes \r\n).
    const std::vector<std::string> pieces = split_at_erasures(run.terminal);
    ASSERT_GE(pieces.size(), 3u) << run.terminal;
    EXPECT_EQ(pieces.front(), "");
    bool showed_a_pass = false;
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
        EXPECT_EQ(pieces[i].compare(0, 9, "lapcost ["), 0) << pieces[i];
        EXPECT_LT(pieces[i].size(), COLUMNS) << pieces[i];
        EXPECT_EQ(pieces[i].find('\n'), std::string::npos) << pieces[i];
        showed_a_pass =
            showed_a_pass || pieces[i].find("timer overhead: pass") != std::string::npos;
    }
    EXPECT_TRUE(showed_a_pass) << run.terminal;
    // The summary, perhaps with a governor note, is the only line that ends.
    const std::string& summary = pieces.back();
    const std::string start = "lapcost: enough interval 20000 us, from ENOUGH; calibration took ";
    ASSERT_GT(summary.size(), start.size()) << summary;
    EXPECT_EQ(summary.compare(0, start.size(), start), 0) << summary;
    EXPECT_EQ(summary.find('\n'), summary.size() - 1) << summary;
    EXPECT_EQ(summary.substr(summary.size() - 2), "\r\n") << summary;
}

// The summary's other two endings, which only a full search reaches, and the
// governor note, from hand-made steps and machine records.
TEST(LapcostSummary, SaysHowTheEnoughIntervalWasReached) {
    CalibrationStep enough{};
    enough.kind = CALIBRATION_STEP_ENOUGH;
    enough.error_limit = 0.0025;
    enough.enough_us = 10000;
    enough.source = CALIBRATION_SOURCE_CANDIDATE;
    EXPECT_EQ(summary_text(enough, 3.04, ""),
              "lapcost: enough interval 10000 us: candidate 10000 us passed the linearity test; "
              "calibration took 3.0 s");

    enough.enough_us = 1000000;
    enough.source = CALIBRATION_SOURCE_FALLBACK;
    enough.best_error = 0.00613;
    enough.best_candidate_us = 50000;
    EXPECT_EQ(summary_text(enough, 41.3, "powersave"),
              "lapcost: enough interval 1000000 us: no candidate passed the 0.25 % linearity test "
              "(best error 0.613 % at 50000 us), so one second is used; ENOUGH=5000 skips the "
              "search; calibration took 41.3 s; CPU frequency governor is powersave, not "
              "performance");

    // The governor comes from the machine facts' cpufreq policies.
    CpufreqPolicy policies[3] = {};
    MachineRecord machine{};
    machine.policies = policies;
    EXPECT_EQ(governor_note(machine), "");  // no policy
    machine.policy_count = 3;
    std::snprintf(policies[1].governor, sizeof policies[1].governor, "performance");
    EXPECT_EQ(governor_note(machine), "");  // unknown or performance
    std::snprintf(policies[2].governor, sizeof policies[2].governor, "powersave");
    EXPECT_EQ(governor_note(machine), "powersave");
}

// The shared status line's estimate of the time a run of equal steps has left.
TEST(StatusLine, TimeLeftFromTheStepsDone) {
    const struct {
        size_t done, total;
        double elapsed;
        const char* text;
    } cases[] = {
        {0, 10, 0, ""},
        {10, 10, 50, ""},
        {1, 10, 2, ", about 18 s left"},
        {3, 4, 90, ", about 30 s left"},
        {2, 40, 10.4, ", about 3 min 18 s left"},
        {9, 10, 1, ", under 1 s left"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(time_left_text(c.done, c.total, c.elapsed), c.text)
            << c.done << " of " << c.total;
    }
}

}  // namespace
