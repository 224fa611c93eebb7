// bench_quality: how well lib_timing measures, against Google Benchmark
// measuring the same loops on the same machine in the same run. The two
// harnesses take turns round by round, so that drift of a shared, noisy
// machine hits both alike; results are printed as Markdown tables.
//
//   bench_quality [--quick] [--runs N] [--parts LIST]
//
// --quick runs every part once with short intervals (CI uses it so that the
// bench keeps building and running; its numbers mean nothing). LIST is a
// comma-separated subset of 1,2,3,4:
//   1  loop overhead: lapcost's value against Google Benchmark's 2A - B
//   2  driver accuracy: driver_run with 1 and 2 workers against Google Benchmark,
//      and how repeatable both harnesses are (spread, CV, run-to-run range)
//   3  cost of measuring: lapcost's wall time against its timed intervals,
//      and the same for one driver_run call
//   4  scaling of driver_run's wall time with workers and repetitions
// Parts 1 and 3 share their lapcost runs. The bench never fails on a number:
// it exits 0 whenever it could run.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock_tally.h"
#include "lib_timing.h"
#include "measured_loops.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------- options

struct Options {
    bool quick = false;
    int runs = 10;
    bool part[5] = {false, true, true, true, true};
};

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.quick = true;
        } else if (arg == "--runs" && i + 1 < argc) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--parts" && i + 1 < argc) {
            for (int p = 1; p <= 4; ++p) options.part[p] = false;
            for (const char* c = argv[++i]; *c != '\0'; ++c) {
                if (*c >= '1' && *c <= '4') options.part[*c - '0'] = true;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--runs N] [--parts 1,2,3,4]\n", argv[0]);
            return false;
        }
    }
    if (options.quick) options.runs = 1;
    return true;
}

// ---------------------------------------------------------------- statistics

double seconds_of(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double monotonic_seconds() { return seconds_of(CLOCK_MONOTONIC); }

struct Spread {
    double median = 0, min = 0, max = 0, stddev = 0, mean = 0;
    // Coefficient of variation, stddev / mean, as Google Benchmark reports it.
    double cv() const { return mean != 0 ? stddev / mean : 0; }
    // Run-to-run range relative to the median.
    double range() const { return median != 0 ? (max - min) / median : 0; }
};

Spread spread_of(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.min = v.front();
    s.max = v.back();
    double mean = 0;
    for (double x : v) mean += x;
    mean /= static_cast<double>(n);
    s.mean = mean;
    double sq = 0;
    for (double x : v) sq += (x - mean) * (x - mean);
    s.stddev = n > 1 ? std::sqrt(sq / static_cast<double>(n - 1)) : 0;
    return s;
}

// Median of |x - median| / median: the statistic that sample_set_summarize
// calls spread, for values that are not in a sample set.
double median_relative_deviation(const std::vector<double>& v) {
    const double m = spread_of(v).median;
    if (m == 0) return 0;
    std::vector<double> deviations;
    for (double x : v) deviations.push_back(std::fabs(x - m) / m);
    return spread_of(deviations).median;
}

// ---------------------------------------------------------------- Google Benchmark

// Collects the per-iteration real time of every repetition (aggregates are
// left out).
class CaptureReporter : public benchmark::BenchmarkReporter {
   public:
    std::vector<double> ns_per_iteration;
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                ns_per_iteration.push_back(run.GetAdjustedRealTime());
            }
        }
    }
};

// Runs one benchmark on its own, `repetitions` times of at least `min_time`
// seconds each, and returns each repetition's real time per iteration in
// microseconds.
template <typename Fn>
std::vector<double> google_us_per_iteration(const char* name, Fn fn, double min_time,
                                            int repetitions) {
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark(name, fn)
        ->Unit(benchmark::kNanosecond)
        ->MinTime(min_time)
        ->Repetitions(repetitions);
    CaptureReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::ClearRegisteredBenchmarks();
    std::vector<double> us;
    for (double ns : reporter.ns_per_iteration) us.push_back(ns / 1000.0);
    return us;
}

// Loads per Google Benchmark iteration of the chase loops: long enough that
// the harness's own per-iteration cost vanishes in the division.
constexpr uint32_t CHASE_LOADS = 1u << 16;

