// boardmark's command line: what it accepts, the defaults it derives from
// the machine, and the error texts for values it refuses.
#include "options.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

constexpr uint64_t MIB = uint64_t{1024} * 1024;

MachineFacts board(uint64_t largest_cache, uint64_t mem_available, int cpus) {
    MachineFacts facts;
    facts.largest_cache_bytes = largest_cache;
    facts.mem_available_bytes = mem_available;
    facts.online_cpus = cpus;
    facts.allowed_cpus = cpus;
    return facts;
}

ParseOutcome parse(const std::vector<std::string>& args, Options* options,
                   const MachineFacts& facts = board(0, 0, 2)) {
    return parse_options(args, facts, options);
}

// The one line a usage error prints, with exit status 2.
std::string usage_error(const std::vector<std::string>& args) {
    Options options;
    const ParseOutcome outcome = parse(args, &options);
    EXPECT_EQ(outcome.exit_status, EXIT_USAGE);
    EXPECT_EQ(outcome.out, "");
    return outcome.err;
}

TEST(BoardmarkOptions, BadValuesNameTheOptionAndTheAcceptedForms) {
    const std::string sizes = " is not a size (e.g. 64k, 8m, 1g)\n";
    const std::string counts = " is not a list of worker counts from 1 to 256 (e.g. 1,4)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"latency", "--max", "4x"}, "boardmark: --max: 4x" + sizes},
        {{"latency", "--min", "0"}, "boardmark: --min: 0" + sizes},
        {{"latency", "--max", "99999999999g"}, "boardmark: --max: 99999999999g" + sizes},
        {{"bandwidth", "--size", "1 m"}, "boardmark: --size: 1 m" + sizes},
        {{"latency", "--pages", "giant"},
         "boardmark: --pages: giant is not one of default, huge, small\n"},
        {{"bandwidth", "--op", "read,move"},
         "boardmark: --op: read,move is not a list of read, write, copy (e.g. read,copy)\n"},
        {{"bandwidth", "--workers", "1,0"}, "boardmark: --workers: 1,0" + counts},
        {{"bandwidth", "--workers", "1,,2"}, "boardmark: --workers: 1,,2" + counts},
        {{"latency", "--stride", "6"},
         "boardmark: --stride: 6 is not a multiple of " + std::to_string(sizeof(void*)) +
             " bytes up to 1m (e.g. 64, 128)\n"},
        {{"latency", "--min", "64m", "--max", "32m"}, "boardmark: --min 64m is above --max 32m\n"},
        {{"latency", "--min", "32", "--stride", "64"},
         "boardmark: --min: 32 is smaller than the stride (64 bytes)\n"},
        {{"bandwidth", "--size", "100"}, "boardmark: --size: 100 is smaller than 4k\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(usage_error(c.args), c.err);
}

TEST(BoardmarkOptions, UnknownOptionsAndSubcommandsAreUsageErrors) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--fast"},
                                                 {"latency", "--size", "1m"},
                                                 {"all", "--max", "1m"},
                                                 {"memory"},
                                                 {"latency", "--max"},
                                                 {"latency", "pipe"}}) {
        const std::string err = usage_error(args);
        EXPECT_EQ(err.rfind("boardmark: ", 0), 0u) << err;
        EXPECT_NE(err.find("boardmark --help"), std::string::npos) << err;
    }
}

TEST(BoardmarkOptions, SubcommandsAndCommonOptionsInAnyOrder) {
    Options options;
    EXPECT_EQ(parse({}, &options).exit_status, -1);
    EXPECT_EQ(options.command, Command::ALL);
    EXPECT_FALSE(options.json);

    EXPECT_EQ(parse({"--json", "latency", "--min", "8k", "--max", "1m", "--stride", "128",
                     "--pages", "huge", "--quick", "--output", "out.json"},
                    &options)
                  .exit_status,
              -1);
    EXPECT_EQ(options.command, Command::LATENCY);
    EXPECT_TRUE(options.json);
    EXPECT_TRUE(options.quick);
    EXPECT_EQ(options.output, "out.json");
    EXPECT_EQ(options.latency.min_bytes, 8192u);
    EXPECT_EQ(options.latency.max_bytes, MIB);
    EXPECT_EQ(options.latency.stride, 128u);
    EXPECT_EQ(options.latency.pages, Pages::HUGE);
    EXPECT_EQ(options.latency.sizes_per_doubling, 1);

    EXPECT_EQ(
        parse({"bandwidth", "--op", "copy,read,copy", "--workers", "4,1", "--size", "8M"}, &options)
            .exit_status,
        -1);
    EXPECT_EQ(options.command, Command::BANDWIDTH);
    EXPECT_EQ(options.bandwidth.ops,
              (std::vector<BandwidthOp>{BandwidthOp::COPY, BandwidthOp::READ}));
    EXPECT_EQ(options.bandwidth.workers, (std::vector<int>{4, 1}));
    EXPECT_EQ(options.bandwidth.size_bytes, 8000000u);

    for (const char* name : {"all", "pipe", "syscall"}) {
        EXPECT_EQ(parse({name, "--quick"}, &options).exit_status, -1) << name;
    }
    EXPECT_EQ(options.command, Command::SYSCALL);
}

