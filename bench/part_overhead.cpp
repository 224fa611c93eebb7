// Parts 1 and 3a: lapcost against Google Benchmark's 2A - B, and the cost of
// a lapcost process.
#include <cmath>
#include <cstdio>
#include <string>

#include "google_runs.h"
#include "quality_parts.h"

OverheadResult measure_overhead(const Options& options) {
    OverheadResult result;
    result.quick = options.quick;
    result.min_time = options.quick ? 0.001 : 0.005;
    // Quick mode skips the enough search, which alone takes seconds.
    const std::vector<std::string> lapcost_env =
        options.quick ? std::vector<std::string>{"ENOUGH=5000"} : std::vector<std::string>{};
    for (int r = 0; r < options.runs; ++r) {
        OverheadRound round;
        round.lapcost = run_lapcost(lapcost_env);
        const ChasePair pair = google_chase_pair(result.min_time);
        round.google_a = pair.single_us;
        round.google_b = pair.double_us;
        std::fprintf(stderr, "  round %d: lapcost %.8f (enough %d, %.1f s), GB 2A-B %.8f\n", r + 1,
                     round.lapcost.value, round.lapcost.enough_us, round.lapcost.wall_s,
                     round.google_estimate());
        result.rounds.push_back(round);
    }
    // The path a quiet machine takes, and what ENOUGH saves: no search.
    if (options.has(3)) {
        const int preset_runs = options.quick ? 1 : 5;
        for (int r = 0; r < preset_runs; ++r) result.preset.push_back(run_lapcost({"ENOUGH=5000"}));
    }
    return result;
}

void print_loop_overhead(const OverheadResult& result) {
    std::vector<double> lap, goo, diff, a, b;
    for (const OverheadRound& round : result.rounds) {
        if (!round.lapcost.ok) continue;
        lap.push_back(round.lapcost.value);
        goo.push_back(round.google_estimate());
        diff.push_back(round.lapcost.value - round.google_estimate());
        a.push_back(round.google_a);
        b.push_back(round.google_b);
    }
    std::printf("### 1. Loop overhead (us per iteration)\n\n");
    std::printf(
        "lapcost's calibrated value (a fresh process each run) against Google Benchmark's "
        "2A - B, A and B being the one-load and two-load chase loops per load (%u loads per "
        "benchmark iteration); A and B are each the fastest of %d repetitions of %.3f s, "
        "the two loops taking turns.\n\n",
        CHASE_LOADS, GOOGLE_REPETITIONS, result.min_time);
    std::printf("| run | lapcost | GB A | GB B | GB 2A-B | lapcost - GB |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|\n");
    int i = 0;
    for (const OverheadRound& round : result.rounds) {
        ++i;
        if (!round.lapcost.ok) {
            std::printf("| %d | failed | | | | |\n", i);
            continue;
        }
        std::printf("| %d | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", i, round.lapcost.value,
                    round.google_a, round.google_b, round.google_estimate(),
                    round.lapcost.value - round.google_estimate());
    }
    const Summary sl = summarize(lap), sg = summarize(goo), sd = summarize(diff);
    const Summary sa = summarize(a), sb = summarize(b);
    std::printf("\n| statistic | lapcost | GB A | GB B | GB 2A-B | lapcost - GB |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    std::printf("| median | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.median, sa.median, sb.median,
                sg.median, sd.median);
    std::printf("| min | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.min, sa.min, sb.min, sg.min,
                sd.min);
    std::printf("| max | %.8f | %.8f | %.8f | %.8f | %+.8f |\n", sl.max, sa.max, sb.max, sg.max,
                sd.max);
    std::printf("| stddev | %.8f | %.8f | %.8f | %.8f | %.8f |\n", sl.stddev, sa.stddev, sb.stddev,
                sg.stddev, sd.stddev);
    std::printf("\nTarget |lapcost - GB| <= 0.0002 us: median difference %s.\n\n",
                std::fabs(sd.median) <= 0.0002 ? "within" : "OUTSIDE");
}

namespace {

void print_lapcost_row(const std::string& label, const char* path, const LapcostRun& l) {
    std::printf("| %s | %s | %d | %.3f | %.3f | %llu | %.3f | %.3f | %.4f | %+.3f | %.8f |\n",
                label.c_str(), path, l.enough_us, l.wall_s, l.timed_s,
                static_cast<unsigned long long>(l.intervals), l.wall_s - l.process_s,
                l.process_s - l.timed_s, l.timed_s > 0 ? l.wall_s / l.timed_s : 0, l.clock_step_s,
                l.value);
}

double wall_over_timed(const LapcostRun& l) { return l.timed_s > 0 ? l.wall_s / l.timed_s : 0; }

void print_path_summary(const char* name, const std::vector<double>& wall,
                        const std::vector<double>& ratio) {
    if (wall.empty()) return;
    const Summary w = summarize(wall), r = summarize(ratio);
    std::printf("| %s | %zu | %.3f | %.4f | %.4f |\n", name, wall.size(), w.median, r.median,
                r.max);
}

}  // namespace

void print_lapcost_cost(const OverheadResult& result) {
    std::printf("### 3a. Cost of measuring: lapcost\n\n");
    std::printf(
        "Wall time from fork to reaping against the sum of the intervals its "
        "calibration timed (counted by an interposed clock_end in a bench-only "
        "build of lapcost). What lies outside the intervals is split into starting and "
        "ending the process (fork, exec, loading; up to its first constructor and after "
        "exit) and the time between intervals inside the process. Clock step: how much further "
        "the wall clock (gettimeofday, which the library times with) moved than the monotonic "
        "clock during the run.%s\n\n",
        result.quick ? " Quick mode: ENOUGH=5000, no search." : "");
    std::printf(
        "| run | path | enough (us) | wall (s) | timed (s) | intervals | start+exit (s) | "
        "between (s) | wall / timed | clock step (s) | value printed |\n");
    std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<double> fallback_ratio, candidate_ratio, fallback_wall, candidate_wall;
    int i = 0;
    for (const OverheadRound& round : result.rounds) {
        ++i;
        const LapcostRun& l = round.lapcost;
        if (!l.ok) continue;
        const bool fallback = l.enough_us == LAPCOST_FALLBACK_ENOUGH_US;
        if (!result.quick) {
            (fallback ? fallback_ratio : candidate_ratio).push_back(wall_over_timed(l));
            (fallback ? fallback_wall : candidate_wall).push_back(l.wall_s);
        }
        print_lapcost_row(std::to_string(i),
                          result.quick ? "ENOUGH set"
                          : fallback   ? "fallback"
                                       : "candidate",
                          l);
    }
    std::vector<double> preset_ratio, preset_wall;
    int r = 0;
    for (const LapcostRun& l : result.preset) {
        ++r;
        if (!l.ok) continue;
        preset_ratio.push_back(wall_over_timed(l));
        preset_wall.push_back(l.wall_s);
        print_lapcost_row("E" + std::to_string(r), "ENOUGH=5000", l);
    }
    std::printf("\n| path | runs | median wall (s) | median wall / timed | worst |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    print_path_summary("search, one-second fallback", fallback_wall, fallback_ratio);
    print_path_summary("search, a candidate passed", candidate_wall, candidate_ratio);
    print_path_summary("ENOUGH=5000 (no search)", preset_wall, preset_ratio);
    std::printf("\nTarget wall / timed <= 1.05 on every path.\n\n");
}
