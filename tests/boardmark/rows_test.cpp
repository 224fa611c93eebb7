// What boardmark makes of its rows: enough samples for each, and the one-line
// board summary built from them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board_summary.h"
#include "gtest/gtest.h"
#include "session.h"
#include "tables.h"

namespace {

// The driver's default takes 11 samples from one worker with a short
// interval, one per worker otherwise.
TEST(Rows, EveryRowHasAtLeastFiveSamples) {
    const struct {
        int workers;
        int enough_us;
        int repetitions;  // -1: the driver's default
    } cases[] = {
        {1, 5000, -1}, {1, 999999, -1}, {1, 1000000, 5}, {2, 5000, 3},
        {3, 5000, 2},  {4, 1000000, 2}, {5, 5000, 1},    {256, 5000, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(repetitions_for(c.workers, c.enough_us), c.repetitions)
            << c.workers << " workers, " << c.enough_us << " us";
    }
}

// A disturbed row reads as such, with the library's reasons after the
// table; the other rows print as before.
TEST(Rows, DisturbedRowIsMarkedWithItsReasonsAfterTheTable) {
    Table table;
    table.title = "Title";
    table.headers = {"size", "ns"};
    table.rows = {{"4 KiB", "1.00"}, {"8 KiB", "2.00"}};
    mark_disturbed(&table, "worker 0 moved between CPUs 3 times\npre-run: other load\n");
    char* text = nullptr;
    size_t bytes = 0;
    FILE* out = open_memstream(&text, &bytes);
    print_table(out, table);
    std::fclose(out);
    EXPECT_EQ(std::string(text, bytes),
              "\nTitle\nsize       ns\n4 KiB    1.00\n8 KiB !  2.00\n"
              "! 8 KiB: worker 0 moved between CPUs 3 times\n! 8 KiB: pre-run: other load\n");
    std::free(text);
    // Where one cell does not name a row, the note names it by its key cells.
    table.rows = {{"read", "1", "90"}, {"read", "2", "80"}};
    table.notes.clear();
    table.key_columns = 2;
    mark_disturbed(&table, "other load\n");
    EXPECT_EQ(table.rows.back().front(), "read !");
    EXPECT_EQ(table.notes, std::vector<std::string>{"! read 2: other load"});
}

RowRecord row(const char* measurement, uint64_t size, const char* op, int workers, int cpus,
              double value) {
    RowRecord r;
    r.params.measurement = measurement;
    r.params.size = size;
    r.params.op = op;
    r.params.workers = workers;
    r.params.cpus = cpus;
    r.value = value;
    return r;
}

TEST(Rows, BoardSummaryNamesEachCacheWithTheLatencyInsideIt) {
    const CpuCache caches[] = {{1, 64, 32768, "Data", "0"},
                               {1, 64, 49152, "Instruction", "0"},
                               {2, 64, 1048576, "Unified", "0-1"},
                               {1, 64, 32768, "Data", "1"}};
    MachineRecord context{};
    std::strcpy(context.kernel, "6.1.0");
    std::strcpy(context.machine, "aarch64");
    std::strcpy(context.cpu_model, "Cortex-A72");
    context.cache_count = 4;
    context.caches = caches;
    const std::vector<RowRecord> rows = {
        row("latency", 16384, "load", 1, 1, 1.5),
        row("latency", 32768, "load", 1, 1, 2),
        row("latency", 524288, "load", 1, 1, 9.25),
        row("latency", 1048576, "load", 1, 1, 20),
        row("latency", 4194304, "load", 1, 1, 98.04),
        row("bandwidth", 8388608, "read", 1, 1, 4000),
        row("bandwidth", 8388608, "write", 1, 1, 3000),
        row("bandwidth", 8388608, "read", 4, 4, 1500),
        row("pipe", 1, "round_trip", 1, 1, 12.34),
        row("pipe", 1, "round_trip", 1, 2, 20),
        row("syscall", 0, "getppid", 1, 1, 301.6),
    };
    EXPECT_EQ(board_summary(context, rows),
              "Cortex-A72 (aarch64), Linux 6.1.0; L1d 32 KiB 1.5 ns, L2 1 MiB 9.2 ns; memory "
              "98.0 ns at 4 MiB; read 4000 MB/s with 1 worker, 6000 MB/s with 4 workers; pipe "
              "round trip 12.3 us on one CPU, 20.0 us on two CPUs; system call 302 ns");
    // Only what ran: no latency rows, no latencies; the clock after load per policy.
    RowRecord idle = row("clock", 0, "idle", 1, 1, 600);
    RowRecord little = row("clock", 0, "after_load", 1, 1, 1398.6);
    RowRecord big = row("clock", 0, "after_load", 1, 1, 1800);
    idle.params.extra = {{"cpu", "0"}};
    little.params.extra = {{"cpu", "0"}};
    big.params.extra = {{"cpu", "4"}, {"measured_mhz", "1800.0"}};
    EXPECT_EQ(board_summary(context, {idle, little, big}),
              "Cortex-A72 (aarch64), Linux 6.1.0; L1d 32 KiB, L2 1 MiB; clock after load "
              "1399 MHz on CPU 0, 1800 MHz on CPU 4");
    EXPECT_EQ(board_summary(context, {rows.back()}),
              "Cortex-A72 (aarch64), Linux 6.1.0; L1d 32 KiB, L2 1 MiB; system call 302 ns");
}

}  // namespace
