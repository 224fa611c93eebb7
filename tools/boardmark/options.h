// boardmark's command line: subcommands, their options and defaults, and the
// error texts for values that do not parse.
#ifndef BOARDMARK_OPTIONS_H
#define BOARDMARK_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "defaults.h"
#include "machine.h"
#include "sizes.h"

enum class Command { ALL, LATENCY, BANDWIDTH, PIPE, SYSCALL, CLOCK };
enum class Pages { DEFAULT, HUGE, SMALL };
enum class BandwidthOp { READ, WRITE, COPY };

struct LatencyOptions {
    uint64_t min_bytes = 0;
    uint64_t max_bytes = 0;
    uint32_t stride = 0;
    Pages pages = Pages::DEFAULT;
    int sizes_per_doubling = 2;  // 1 with --quick
    bool max_is_default = true;
    int chains = 1;  // independent chains walked at once
};

struct BandwidthOptions {
    std::vector<BandwidthOp> ops;
    uint64_t size_bytes = 0;
    std::vector<int> workers;
};

struct Options {
    Command command = Command::ALL;
    bool json = false;
    bool quick = false;
    bool summary = false;  // one line for the whole board instead of the tables
    std::string output;    // empty: standard output
    double wait_idle = 0;  // seconds to wait at most for a quiet machine; 0 none
    LatencyOptions latency;
    BandwidthOptions bandwidth;
};

// What parsing decided: run the measurements (exit_status -1), or end with
// exit_status after writing out to standard output and err to standard error
// (help and --version: 0, a usage error: 2).
struct ParseOutcome {
    int exit_status = -1;
    std::string out;
    std::string err;
};

constexpr int EXIT_MEASUREMENT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int MAX_CHAINS = 16;

// args without the program name.
ParseOutcome parse_options(const std::vector<std::string>& args, const MachineFacts& facts,
                           Options* options);

const char* pages_name(Pages pages);
const char* op_name(BandwidthOp op);

#endif
