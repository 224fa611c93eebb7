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

}  // namespace

void run_syscall(Session* session) {
    Table table;
    table.title = "System call: syscall(SYS_getppid)";
    table.headers = {"call", "ns per call"};
    const std::string row = "syscall getppid";
    next_step(session, row);
    Job job;
    job.body = getppid_calls;
    const JobResult result = run_job(job);
    if (!result.ok) {
        measurement_failed(session, row, "the driver run failed (no sample)");
        table.rows.push_back({"getppid", FAILED_CELL});
    } else if (session->json) {
        RowParams params;
        params.measurement = "syscall";
        params.op = "getppid";
        params.cpus = result.cpus;
        set_row_params(params);
        report_nanoseconds("getppid", result.iterations);
    } else {
        const double ns = static_cast<double>(result.elapsed_us) * 1000.0 /
                          static_cast<double>(result.iterations);
        table.rows.push_back({"getppid", fixed(ns, 2)});
    }
    if (!session->json) {
        before_output(session);
        print_table(session->out, table);
    }
}
