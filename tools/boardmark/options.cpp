#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib_timing.h"

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;
constexpr uint64_t LATENCY_MAX_FLOOR = 32 * MIB;   // the default --max is at least this
constexpr uint64_t UNKNOWN_CACHE_SIZE = 32 * MIB;  // bandwidth --size without cache sizes
constexpr uint64_t DEFAULT_LATENCY_MIN = 4 * KIB;
constexpr uint64_t SMALLEST_BANDWIDTH_SIZE = 4 * KIB;
constexpr uint32_t LARGEST_STRIDE = 1024 * 1024;
const char* const SIZE_FORMS = "(e.g. 64k, 8m, 1g)";

std::string size_text(uint64_t bytes) {
    const char* units[] = {"", "k", "m", "g"};
    int unit = 0;
    while (unit < 3 && bytes != 0 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + units[unit];
}

// Rounds a default down to whole MiB (whole pages below 1 MiB), at least floor.
uint64_t round_default(uint64_t bytes, uint64_t floor) {
    const uint64_t grain = bytes >= MIB ? MIB : 4 * KIB;
    return std::max(bytes / grain * grain, floor);
}

uint64_t quarter_of_available(const MachineFacts& facts) {
    return facts.mem_available_bytes == 0 ? UINT64_MAX : facts.mem_available_bytes / 4;
}

// Comma-separated words of text, empty words kept (they are errors).
std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        words.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return words;
        start = comma + 1;
    }
}

bool read_pages(const std::string& text, Pages* pages) {
    for (Pages p : {Pages::DEFAULT, Pages::HUGE, Pages::SMALL}) {
        if (text == pages_name(p)) {
            *pages = p;
            return true;
        }
    }
    return false;
}

bool read_ops(const std::string& text, std::vector<BandwidthOp>* ops, std::string* bad) {
    ops->clear();
    for (const std::string& word : split_list(text)) {
        bool known = false;
        for (BandwidthOp op : {BandwidthOp::READ, BandwidthOp::WRITE, BandwidthOp::COPY}) {
            if (word == op_name(op)) {
                known = true;
                if (std::find(ops->begin(), ops->end(), op) == ops->end()) ops->push_back(op);
            }
        }
        if (!known) {
            *bad = word;
            return false;
        }
    }
    return true;
}

bool read_workers(const std::string& text, std::vector<int>* workers, std::string* bad) {
    workers->clear();
    for (const std::string& word : split_list(text)) {
        const bool digits = !word.empty() && word.size() <= 3 &&
                            word.find_first_not_of("0123456789") == std::string::npos;
        const int count = digits ? std::atoi(word.c_str()) : 0;
        if (count < 1 || count > MAX_WORKERS) {
            *bad = word;
            return false;
        }
        if (std::find(workers->begin(), workers->end(), count) == workers->end()) {
            workers->push_back(count);
        }
    }
    return true;
}

// A CLI11 check with boardmark's error text; CLI11 puts the option name in front.
CLI::Validator check(bool (*valid)(const std::string&), const std::string& forms) {
    return CLI::Validator(
        [valid, forms](std::string& text) {
            return valid(text) ? std::string() : text + " is not " + forms;
        },
        "");
}

bool valid_size(const std::string& text) {
    uint64_t bytes = 0;
    return read_size(text, &bytes);
}

// An option held as text, checked by valid; forms says what it takes.
void add_checked_option(CLI::App* app, const char* name, std::string* text,
                        const std::string& description, const char* type,
                        bool (*valid)(const std::string&), const std::string& forms) {
    app->add_option(name, *text, description)->type_name(type)->check(check(valid, forms));
}

void add_size_option(CLI::App* app, const char* name, std::string* text,
                     const std::string& description, const char* type = "SIZE") {
    add_checked_option(app, name, text, description, type, valid_size,
                       std::string("a size ") + SIZE_FORMS);
}

bool valid_pages(const std::string& text) {
    Pages pages;
    return read_pages(text, &pages);
}

bool valid_ops(const std::string& text) {
    std::vector<BandwidthOp> ops;
    std::string bad;
    return read_ops(text, &ops, &bad);
}

bool valid_workers(const std::string& text) {
    std::vector<int> workers;
    std::string bad;
    return read_workers(text, &workers, &bad);
}

std::string joined(const std::vector<int>& values) {
    std::string text;
    for (int v : values) text += (text.empty() ? "" : ",") + std::to_string(v);
    return text;
}

