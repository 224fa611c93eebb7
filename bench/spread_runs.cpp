// The evidence behind the driver's within-run spread: the bench's bodies run
// with driver_run as part 2 runs them (enough 5000 us, 1 worker, the default
// repetitions), with no warm-up and with WARMUP_US of warm-up, in
// interleaved rounds; each run is one JSON report line on standard output,
// with its raw samples and its run conditions, for bench/spread_evidence.py.
//
//   spread_runs [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver_runs.h"
#include "lib_timing.h"
#include "measured_loops.h"

namespace {

constexpr int ENOUGH_US = 5000;
constexpr int WARMUP_US = 20000;

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    setenv("ENOUGH", "5000", 0);  // as part 2 runs
    set_report_format(REPORT_FORMAT_JSON);
    for (int round = 0; round < rounds; ++round) {
        for (const BodyCase& body : body_cases(false)) {
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
