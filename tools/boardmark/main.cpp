// boardmark: characterises a board in one command: memory latency against
// working-set size, memory bandwidth, pipe round trips and system-call cost,
// each measured with lib_timing's driver and written as text tables or as
// the library's JSON Lines reports.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib_timing.h"
#include "measurements.h"
#include "options.h"
#include "progress_display.h"

namespace {

bool runs(Command wanted, Command chosen) { return chosen == Command::ALL || chosen == wanted; }

volatile sig_atomic_t erase_status_line = 0;

// A termination request ends boardmark as it asked, in every process of a
// run. Outside a driver run boardmark has no children; during one the driver
// defers the signal while it stops and reaps the workers, then hands it on
// here (with the default disposition it would only fail the row). In a
// worker this handler is inherited and ends the worker the same way.
void end_as_asked(int signal_number) {
    if (erase_status_line) {
        const ssize_t written = write(STDERR_FILENO, "\r\033[K", 4);
        (void)written;
    }
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

int main(int argc, char** argv) {
    Session session;
    session.facts = read_machine_facts();
    Options options;
    const ParseOutcome parsed =
        parse_options(std::vector<std::string>(argv + 1, argv + argc), session.facts, &options);
    if (parsed.exit_status >= 0) {
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        return parsed.exit_status;
    }

    // Memory that cannot be had fails the run before anything is measured.
    std::string problem;
    if (runs(Command::LATENCY, options.command)) {
        problem = latency_memory_problem(session.facts, options.latency);
        if (!problem.empty()) problem = "latency: " + problem;
    }
    if (problem.empty() && runs(Command::BANDWIDTH, options.command)) {
        problem = bandwidth_memory_problem(session.facts, options.bandwidth);
        if (!problem.empty()) problem = "bandwidth: " + problem;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "boardmark: %s\n", problem.c_str());
        return EXIT_MEASUREMENT_FAILED;
    }

    if (options.quick) setenv("ENOUGH", "5000", 0);
    // The library reads it in every worker: one worker per CPU, round robin.
    setenv("QUENTAR_SCHED", "BALANCED", 0);

    session.out = stdout;
    if (!options.output.empty()) {
        session.out = std::fopen(options.output.c_str(), "w");
        if (session.out == nullptr) {
            std::fprintf(stderr, "boardmark: --output: cannot open %s: %s\n",
                         options.output.c_str(), std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    set_report_stream(session.out);
    if (options.json) set_report_format(REPORT_FORMAT_JSON);
    session.json = report_format() == REPORT_FORMAT_JSON;

    std::signal(SIGTERM, end_as_asked);
    ProgressDisplay display;
    if (start_progress_display(&display, stderr, nullptr) && display.status_line) {
        erase_status_line = 1;
        display.program = "boardmark";
        display.summary = false;
        session.display = &display;
        set_calibration_observer(show_calibration, &session);
    }

    const Command command = options.command;
    if (runs(Command::LATENCY, command)) session.steps += latency_rows(options.latency);
    if (runs(Command::BANDWIDTH, command)) session.steps += bandwidth_rows(options.bandwidth);
    if (runs(Command::PIPE, command)) session.steps += pipe_rows(session.facts);
    if (runs(Command::SYSCALL, command)) session.steps += SYSCALL_ROWS;

    if (!session.json) {
        // What the tables were measured on and how, first: the calibration
        // runs here, so that the summary can say where its values came from.
        ensure_calibrated();
        before_output(&session);
        report_context();
    }
    if (runs(Command::LATENCY, command)) run_latency(&session, options.latency);
    if (runs(Command::BANDWIDTH, command)) run_bandwidth(&session, options.bandwidth);
    if (runs(Command::PIPE, command)) run_pipe(&session);
    if (runs(Command::SYSCALL, command)) run_syscall(&session);
    before_output(&session);

    if (std::fflush(session.out) != 0 || std::ferror(session.out) ||
        (session.out != stdout && std::fclose(session.out) != 0)) {
        std::fprintf(stderr, "boardmark: writing %s: %s\n",
                     options.output.empty() ? "standard output" : options.output.c_str(),
                     std::strerror(errno));
        return EXIT_MEASUREMENT_FAILED;
    }
    return session.failed ? EXIT_MEASUREMENT_FAILED : 0;
}