TEST(BoardmarkOptions, DefaultsFollowTheCachesAndTheAvailableMemory) {
    Options options;
    // Caches unknown: 32m for both; two sizes per doubling; 1 and all CPUs.
    parse({}, &options, board(0, 0, 4));
    EXPECT_EQ(options.latency.min_bytes, 4096u);
    EXPECT_EQ(options.latency.max_bytes, 32 * MIB);
    EXPECT_EQ(options.latency.stride, 64u);
    EXPECT_EQ(options.latency.pages, Pages::DEFAULT);
    EXPECT_EQ(options.latency.sizes_per_doubling, 2);
    EXPECT_EQ(options.bandwidth.size_bytes, 32 * MIB);
    EXPECT_EQ(options.bandwidth.workers, (std::vector<int>{1, 4}));
    EXPECT_EQ(options.bandwidth.ops.size(), 3u);

    // A 16 MiB cache: four and eight times that; the L1 line as the stride.
    MachineFacts big = board(16 * MIB, 0, 1);
    big.l1_line_bytes = 128;
    parse({}, &options, big);
    EXPECT_EQ(options.latency.max_bytes, 64 * MIB);
    EXPECT_EQ(options.latency.stride, 128u);
    EXPECT_EQ(options.bandwidth.size_bytes, 128 * MIB);
    EXPECT_EQ(options.bandwidth.workers, (std::vector<int>{1}));

    // 100 MiB available: a quarter of it, for all of bandwidth's buffers
    // (two per worker), in whole MiB.
    parse({}, &options, board(16 * MIB, 100 * MIB, 2));
    EXPECT_EQ(options.latency.max_bytes, 25 * MIB);
    EXPECT_EQ(options.bandwidth.size_bytes, 6 * MIB);
}

TEST(BoardmarkOptions, HelpListsEverySubcommandAndOptionWithItsDefault) {
    Options options;
    const ParseOutcome help = parse({"--help"}, &options, board(0, 0, 2));
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    for (const char* word : {"all",
                             "latency",
                             "bandwidth",
                             "pipe",
                             "syscall",
                             "--json",
                             "--output",
                             "--quick",
                             "--version",
                             "--min SIZE",
                             "(default 4k)",
                             "--max SIZE",
                             "(default 32m:",
                             "--stride",
                             "(default 64:",
                             "--pages",
                             "(default default)",
                             "--op",
                             "(default read,write,copy)",
                             "--size",
                             "--workers",
                             "(default 1,2:"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(parse({"latency", "-h"}, &options).out, help.out);
    const ParseOutcome version = parse({"--version"}, &options);
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, "boardmark " BOARDMARK_VERSION "\n");
}

TEST(BoardmarkOptions, SizesTakeTheLibrarysUnits) {
    uint64_t bytes = 0;
    ASSERT_TRUE(read_size("64k", &bytes));
    EXPECT_EQ(bytes, 65536u);
    ASSERT_TRUE(read_size("3M", &bytes));
    EXPECT_EQ(bytes, 3000000u);
    ASSERT_TRUE(read_size("1g", &bytes));
    EXPECT_EQ(bytes, 1073741824u);
    ASSERT_TRUE(read_size("18446744073709551615", &bytes));
    EXPECT_EQ(bytes, UINT64_MAX);
    for (const char* bad : {"", "k", "-1", "+4k", "4kb", "4x", "0", "0k", "17179869184g",
                            "18446744073709551616", " 4k"}) {
        EXPECT_FALSE(read_size(bad, &bytes)) << bad;
    }
}

TEST(BoardmarkOptions, RefusalsThatNameWhereAValueBelongs) {
    const std::string hint = "\n(boardmark --help lists the options)\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"latency", "--min", "100"},
         "boardmark: --min: 100 is not a multiple of the stride (64 bytes)\n"},
        {{"latency", "--max", "1000k", "--stride", "24"},
         "boardmark: --max: 1000k is not a multiple of the stride (24 bytes)\n"},
        {{"pipe", "--max", "4m"}, "boardmark: --max is an option of latency, not of pipe" + hint},
        {{"--size=1m"},
         "boardmark: --size is an option of bandwidth, not of boardmark without a subcommand" +
             hint},
        {{"latency", "--chains", "17"},
         "boardmark: --chains: 17 is not a chain count from 1 to 16\n"},
        {{"--summary", "--json"}, "boardmark: --summary and --json: choose one\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(usage_error(c.args), c.err);
}

TEST(BoardmarkOptions, ChainsAndSummary) {
    Options options;
    ASSERT_EQ(parse({"latency"}, &options).exit_status, -1);
    EXPECT_EQ(options.latency.chains, 1);
    EXPECT_FALSE(options.summary);
    ASSERT_EQ(parse({"--summary", "latency", "--chains", "4"}, &options).exit_status, -1);
    EXPECT_EQ(options.latency.chains, 4);
    EXPECT_TRUE(options.summary);
}

}  // namespace
