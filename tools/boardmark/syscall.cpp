// Cost of a trivial system call: getppid through syscall(2), since the C
// library may answer its own getppid without entering the kernel.
#include <sys/syscall.h>
#include <unistd.h>

#include "measurements.h"
#include "tables.h"

namespace {

void getppid_calls(uint32_t iterations, void*) {
    long last = 0;
    while (iterations-- > 0) last = syscall(SYS_getppid);
    sink_int(static_cast<int>(last));
}

size_t rows(const MachineFacts&, const Options&) { return 1; }

void run(Session* session, const Options&) {
    begin_table(session, "System call: syscall(SYS_getppid)", {"call", "ns per call"});
    const std::string row = "syscall getppid";
    next_step(session, row);
    Job job;
    job.body = getppid_calls;
    const JobResult result = run_job(job);
    if (!result.ok) {
        emit_failed_row(session, {"getppid"}, row, "the driver run failed (no sample)");
    } else {
        RowParams params;
        params.measurement = "syscall";
        params.op = "getppid";
        params.cpus = result.cpus;
        const uint64_t calls = result.iterations;
        Figure ns;
        ns.report = [calls] { report_nanoseconds("getppid", calls); };
        ns.key = "ns_per_operation";
        emit_row(session, params, {"getppid"}, {ns});
    }
    end_table(session);
}

}  // namespace

const Measurement SYSCALL = {Command::SYSCALL, "syscall", no_memory_problem, rows, run};

std::string no_memory_problem(const MachineFacts&, const Options&) { return ""; }