// Repetitions per figure on the Google Benchmark side: as many as the
// library's calibration and driver take samples.
constexpr int GOOGLE_REPETITIONS = 11;

struct ChasePair {
    double single_us = 0, double_us = 0;  // per iteration of each loop
};

// The one-load and two-load loops, one repetition of each in turn so that
// both see the same machine, reduced like the calibration reduces its
// passes: to the fastest repetition of each.
ChasePair google_chase_pair(double min_time) {
    auto single = [](benchmark::State& state) {
        void* p = bench_self_pointer;
        for (auto _ : state) p = bench_single_chase(p, CHASE_LOADS);
        benchmark::DoNotOptimize(p);
    };
    auto twice = [](benchmark::State& state) {
        void* p = bench_self_pointer;
        for (auto _ : state) p = bench_double_chase(p, CHASE_LOADS);
        benchmark::DoNotOptimize(p);
    };
    std::vector<double> a, b;
    for (int r = 0; r < GOOGLE_REPETITIONS; ++r) {
        for (double us : google_us_per_iteration("single_chase", single, min_time, 1)) {
            a.push_back(us / CHASE_LOADS);
        }
        for (double us : google_us_per_iteration("double_chase", twice, min_time, 1)) {
            b.push_back(us / CHASE_LOADS);
        }
    }
    ChasePair pair;
    if (!a.empty()) pair.single_us = *std::min_element(a.begin(), a.end());
    if (!b.empty()) pair.double_us = *std::min_element(b.begin(), b.end());
    return pair;
}

// ---------------------------------------------------------------- lapcost runs

struct LapcostRun {
    bool ok = false;
    double value = 0;    // what lapcost printed, us per iteration
    int enough_us = 0;   // the enough interval calibration settled on
    double timed_s = 0;  // sum of the intervals it timed
    uint64_t intervals = 0;
    double process_s = 0;     // from the process's first constructor to its exit
    double clock_step_s = 0;  // how far the wall clock moved beyond the monotonic one
    double wall_s = 0;        // fork to reaped exit
};

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

// Runs lapcost (with the interposed clock) once as a fresh process, so that
// it calibrates from scratch, and times it from fork to reaping.
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

// ---------------------------------------------------------------- parts 1 and 3

void print_machine(const Options& options) {
    std::printf("## lib_timing measurement quality\n\n");
    std::printf("Google Benchmark %s; %s mode, %d run(s) per figure.\n", "1.7 (system package)",
                options.quick ? "quick" : "full", options.runs);
    std::printf(
        "In-process calibration for parts 2-4: enough %d us, timer overhead %llu us, "
        "loop overhead %.8f us.\n\n",
        enough_at_least(0), static_cast<unsigned long long>(timer_overhead_us()),
        iteration_overhead_us());
}

struct OverheadRound {
    LapcostRun lapcost;
    double google_a = 0, google_b = 0;
    double google_estimate() const { return 2 * google_a - google_b; }
};

