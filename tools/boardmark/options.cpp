#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <sstream>

#include "lib_timing.h"
#include "option_values.h"

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;
constexpr uint64_t DEFAULT_LATENCY_MIN = 4 * KIB;
constexpr uint64_t SMALLEST_BANDWIDTH_SIZE = 4 * KIB;
constexpr uint64_t LARGEST_STRIDE = MIB;

std::string joined(const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
    return text;
}

}  // namespace

const char* pages_name(Pages pages) {
    static const char* const names[] = {"default", "huge", "small"};
    return names[static_cast<int>(pages)];
}

const char* op_name(BandwidthOp op) {
    static const char* const names[] = {"read", "write", "copy"};
    return names[static_cast<int>(op)];
}

ParseOutcome parse_options(const std::vector<std::string>& args, const MachineFacts& facts,
                           Options* options) {
    *options = Options();
    LatencyOptions& lat = options->latency;
    BandwidthOptions& bw = options->bandwidth;
    lat.min_bytes = DEFAULT_LATENCY_MIN;
    lat.max_bytes = default_latency_max(facts);
    lat.stride = default_stride(facts);
    bw.ops = {BandwidthOp::READ, BandwidthOp::WRITE, BandwidthOp::COPY};
    bw.workers = default_workers(facts);
    bw.size_bytes =
        default_bandwidth_size(facts, *std::max_element(bw.workers.begin(), bw.workers.end()));
    const std::string pointer_size = std::to_string(sizeof(void*));

    CLI::App app(
        "Characterises a board: memory latency and bandwidth, pipe round trips and "
        "system calls, measured with lib_timing.",
        "boardmark");
    app.set_help_flag();
    app.set_help_all_flag("-h,--help", "print this help, every subcommand with its options");
    app.set_version_flag("--version", "boardmark " BOARDMARK_VERSION, "print the version and exit");
    app.add_flag("--json", options->json,
                 "JSON Lines through the library's reports instead of tables, as with "
                 "TIMING_REPORT_FORMAT=json (default off)");
    app.add_option("--output", options->output,
                   "write the tables or JSON Lines to FILE (default standard output)")
        ->type_name("FILE");
    app.add_flag("--quick", options->quick,
                 "a short run: ENOUGH=5000 unless ENOUGH is set, one latency size per "
                 "doubling (default off)");
    app.add_flag("--summary", options->summary,
                 "one line for the whole board (caches with their latencies, memory latency, "
                 "read bandwidth, pipe and system call, CPU and kernel) instead of the tables "
                 "(default off)");
    app.add_option("--wait-idle", options->wait_idle,
                   "before measuring, wait until everything else uses less than 10 % of the "
                   "machine for 3 seconds in a row, at most SECONDS; measure anyway with a "
                   "warning when it never gets quiet (default no wait)")
        ->type_name("SECONDS")
        ->check(naming_forms(CLI::PositiveNumber, "a positive number of seconds"));
    app.footer(
        "With no subcommand boardmark runs all. Workers are placed by QUENTAR_SCHED, BALANCED "
        "when it is unset. Exit status: 0, 1 when a measurement failed, 2 on a usage error.");
    app.require_subcommand(0, 1);

    CLI::App* all = app.add_subcommand("all", "every measurement below with its defaults");
    CLI::App* latency =
        app.add_subcommand("latency", "dependent-load latency against working-set size");
    latency->add_option("--min", lat.min_bytes, "smallest working set (default 4k)")
        ->type_name("SIZE")
        ->transform(size_value());
    latency
        ->add_option("--max", lat.max_bytes,
                     "largest working set (default " + option_size_text(lat.max_bytes) +
                         ": 4 x the largest cache, at least 32m, at most MemAvailable / 4)")
        ->type_name("SIZE")
        ->transform(size_value());
    latency
        ->add_option("--stride", lat.stride,
                     "bytes from one chase slot to the next (default " +
                         std::to_string(lat.stride) + ": the L1 data line, else 64)")
        ->type_name("BYTES")
        ->transform(size_value([&pointer_size](uint64_t bytes) {
            return bytes % sizeof(void*) == 0 && bytes <= LARGEST_STRIDE
                       ? ""
                       : " is not a multiple of " + pointer_size + " bytes up to 1m (e.g. 64, 128)";
        }));
    latency
        ->add_option("--pages", lat.pages,
                     "default, huge or small: madvise MADV_HUGEPAGE or MADV_NOHUGEPAGE on the "
                     "working set, or neither (default default)")
        ->type_name("PAGES")
        ->transform(naming_forms(
            CLI::CheckedTransformer(std::map<std::string, Pages>{
                {"default", Pages::DEFAULT}, {"huge", Pages::HUGE}, {"small", Pages::SMALL}}),
            "one of default, huge, small"));
    latency
        ->add_option("--chains", lat.chains,
                     "independent chains walked at once through the working set, figures per "
                     "load (default 1)")
        ->type_name("N")
        ->check(naming_forms(CLI::Range(1, MAX_CHAINS),
                             "a chain count from 1 to " + std::to_string(MAX_CHAINS)));

    CLI::App* bandwidth =
        app.add_subcommand("bandwidth", "read, write and copy bandwidth, 1 and N workers");
    bandwidth->add_option("--op")
        ->description(
            "read (sum_words), write (word stores), copy (memcpy), comma-separated (default "
            "read,write,copy)")
        ->type_name("OPS")
        ->check(list_of(CLI::CheckedTransformer(
                            std::map<std::string, BandwidthOp>{{"read", BandwidthOp::READ},
                                                               {"write", BandwidthOp::WRITE},
                                                               {"copy", BandwidthOp::COPY}}),
                        "a list of read, write, copy (e.g. read,copy)", &bw.ops));
    bandwidth
        ->add_option("--size", bw.size_bytes,
                     "buffer per worker (default " + option_size_text(bw.size_bytes) +
                         ": 8 x the largest cache, 32m when unknown, all buffers at most "
                         "MemAvailable / 4)")
        ->type_name("SIZE")
        ->transform(size_value([](uint64_t bytes) {
            return bytes < SMALLEST_BANDWIDTH_SIZE ? " is smaller than 4k" : "";
        }));
    bandwidth->add_option("--workers")
        ->description("worker counts, comma-separated (default " + joined(bw.workers) +
                      ": 1 and the online CPUs)")
        ->type_name("LIST")
        ->check(list_of(
            digits_only() & CLI::Range(1, MAX_WORKERS),
            "a list of worker counts from 1 to " + std::to_string(MAX_WORKERS) + " (e.g. 1,4)",
            &bw.workers));
    CLI::App* pipe = app.add_subcommand(
        "pipe", "round trip between two processes over pipes, same CPU and two CPUs");
    CLI::App* syscall = app.add_subcommand("syscall", "cost of a trivial system call");
    CLI::App* clock = app.add_subcommand(
        "clock",
        "the clock per cpufreq policy from a dependent chain of adds beside cpufreq's claims, "
        "idle and after a few seconds of load on every CPU (not part of all)");
    for (CLI::App* sub : {all, latency, bandwidth, pipe, syscall, clock}) sub->fallthrough();

    app.failure_message([&args](const CLI::App* failed, const CLI::Error& e) {
        if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
            return std::string("boardmark: ") + e.what() + "\n";
        }
        const std::string misplaced = misplaced_option(*failed, args);
        return "boardmark: " + (misplaced.empty() ? std::string(e.what()) : misplaced) +
               "\n(boardmark --help lists the options)\n";
    });
    ParseOutcome outcome;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForAllHelp&) {
        // The whole help, also after a subcommand (app.exit would show its part).
        outcome.exit_status = 0;
        outcome.out = app.get_formatter()->make_help(&app, "boardmark", CLI::AppFormatMode::All);
        return outcome;
    } catch (const CLI::ParseError& e) {
        std::ostringstream out;
        std::ostringstream err;
        outcome.exit_status = app.exit(e, out, err) == 0 ? 0 : EXIT_USAGE;
        outcome.out = out.str();
        outcome.err = err.str();
        return outcome;
    }

    if (latency->parsed()) options->command = Command::LATENCY;
    if (bandwidth->parsed()) options->command = Command::BANDWIDTH;
    if (pipe->parsed()) options->command = Command::PIPE;
    if (syscall->parsed()) options->command = Command::SYSCALL;
    if (clock->parsed()) options->command = Command::CLOCK;
    lat.sizes_per_doubling = options->quick ? 1 : 2;
    lat.max_is_default = latency->count("--max") == 0;

    // Checks that compare options.
    auto usage_error = [&outcome](const std::string& text) {
        outcome.exit_status = EXIT_USAGE;
        outcome.err = "boardmark: " + text + "\n";
        return outcome;
    };
    if (options->summary && options->json) return usage_error("--summary and --json: choose one");
    const std::string stride = " the stride (" + std::to_string(lat.stride) + " bytes)";
    if (lat.min_bytes < lat.stride) {
        return usage_error("--min: " + option_size_text(lat.min_bytes) + " is smaller than" +
                           stride);
    }
    if (lat.min_bytes > lat.max_bytes) {
        return usage_error("--min " + option_size_text(lat.min_bytes) + " is above --max " +
                           option_size_text(lat.max_bytes));
    }
    // A working set is a whole number of chase slots: the rows name what was measured.
    const struct {
        const char* name;
        uint64_t bytes;
    } ends[] = {{"--min", lat.min_bytes}, {"--max", lat.max_bytes}};
    for (const auto& end : ends) {
        if (latency->count(end.name) != 0 && end.bytes % lat.stride != 0) {
            return usage_error(std::string(end.name) + ": " + option_size_text(end.bytes) +
                               " is not a multiple of" + stride);
        }
    }
    return outcome;
}
