// Pipe round trip: one byte to a partner process and back, over two pipes,
// with both processes pinned to one CPU and then to two different CPUs.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "measurements.h"
#include "tables.h"

namespace {

struct PipePair {
    int worker_position = 0;  // positions in the allowed CPUs (pin_to_allowed_cpu)
    int partner_position = 0;
    int to_partner = -1;  // the worker's ends
    int from_partner = -1;
    pid_t partner = -1;
};

// In a worker that cannot go on: say why and end it, which fails the run.
[[noreturn]] void give_up(const char* what) {
    std::fprintf(stderr, "boardmark: pipe: %s: %s\n", what, std::strerror(errno));
    _exit(1);
}

// The partner: sends every byte back until the worker's end is closed.
[[noreturn]] void echo_bytes(int in, int out) {
    char byte = 0;
    while (read(in, &byte, 1) == 1) {
        if (write(out, &byte, 1) != 1) break;
    }
    _exit(0);
}

void start_partner(uint32_t iterations, void* arg) {
    if (iterations != 0) return;
    PipePair* p = static_cast<PipePair*>(arg);
    int there[2];
    int back[2];
    if (pipe(there) != 0 || pipe(back) != 0) give_up("pipe");
    p->partner = fork();
    if (p->partner < 0) give_up("fork");
    if (p->partner == 0) {
        // The worker's handlers would run its teardown here: not in the partner.
        signal(SIGTERM, SIG_DFL);
        signal(SIGCHLD, SIG_DFL);
        close(there[1]);
        close(back[0]);
        pin_to_allowed_cpu(p->partner_position);
        echo_bytes(there[0], back[1]);
    }
    close(there[0]);
    close(back[1]);
    p->to_partner = there[1];
    p->from_partner = back[0];
    pin_to_allowed_cpu(p->worker_position);
}

void round_trips(uint32_t iterations, void* arg) {
    const PipePair* p = static_cast<const PipePair*>(arg);
    char byte = 1;
    while (iterations-- > 0) {
        if (write(p->to_partner, &byte, 1) != 1) give_up("write to the partner");
        if (read(p->from_partner, &byte, 1) != 1) give_up("read from the partner");
    }
}

void stop_partner(uint32_t iterations, void* arg) {
    if (iterations != 0) return;
    PipePair* p = static_cast<PipePair*>(arg);
    if (p->to_partner >= 0) close(p->to_partner);
    if (p->from_partner >= 0) close(p->from_partner);
    p->to_partner = p->from_partner = -1;
    if (p->partner > 0) waitpid(p->partner, nullptr, 0);
    p->partner = -1;
}

size_t rows(const MachineFacts& facts, const Options&) { return facts.allowed_cpus >= 2 ? 2 : 1; }

void run(Session* session, const Options& options) {
    begin_table(session, "Pipe round trip: one byte there and back between two processes",
                {"CPUs", "us per round trip", "us per switch"});
    const size_t count = rows(session->facts, options);
    for (size_t cpus = 1; cpus <= count; ++cpus) {
        const std::string placement = cpus == 1 ? "one CPU" : "two CPUs";
        const std::string row = "pipe, " + placement;
        next_step(session, row);
        PipePair pair;
        pair.partner_position = cpus == 1 ? 0 : 1;
        Job job;
        job.setup = start_partner;
        job.body = round_trips;
        job.teardown = stop_partner;
        job.arg = &pair;
        const JobResult result = run_job(job);
        if (!result.ok) {
            emit_failed_row(session, {placement}, row, "the driver run failed (no sample)");
            continue;
        }
        RowParams params;
        params.measurement = "pipe";
        params.size = 1;
        params.op = "round_trip";
        params.cpus = static_cast<int>(cpus);
        const uint64_t trips = result.iterations;
        Figure round_trip;
        round_trip.report = [trips] { report_microseconds("round trip", trips); };
        round_trip.key = "us_per_operation";
        // A round trip switches to the partner and back.
        Figure by_switch;
        by_switch.report = [trips] { report_context_switches(2 * trips); };
        by_switch.key = "us_per_switch";
        emit_row(session, params, {placement}, {round_trip, by_switch});
    }
    end_table(session);
}

}  // namespace

const Measurement PIPE = {Command::PIPE, "pipe", no_memory_problem, rows, run};