// The texts the options hold until they are checked together.
struct OptionTexts {
    std::string min, max, stride, pages = "default", op = "read,write,copy", size, workers;
};

void add_common_options(CLI::App* app, Options* options) {
    app->add_flag("--json", options->json,
                  "JSON Lines through the library's reports instead of tables, as with "
                  "TIMING_REPORT_FORMAT=json (default off)");
    app->add_option("--output", options->output,
                    "write the tables or JSON Lines to FILE (default standard output)")
        ->type_name("FILE");
    app->add_flag("--quick", options->quick,
                  "a short run: ENOUGH=5000 unless ENOUGH is set, one latency size per "
                  "doubling (default off)");
}

}  // namespace

bool read_size(const std::string& text, uint64_t* bytes) {
    const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    const std::string suffix = text.substr(digits);
    if (digits == 0 || digits > 20) return false;
    if (!suffix.empty() && (suffix.size() != 1 || std::strchr("kmgKMG", suffix[0]) == nullptr)) {
        return false;
    }
    // The library's units, and its reading of the whole text.
    const uint64_t multiplier = suffix.empty() ? 1 : parse_size(("1" + suffix).c_str());
    errno = 0;
    const unsigned long long number = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    if (errno == ERANGE || number == 0 || number > UINT64_MAX / multiplier) return false;
    *bytes = parse_size(text.c_str());
    return true;
}

uint64_t default_latency_max(const MachineFacts& facts) {
    const uint64_t wanted = std::max(4 * facts.largest_cache_bytes, LATENCY_MAX_FLOOR);
    return round_default(std::min(wanted, quarter_of_available(facts)), DEFAULT_LATENCY_MIN);
}

uint64_t default_bandwidth_size(const MachineFacts& facts, int max_workers) {
    const uint64_t wanted =
        facts.largest_cache_bytes != 0 ? 8 * facts.largest_cache_bytes : UNKNOWN_CACHE_SIZE;
    // Every worker has its own source and destination.
    const uint64_t share = quarter_of_available(facts) / (2 * static_cast<uint64_t>(max_workers));
    return round_default(std::min(wanted, share), SMALLEST_BANDWIDTH_SIZE);
}

uint32_t default_stride(const MachineFacts& facts) {
    return facts.l1_line_bytes != 0 ? facts.l1_line_bytes : 64;
}