void parts_1_and_3(const Options& options) {
    const double min_time = options.quick ? 0.001 : 0.005;
    // Quick mode skips the enough search, which alone takes seconds.
    const std::vector<std::string> lapcost_env =
        options.quick ? std::vector<std::string>{"ENOUGH=5000"} : std::vector<std::string>{};

    std::vector<OverheadRound> rounds;
    for (int r = 0; r < options.runs; ++r) {
        OverheadRound round;
        round.lapcost = run_lapcost(lapcost_env);
        const ChasePair pair = google_chase_pair(min_time);
        round.google_a = pair.single_us;
        round.google_b = pair.double_us;
        std::fprintf(stderr, "  round %d: lapcost %.8f (enough %d, %.1f s), GB 2A-B %.8f\n", r + 1,
                     round.lapcost.value, round.lapcost.enough_us, round.lapcost.wall_s,
                     round.google_estimate());
        rounds.push_back(round);
    }

    std::vector<double> lap, goo, diff, a, b;
    for (const OverheadRound& round : rounds) {
        if (!round.lapcost.ok) continue;
        lap.push_back(round.lapcost.value);
        goo.push_back(round.google_estimate());
        diff.push_back(round.lapcost.value - round.google_estimate());
        a.push_back(round.google_a);
        b.push_back(round.google_b);
    }

    if (options.part[1]) {
        std::printf("### 1. Loop overhead (us per iteration)\n\n");
        std::printf(
            "lapcost's calibrated value (a fresh process each run) against Google Benchmark's "
            "2A - B, A and B being the one-load and two-load chase loops per load (%u loads per "
            "benchmark iteration); A and B are each the fastest of %d repetitions of %.3f s, "
            "the two loops taking turns.\n\n",
            CHASE_LOADS, GOOGLE_REPETITIONS, min_time);
        std::printf("| run | lapcost | GB A | GB B | GB 2A-B | lapcost - GB |\n");
        std::printf("|---:|---:|---:|---:|---:|---:|\n");
        int i = 0;
        for (const OverheadRound& round : rounds) {
            ++i;
            if (!round.lapcost.ok) {
                std::printf("| %d | failed | | | | |\n", i);
                continue;
            }
            std::printf("| %d | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", i, round.lapcost.value,
                        round.google_a, round.google_b, round.google_estimate(),
                        round.lapcost.value - round.google_estimate());
        }
        const Spread sl = spread_of(lap), sg = spread_of(goo), sd = spread_of(diff);
        const Spread sa = spread_of(a), sb = spread_of(b);
        std::printf("\n| statistic | lapcost | GB A | GB B | GB 2A-B | lapcost - GB |\n");
        std::printf("|---|---:|---:|---:|---:|---:|\n");
        std::printf("| median | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.median, sa.median,
                    sb.median, sg.median, sd.median);
        std::printf("| min | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.min, sa.min, sb.min, sg.min,
                    sd.min);
        std::printf("| max | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.max, sa.max, sb.max, sg.max,
                    sd.max);
        std::printf("| stddev | %.8f | %.8f | %.8f | %.8f | %.8f |\n", sl.stddev, sa.stddev,
                    sb.stddev, sg.stddev, sd.stddev);
        std::printf("\nTarget |lapcost - GB| <= 0.0002 us: median difference %s.\n\n",
                    std::fabs(sd.median) <= 0.0002 ? "within" : "OUTSIDE");
    }

    if (options.part[3]) {
        std::printf("### 3a. Cost of measuring: lapcost\n\n");
        std::printf(
            "Wall time from fork to reaping against the sum of the intervals its "
            "calibration timed (counted by an interposed clock_end in a bench-only "
            "build of lapcost). What lies outside the intervals is split into starting and "
            "ending the process (fork, exec, loading; up to its first constructor and after "
            "exit) and the time between intervals inside the process. Clock step: how much further "
            "the wall clock (gettimeofday, which the library times with) moved than the monotonic "
            "clock during the run.%s\n\n",
            options.quick ? " Quick mode: ENOUGH=5000, no search." : "");
        std::printf(
            "| run | path | enough (us) | wall (s) | timed (s) | intervals | start+exit (s) | "
            "between (s) | wall / timed | clock step (s) | value printed |\n");
        std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        auto row = [](const std::string& label, const char* path, const LapcostRun& l) {
            std::printf(
                "| %s | %s | %d | %.3f | %.3f | %llu | %.3f | %.3f | %.4f | %+.3f | %.8f |\n",
                label.c_str(), path, l.enough_us, l.wall_s, l.timed_s,
                static_cast<unsigned long long>(l.intervals), l.wall_s - l.process_s,
                l.process_s - l.timed_s, l.timed_s > 0 ? l.wall_s / l.timed_s : 0, l.clock_step_s,
                l.value);
        };
        std::vector<double> fallback_ratio, candidate_ratio, fallback_wall, candidate_wall;
        int i = 0;
        for (const OverheadRound& round : rounds) {
            ++i;
            const LapcostRun& l = round.lapcost;
            if (!l.ok) continue;
            const bool fallback = l.enough_us == 1000000;
            const double ratio = l.timed_s > 0 ? l.wall_s / l.timed_s : 0;
            if (!options.quick) {
                (fallback ? fallback_ratio : candidate_ratio).push_back(ratio);
                (fallback ? fallback_wall : candidate_wall).push_back(l.wall_s);
            }
            row(std::to_string(i),
                options.quick ? "ENOUGH set"
                : fallback    ? "fallback"
                              : "candidate",
                l);
        }
        // The path a quiet machine takes, and what ENOUGH saves: no search.
        std::vector<double> preset_ratio, preset_wall;
        const int preset_runs = options.quick ? 1 : 5;
        for (int r = 0; r < preset_runs; ++r) {
            const LapcostRun l = run_lapcost({"ENOUGH=5000"});
            if (!l.ok) continue;
            const double ratio = l.timed_s > 0 ? l.wall_s / l.timed_s : 0;
            preset_ratio.push_back(ratio);
            preset_wall.push_back(l.wall_s);
            row("E" + std::to_string(r + 1), "ENOUGH=5000", l);
        }
        std::printf("\n| path | runs | median wall (s) | median wall / timed | worst |\n");
        std::printf("|---|---:|---:|---:|---:|\n");
        auto summary = [](const char* name, const std::vector<double>& wall,
                          const std::vector<double>& ratio) {
            if (wall.empty()) return;
            const Spread w = spread_of(wall), r = spread_of(ratio);
            std::printf("| %s | %zu | %.3f | %.4f | %.4f |\n", name, wall.size(), w.median,
                        r.median, r.max);
        };
        summary("search, one-second fallback", fallback_wall, fallback_ratio);
        summary("search, a candidate passed", candidate_wall, candidate_ratio);
        summary("ENOUGH=5000 (no search)", preset_wall, preset_ratio);
        std::printf("\nTarget wall / timed <= 1.05 on every path.\n\n");
    }
}

