// boardmark: characterises a board in one command: memory latency against
// working-set size, memory bandwidth, pipe round trips and system-call cost,
// each measured with lib_timing's driver and written as text tables, as the
// library's JSON Lines reports, or as one summary line.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_summary.h"
#include "enough_interval.h"
#include "lib_timing.h"
#include "measurements.h"
#include "options.h"
#include "status_line.h"

namespace {

// The measurements in the order they run.
const Measurement* const MEASUREMENTS[] = {&LATENCY, &BANDWIDTH, &PIPE, &SYSCALL, &CLOCK};

// all runs every measurement but the clock, which loads every CPU.
bool runs(const Measurement& m, Command chosen) {
    return chosen == m.command || (chosen == Command::ALL && m.command != Command::CLOCK);
}

volatile sig_atomic_t erase_status_line = 0;

// Set once SIGINT has asked boardmark to end.
volatile sig_atomic_t interrupted = 0;

// A termination request ends boardmark as it asked, in every process of a
// run. Outside a driver run boardmark has no children; during one the driver
// defers the signal while it stops and reaps the workers, then hands it on
// here (with the default disposition it would only fail the row). In a
// worker this handler is inherited and ends the worker the same way. An
// interrupt came as a SIGTERM of boardmark's own and ends it as SIGINT.
void end_as_asked(int signal_number) {
    if (erase_status_line) {
        const ssize_t written = write(STDERR_FILENO, "\r\033[K", 4);
        (void)written;
    }
    if (interrupted) signal_number = SIGINT;
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// The driver defers SIGTERM alone: SIGINT's default would end boardmark at
// once and leave its workers running on without it, so an interrupt takes
// SIGTERM's way out (outside a driver run, SIGINT stays blocked in here
// until this handler returns, and then ends boardmark).
void interrupt_as_sigterm(int) {
    interrupted = 1;
    std::raise(SIGTERM);
}

struct Calibration {
    Session* session;
    EnoughOrigin origin;
    char** argv;
};

// The calibration's steps on the status line, then the current row's again;
// the interval bounded when the calibration falls back or searches too long.
void observe_calibration(const CalibrationStep* step, void* arg) {
    const Calibration* c = static_cast<const Calibration*>(arg);
    Session* session = c->session;
    if (session->status != nullptr) {
        show_calibration(session->status, *step);
        if (step->kind == CALIBRATION_STEP_END && !session->current.empty()) {
            show_status(session->status, session->current);
        }
    }
    bound_calibration(*step, c->origin, c->argv);
}

// Waits for a quiet machine and says on standard error how long it took;
// the context warns of a machine that never got quiet.
void wait_for_quiet(double seconds) {
    IdleWaitResult waited;
    const int outcome = wait_idle(seconds, &waited);
    if (outcome < 0) {
        std::fprintf(stderr, "boardmark: --wait-idle: /proc/stat cannot be read; not waiting\n");
    } else if (outcome == 0) {
        std::fprintf(stderr, "boardmark: waited %.1f s for a quiet machine\n",
                     waited.waited_seconds);
    } else {
        const std::string share =
            std::isnan(waited.busy_share)
                ? std::string("an unknown share")
                : std::to_string(std::lround(100.0 * waited.busy_share)) + " %";
        std::fprintf(stderr,
                     "boardmark: waited %.1f s, the machine never got quiet (others used %s of "
                     "it); measuring anyway\n",
                     waited.waited_seconds, share.c_str());
    }
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
    for (const Measurement* m : MEASUREMENTS) {
        if (!runs(*m, options.command)) continue;
        const std::string problem = m->memory_problem(session.facts, options);
        if (!problem.empty()) {
            std::fprintf(stderr, "boardmark: %s: %s\n", m->name, problem.c_str());
            return EXIT_MEASUREMENT_FAILED;
        }
    }

    const EnoughOrigin origin = choose_enough(options.quick);
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
    session.tables = !options.summary;
    const std::string bound = enough_bound_param(origin);
    if (!bound.empty()) set_report_param("enough_bound", bound.c_str());

    if (options.wait_idle > 0) wait_for_quiet(options.wait_idle);

    std::signal(SIGTERM, end_as_asked);
    std::signal(SIGINT, interrupt_as_sigterm);
    StatusLine status;
    if (start_status_line(&status, stderr, "boardmark")) {
        erase_status_line = 1;
        session.status = &status;
    }
    Calibration calibration{&session, origin, argv};
    set_calibration_observer(observe_calibration, &calibration);

    for (const Measurement* m : MEASUREMENTS) {
        if (runs(*m, options.command)) session.steps += m->rows(session.facts, options);
    }
    if (!session.json) {
        // What the tables were measured on and how, first: the calibration
        // runs here, so that the summary can say where its values came from.
        ensure_calibrated();
        before_output(&session);
        if (session.tables) {
            report_context();
            const std::string note = enough_note(origin);
            if (!note.empty()) std::fprintf(session.out, "%s\n", note.c_str());
        }
    }
    for (const Measurement* m : MEASUREMENTS) {
        if (runs(*m, options.command)) m->run(&session, options);
    }
    before_output(&session);
    if (options.summary) {
        std::fprintf(session.out, "%s\n", board_summary(*machine_facts(), session.rows).c_str());
    }

    if (std::fflush(session.out) != 0 || std::ferror(session.out) ||
        (session.out != stdout && std::fclose(session.out) != 0)) {
        std::fprintf(stderr, "boardmark: writing %s: %s\n",
                     options.output.empty() ? "standard output" : options.output.c_str(),
                     std::strerror(errno));
        return EXIT_MEASUREMENT_FAILED;
    }
    return session.failed ? EXIT_MEASUREMENT_FAILED : 0;
}