std::vector<int> default_workers(const MachineFacts& facts) {
    if (facts.online_cpus > 1) return {1, std::min(facts.online_cpus, MAX_WORKERS)};
    return {1};
}

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
    OptionTexts texts;
    const std::vector<int> workers = default_workers(facts);
    const uint64_t max_default = default_latency_max(facts);
    const uint32_t stride_default = default_stride(facts);
    const uint64_t size_default =
        default_bandwidth_size(facts, *std::max_element(workers.begin(), workers.end()));
    const std::string pointer_size = std::to_string(sizeof(void*));

    CLI::App app(
        "Characterises a board: memory latency and bandwidth, pipe round trips and "
        "system calls, measured with lib_timing.",
        "boardmark");
    app.set_help_flag();
    app.set_help_all_flag("-h,--help", "print this help, every subcommand with its options");
    app.set_version_flag("--version", "boardmark " BOARDMARK_VERSION, "print the version and exit");
    add_common_options(&app, options);
    app.footer(
        "With no subcommand boardmark runs all. Workers are placed by QUENTAR_SCHED, BALANCED "
        "when it is unset. Exit status: 0, 1 when a measurement failed, 2 on a usage error.");
    app.require_subcommand(0, 1);

    CLI::App* all = app.add_subcommand("all", "every measurement below with its defaults");
    CLI::App* latency =
        app.add_subcommand("latency", "dependent-load latency against working-set size");
    add_size_option(latency, "--min", &texts.min, "smallest working set (default 4k)");
    add_size_option(latency, "--max", &texts.max,
                    "largest working set (default " + size_text(max_default) +
                        ": 4 x the largest cache, at least 32m, at most MemAvailable / 4)");
    add_size_option(latency, "--stride", &texts.stride,
                    "bytes from one chase slot to the next (default " +
                        std::to_string(stride_default) + ": the L1 data line, else 64)",
                    "BYTES");
    add_checked_option(latency, "--pages", &texts.pages,
                       "default, huge or small: madvise MADV_HUGEPAGE or MADV_NOHUGEPAGE on the "
                       "working set, or neither (default default)",
                       "PAGES", valid_pages, "one of default, huge, small");

    CLI::App* bandwidth =
        app.add_subcommand("bandwidth", "read, write and copy bandwidth, 1 and N workers");
    add_checked_option(bandwidth, "--op", &texts.op,
                       "read (sum_words), write (word stores), copy (memcpy), comma-separated "
                       "(default read,write,copy)",
                       "OPS", valid_ops, "a list of read, write, copy (e.g. read,copy)");
    add_size_option(bandwidth, "--size", &texts.size,
                    "buffer per worker (default " + size_text(size_default) +
                        ": 8 x the largest cache, 32m when unknown, all buffers at most "
                        "MemAvailable / 4)");
    add_checked_option(
        bandwidth, "--workers", &texts.workers,
        "worker counts, comma-separated (default " + joined(workers) + ": 1 and the online CPUs)",
        "LIST", valid_workers,
        "a list of worker counts from 1 to " + std::to_string(MAX_WORKERS) + " (e.g. 1,4)");
    CLI::App* pipe = app.add_subcommand(
        "pipe", "round trip between two processes over pipes, same CPU and two CPUs");
    CLI::App* syscall = app.add_subcommand("syscall", "cost of a trivial system call");
    for (CLI::App* sub : {all, latency, bandwidth, pipe, syscall}) sub->fallthrough();

    ParseOutcome outcome;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::CallForAllHelp&) {
        outcome.exit_status = 0;
        // The whole help, also after a subcommand (app.help would show its part).
        outcome.out = app.get_formatter()->make_help(&app, "boardmark", CLI::AppFormatMode::All);
        return outcome;
    } catch (const CLI::CallForVersion& e) {
        outcome.exit_status = 0;
        outcome.out = std::string(e.what()) + "\n";
        return outcome;
    } catch (const CLI::ValidationError& e) {
        outcome.exit_status = EXIT_USAGE;
        outcome.err = std::string("boardmark: ") + e.what() + "\n";
        return outcome;
    } catch (const CLI::ParseError& e) {
        outcome.exit_status = EXIT_USAGE;
        outcome.err =
            std::string("boardmark: ") + e.what() + "\n(boardmark --help lists the options)\n";
        return outcome;
    }

    if (latency->parsed()) options->command = Command::LATENCY;
    if (bandwidth->parsed()) options->command = Command::BANDWIDTH;
    if (pipe->parsed()) options->command = Command::PIPE;
    if (syscall->parsed()) options->command = Command::SYSCALL;

    LatencyOptions& lat = options->latency;
    lat.sizes_per_doubling = options->quick ? 1 : 2;
    lat.min_bytes = DEFAULT_LATENCY_MIN;
    lat.max_bytes = max_default;
    lat.stride = stride_default;
    if (!texts.min.empty()) read_size(texts.min, &lat.min_bytes);
    if (!texts.max.empty()) {
        read_size(texts.max, &lat.max_bytes);
        lat.max_is_default = false;
    }
    uint64_t stride = stride_default;
    if (!texts.stride.empty()) read_size(texts.stride, &stride);
    read_pages(texts.pages, &lat.pages);

    BandwidthOptions& bw = options->bandwidth;
    std::string bad;
    read_ops(texts.op, &bw.ops, &bad);
    bw.workers = workers;
    if (!texts.workers.empty()) read_workers(texts.workers, &bw.workers, &bad);
    bw.size_bytes = size_default;
    if (!texts.size.empty()) read_size(texts.size, &bw.size_bytes);

    // Checks that need more than one value.
    auto usage_error = [&outcome](const std::string& text) {
        outcome.exit_status = EXIT_USAGE;
        outcome.err = "boardmark: " + text + "\n";
        return outcome;
    };
    if (stride % sizeof(void*) != 0 || stride > LARGEST_STRIDE) {
        return usage_error("--stride: " + texts.stride + " is not a multiple of " + pointer_size +
                           " bytes up to 1m (e.g. 64, 128)");
    }
    lat.stride = static_cast<uint32_t>(stride);
    if (lat.min_bytes < lat.stride) {
        return usage_error("--min: " + size_text(lat.min_bytes) + " is smaller than the stride (" +
                           std::to_string(lat.stride) + " bytes)");
    }
    if (lat.min_bytes > lat.max_bytes) {
        return usage_error("--min " + size_text(lat.min_bytes) + " is above --max " +
                           size_text(lat.max_bytes));
    }
    if (bw.size_bytes < SMALLEST_BANDWIDTH_SIZE) {
        return usage_error("--size: " + texts.size + " is smaller than 4k");
    }
    return outcome;
}