// ---------------------------------------------------------------- driver parts

#ifdef BENCH_HAVE_DRIVER

// Google Benchmark's repetitions of one body, in microseconds per call.
std::vector<double> google_body_us(BodyWork* work, double min_time) {
    auto fn = [work](benchmark::State& state) {
        for (auto _ : state) run_body(1, work);
    };
    return google_us_per_iteration("body", fn, min_time, GOOGLE_REPETITIONS);
}

struct DriverResult {
    double us_per_iteration = 0;  // the published median sample
    SampleSummary samples{};      // of the merged set; count 0 when the run failed
    double wall_s = 0;
    ClockTally tally{};
};

// The merged set of the previous driver_run call: the driver hands each
// published set to its caller, so the bench frees the one a later run replaced.
SampleSet* previous_merged_set = nullptr;

void free_replaced_merged_set() {
    SampleSet* const current = current_sample_set();
    if (previous_merged_set != nullptr && previous_merged_set != current) free(previous_merged_set);
    previous_merged_set = current;
}

// One driver_run call: its result per iteration, its wall time and what its
// workers' timed intervals added up to.
DriverResult measure_with_driver(BodyWork* work, int enough, int parallel, int repetitions) {
    clock_tally_reset();
    const double start = monotonic_seconds();
    driver_run(nullptr, run_body, nullptr, enough, parallel, 0, repetitions, work);
    // Only a run that published owns the current set (a failed one leaves it).
    if (clock_elapsed_us() != 0) free_replaced_merged_set();
    DriverResult result;
    result.wall_s = monotonic_seconds() - start;
    result.tally = clock_tally_read();
    const uint64_t n = clock_iterations();
    result.us_per_iteration =
        n ? static_cast<double>(clock_elapsed_us()) / static_cast<double>(n) : 0;
    // After a completed run the merged set is current.
    if (clock_elapsed_us() != 0) sample_set_summarize(current_sample_set(), &result.samples);
    return result;
}

struct BodyCase {
    const char* name;
    BodyWork work;
};

std::vector<BodyCase> body_cases(bool quick) {
    std::vector<BodyCase> cases = {
        {"chase 100 loads", {BodyKind::Chase, 100, bench_self_pointer, 0}},
        {"chase 1000 loads", {BodyKind::Chase, 1000, bench_self_pointer, 0}},
        {"chase 10000 loads", {BodyKind::Chase, 10000, bench_self_pointer, 0}},
        {"multiply-add 1000 steps", {BodyKind::Arithmetic, 1000, nullptr, 1}},
    };
    if (quick) cases.resize(2);
    return cases;
}

