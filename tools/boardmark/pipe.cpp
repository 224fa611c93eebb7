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

}  // namespace

size_t pipe_rows(const MachineFacts& facts) { return facts.allowed_cpus >= 2 ? 2 : 1; }

void run_pipe(Session* session) {
    Table table;
    table.title = "Pipe round trip: one byte there and back between two processes";
    table.headers = {"CPUs", "us per round trip", "us per switch"};
    const size_t rows = pipe_rows(session->facts);
    for (size_t cpus = 1; cpus <= rows; ++cpus) {
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
            measurement_failed(session, row, "the driver run failed (no sample)");
            table.rows.push_back({placement, FAILED_CELL, FAILED_CELL});
            continue;
        }
        if (session->json) {
            RowParams params;
            params.measurement = "pipe";
            params.size = 1;
            params.op = "round_trip";
            params.cpus = static_cast<int>(cpus);
            set_row_params(params);
            report_microseconds("round trip", result.iterations);
            // A round trip switches to the partner and back.
            report_context_switches(2 * result.iterations);
        } else {
            const double us =
                static_cast<double>(result.elapsed_us) / static_cast<double>(result.iterations);
            table.rows.push_back({placement, fixed(us, 2), fixed(us / 2, 2)});
        }
    }
    if (!session->json) {
        before_output(session);
        print_table(session->out, table);
    }
}
