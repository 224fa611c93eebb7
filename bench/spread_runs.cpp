// The evidence behind the driver's within-run spread: the bench's bodies run
// with driver_run as part 2 runs them (enough 5000 us, 1 worker, the default
// repetitions), with no warm-up and with WARMUP_US of warm-up, and with
// Google Benchmark (11 repetitions of 5 ms), in interleaved rounds. Each
// driver run is one JSON report line on standard output with its raw samples
// and its run conditions; each Google Benchmark run a line
// {"report":"google",...} with its repetitions and the process's involuntary
// context switches over them; for bench/spread_evidence.py.
//
//   spread_runs [ROUNDS]
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver_runs.h"
#include "google_runs.h"
#include "lib_timing.h"
#include "measured_loops.h"
#include "quality_stats.h"

namespace {

constexpr int ENOUGH_US = 5000;
constexpr int WARMUP_US = 20000;
constexpr double GOOGLE_MIN_TIME = 0.005;

long involuntary_switches() {
    struct rusage own;
    return getrusage(RUSAGE_SELF, &own) == 0 ? own.ru_nivcsw : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    setenv("ENOUGH", "5000", 0);  // as part 2 runs
    set_report_format(REPORT_FORMAT_JSON);
    set_report_stream(stdout);
    for (int round = 0; round < rounds; ++round) {
        for (const BodyCase& body : body_cases(false)) {
            BodyWork google_work = body.work;
            const long before = involuntary_switches();
            const double start = monotonic_seconds();
            const std::vector<double> repetitions = google_body_us(&google_work, GOOGLE_MIN_TIME);
            const long switches = involuntary_switches() - before;
            const double seconds = monotonic_seconds() - start;
            std::fflush(stderr);
            std::printf(
                "{\"report\":\"google\",\"body\":\"%s\",\"round\":%d,"
                "\"involuntary_switches\":%ld,\"seconds\":%.6f,\"us\":[",
                body.name, round, switches, seconds);
            for (size_t i = 0; i < repetitions.size(); ++i) {
                std::printf("%s%.6f", i == 0 ? "" : ",", repetitions[i]);
            }
            std::printf("]}\n");
            std::fflush(stdout);
            for (int warmup : {0, WARMUP_US}) {
                BodyWork work = body.work;
                driver_run(nullptr, run_body, nullptr, ENOUGH_US, 1, warmup, -1, &work);
                if (clock_elapsed_us() == 0) continue;
                set_report_param("body", body.name);
                set_report_param("warmup_us", std::to_string(warmup).c_str());
                set_report_param("round", std::to_string(round).c_str());
                report_nanoseconds(body.name, clock_iterations());
                std::free(current_sample_set());
            }
        }
    }
    return 0;
}