void part_2(const Options& options) {
    const double min_time = options.quick ? 0.001 : 0.005;
    const int rounds = options.quick ? 1 : std::max(3, options.runs / 2);
    std::vector<BodyCase> cases = body_cases(options.quick);
    std::printf("### 2. Driver accuracy (us per body call)\n\n");
    std::printf(
        "driver_run (enough %d us, default repetitions, no warm-up) with 1 and 2 workers "
        "against Google Benchmark's real time per iteration of the same body (%d repetitions "
        "of %.3f s). Ratio = driver / GB: the driver's published median against GB's median "
        "repetition, and the driver's fastest sample against GB's fastest repetition (the "
        "figure that the machine's other load disturbs least). Medians over %d interleaved "
        "rounds, the range across rounds in brackets.\n\n",
        enough_at_least(0), GOOGLE_REPETITIONS, min_time, rounds);
    std::printf(
        "| body | GB median (us) | 1 worker (us) | ratio | fastest ratio | 2 workers (us) | "
        "ratio | fastest ratio |\n");
    std::printf("|---|---:|---:|---|---|---:|---|---|\n");
    auto cell = [](const std::vector<double>& v) {
        const Spread s = spread_of(v);
        char text[64];
        std::snprintf(text, sizeof text, "%.3f (%.3f-%.3f)", s.median, s.min, s.max);
        return std::string(text);
    };
    // How repeatable each harness is, from the same rounds: printed after
    // the accuracy table.
    std::vector<std::string> stability;
    auto percent = [](double fraction) {
        char text[32];
        std::snprintf(text, sizeof text, "%.2f%%", 100 * fraction);
        return std::string(text);
    };
    for (BodyCase& c : cases) {
        std::vector<double> google, one, two, r1, r2, f1, f2;
        std::vector<double> spread1, spread2, google_spread, google_cv;
        for (int r = 0; r < rounds; ++r) {
            const std::vector<double> repetitions = google_body_us(&c.work, min_time);
            const Spread g = spread_of(repetitions);
            const DriverResult d1 = measure_with_driver(&c.work, 0, 1, -1);
            const DriverResult d2 = measure_with_driver(&c.work, 0, 2, -1);
            google.push_back(g.median);
            one.push_back(d1.us_per_iteration);
            two.push_back(d2.us_per_iteration);
            google_spread.push_back(median_relative_deviation(repetitions));
            google_cv.push_back(g.cv());
            if (d1.samples.count > 0) spread1.push_back(d1.samples.spread);
            if (d2.samples.count > 0) spread2.push_back(d2.samples.spread);
            if (g.median > 0 && g.min > 0) {
                r1.push_back(d1.us_per_iteration / g.median);
                r2.push_back(d2.us_per_iteration / g.median);
                f1.push_back(d1.samples.fastest_us / g.min);
                f2.push_back(d2.samples.fastest_us / g.min);
            }
            std::fprintf(stderr,
                         "  %s round %d: GB median %.4f fastest %.4f cv %.4f; driver 1w %.4f "
                         "fastest %.4f spread %.4f; 2w %.4f fastest %.4f spread %.4f\n",
                         c.name, r + 1, g.median, g.min, g.cv(), d1.us_per_iteration,
                         d1.samples.fastest_us, d1.samples.spread, d2.us_per_iteration,
                         d2.samples.fastest_us, d2.samples.spread);
        }
        std::printf("| %s | %.4f | %.4f | %s | %s | %.4f | %s | %s |\n", c.name,
                    spread_of(google).median, spread_of(one).median, cell(r1).c_str(),
                    cell(f1).c_str(), spread_of(two).median, cell(r2).c_str(), cell(f2).c_str());
        stability.push_back(
            "| " + std::string(c.name) + " | " + percent(spread_of(spread1).median) + " | " +
            percent(spread_of(google_spread).median) + " | " +
            percent(spread_of(google_cv).median) + " | " + percent(spread_of(one).range()) + " | " +
            percent(spread_of(google).range()) + " | " + percent(spread_of(spread2).median) +
            " | " + percent(spread_of(two).range()) + " |\n");
    }
    std::printf("\nTarget: ratio within 0.98-1.02 for bodies of 1 us and more.\n\n");

    std::printf("### 2b. Stability (the same rounds)\n\n");
    std::printf(
        "Within one run: the spread of the driver's samples (sample_set_summarize of the "
        "merged set: the median of |t - median| / median, nanobench's error; 11 samples with "
        "1 worker, 2 with 2 workers, the default repetitions), the same statistic over Google "
        "Benchmark's %d "
        "repetitions, and GB's coefficient of variation of its repetitions (stddev / mean, "
        "as GB prints it); medians over the %d rounds. Run to run: (max - min) / median of "
        "each harness's per-round result (the driver's published median, GB's median "
        "repetition) over the %d rounds.\n\n",
        GOOGLE_REPETITIONS, rounds, rounds);
    std::printf(
        "| body | driver spread, 1 worker | GB spread | GB CV | run to run: driver, 1 worker | "
        "run to run: GB | driver spread, 2 workers | run to run: driver, 2 workers |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const std::string& row : stability) std::fputs(row.c_str(), stdout);
    std::printf("\n");
}

void part_3_driver(const Options& options) {
    BodyWork work{BodyKind::Chase, 1000, bench_self_pointer, 0};
    const int rounds = options.quick ? 1 : 3;
    std::printf("### 3b. Cost of measuring: one driver_run call\n\n");
    std::printf(
        "1 worker, body = chase 1000 loads, default repetitions (11), no warm-up. "
        "Timed = the sum of every interval the worker timed (warm-up and wind-down "
        "intervals included), counted by the interposed clock_end; medians of %d "
        "calls.\n\n",
        rounds);
    std::printf("| enough (us) | wall (s) | timed (s) | intervals | timed / wall |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (const int enough : {5000, 50000}) {
        std::vector<double> wall, timed, intervals;
        for (int r = 0; r < rounds; ++r) {
            const DriverResult d = measure_with_driver(&work, enough, 1, -1);
            wall.push_back(d.wall_s);
            timed.push_back(static_cast<double>(d.tally.timed_us) / 1e6);
            intervals.push_back(static_cast<double>(d.tally.intervals));
        }
        const Spread w = spread_of(wall), t = spread_of(timed), n = spread_of(intervals);
        std::printf("| %d | %.4f | %.4f | %.0f | %.4f |\n", enough, w.median, t.median, n.median,
                    w.median > 0 ? t.median / w.median : 0);
    }
    std::printf("\n");
}

void part_4(const Options& options) {
    BodyWork work{BodyKind::Chase, 1000, bench_self_pointer, 0};
    const int rounds = options.quick ? 1 : 3;
    struct Shape {
        int parallel, repetitions;
    };
    std::vector<Shape> shapes = {{1, 1}, {1, 11}, {1, 101}, {2, 1}, {4, 1}};
    if (options.quick) shapes = {{1, 1}, {2, 1}};
    std::printf("### 4. Scaling of driver_run's wall time\n\n");
    std::printf(
        "Body = chase 1000 loads, enough %d us, no warm-up; medians of %d calls. With "
        "more than one worker each interval is sized to fill one second (after a "
        "one-worker pre-run).\n\n",
        enough_at_least(0), rounds);
    std::printf("| parallel | repetitions | wall (s) | min (s) | max (s) |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (const Shape& s : shapes) {
        std::vector<double> wall;
        for (int r = 0; r < rounds; ++r) {
            wall.push_back(measure_with_driver(&work, 0, s.parallel, s.repetitions).wall_s);
        }
        const Spread w = spread_of(wall);
        std::printf("| %d | %d | %.3f | %.3f | %.3f |\n", s.parallel, s.repetitions, w.median,
                    w.min, w.max);
    }
    std::printf("\n");
}

#endif  // BENCH_HAVE_DRIVER

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) return 2;

    char program[] = "bench_quality";
    char* gb_argv[] = {program, nullptr};
    int gb_argc = 1;
    benchmark::Initialize(&gb_argc, gb_argv);

    // The driver parts use this process's own calibration; without an
    // ENOUGH of the caller's it is given 5000 us so that the search does not
    // add half a minute (the lapcost runs of parts 1 and 3 measure that).
    setenv("ENOUGH", "5000", 0);
    clock_tally_share();
    ensure_calibrated();
    print_machine(options);

    if (options.part[1] || options.part[3]) parts_1_and_3(options);
#ifdef BENCH_HAVE_DRIVER
    if (options.part[2]) part_2(options);
    if (options.part[3]) part_3_driver(options);
    if (options.part[4]) part_4(options);
#else
    if (options.part[2] || options.part[4]) {
        std::printf(
            "Parts 2, 3b and 4 need driver_run, which this build of the library does "
            "not have yet.\n\n");
    }
#endif
    return 0;
}
