// The latency sweep: its size ladder, the chase it builds, and the machine
// facts its defaults come from.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "machine.h"
#include "measurements.h"

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * KIB;

TEST(SizeLadder, TwoSizesPerDoublingFromMinToMax) {
    const std::vector<uint64_t> ladder = size_ladder(4 * KIB, 32 * MIB, 2);
    ASSERT_EQ(ladder.size(), 27u);  // 4k, 6k, 8k, ..., 24m, 32m
    EXPECT_EQ(ladder[0], 4 * KIB);
    EXPECT_EQ(ladder[1], 6 * KIB);
    EXPECT_EQ(ladder[2], 8 * KIB);
    EXPECT_EQ(ladder[25], 24 * MIB);
    EXPECT_EQ(ladder[26], 32 * MIB);
    for (size_t i = 1; i < ladder.size(); ++i) {
        const double ratio = static_cast<double>(ladder[i]) / static_cast<double>(ladder[i - 1]);
        EXPECT_TRUE(ratio == 1.5 || ratio == 4.0 / 3) << ladder[i];
    }
    const std::vector<uint64_t> quick = size_ladder(4 * KIB, 32 * MIB, 1);
    ASSERT_EQ(quick.size(), 14u);
    for (size_t i = 1; i < quick.size(); ++i) EXPECT_EQ(quick[i], 2 * quick[i - 1]);
}

TEST(SizeLadder, EndsOffTheLadderAreKept) {
    EXPECT_EQ(size_ladder(5000, 20000, 2),
              (std::vector<uint64_t>{5000, 6144, 8192, 12288, 16384, 20000}));
    EXPECT_EQ(size_ladder(4096, 4096, 2), (std::vector<uint64_t>{4096}));
    EXPECT_EQ(size_ladder(64, 100, 1), (std::vector<uint64_t>{64, 100}));
    EXPECT_EQ(size_ladder(1ULL << 62, UINT64_MAX, 2),
              (std::vector<uint64_t>{1ULL << 62, 3ULL << 61, 1ULL << 63, UINT64_MAX}));
}

// Follows the chase from its start for one cycle: every slot exactly once,
// each at a whole stride from the base, and back at the start.
void expect_one_cycle(size_t slots, size_t stride) {
    std::vector<char> memory(slots * stride + alignof(void*));
    char* base = memory.data() +
                 (alignof(void*) - reinterpret_cast<uintptr_t>(memory.data()) % alignof(void*)) %
                     alignof(void*);
    void* start = build_chase(base, slots, stride);
    ASSERT_NE(start, nullptr);
    std::set<size_t> seen;
    void* p = start;
    for (size_t step = 0; step < slots; ++step) {
        const size_t offset = static_cast<size_t>(static_cast<char*>(p) - base);
        ASSERT_LT(offset, slots * stride) << "slots " << slots << ", stride " << stride;
        ASSERT_EQ(offset % stride, 0u) << "slots " << slots << ", stride " << stride;
        ASSERT_TRUE(seen.insert(offset / stride).second)
            << "slot " << offset / stride << " visited twice, slots " << slots << ", stride "
            << stride;
        p = *static_cast<void**>(p);
    }
    EXPECT_EQ(p, start) << "slots " << slots << ", stride " << stride;
}

TEST(Chase, VisitsEverySlotOncePerCycle) {
    for (size_t stride : {sizeof(void*), size_t{64}, size_t{192}, size_t{4096}}) {
        for (size_t slots :
             {size_t{1}, size_t{2}, size_t{3}, size_t{64}, size_t{1000}, size_t{4099}}) {
            expect_one_cycle(slots, stride);
        }
    }
    // A second chase over the same memory is a new cycle of its own.
    expect_one_cycle(1000, 64);
    EXPECT_EQ(build_chase(nullptr, 0, 64), nullptr);
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(MachineFacts, CachesAndMemoryFromSysfsAndMeminfo) {
    char dir_template[] = "/tmp/boardmark_facts.XXXXXX";
    const std::string root = mkdtemp(dir_template);
    const std::string cpu0 = root + "/cpu0/cache";
    const std::string cpu4 = root + "/cpu4/cache";
    for (const std::string& dir :
         {root + "/cpu0", cpu0, cpu0 + "/index0", cpu0 + "/index1", cpu0 + "/index2",
          root + "/cpu4", cpu4, cpu4 + "/index0", cpu4 + "/index3"}) {
        mkdir(dir.c_str(), 0755);
    }
    // A big.LITTLE board: 32K L1 lines of 64 bytes and a 512K L2 on cpu0,
    // a 2M shared L3 seen from cpu4, and a larger instruction cache that
    // does not count.
    const struct {
        std::string dir, level, type, size, line;
    } caches[] = {{cpu0 + "/index0", "1", "Data", "32K", "64"},
                  {cpu0 + "/index1", "1", "Instruction", "4096K", "64"},
                  {cpu0 + "/index2", "2", "Unified", "512K", "64"},
                  {cpu4 + "/index0", "1", "Data", "64K", "128"},
                  {cpu4 + "/index3", "3", "Unified", "2M", "64"}};
    for (const auto& c : caches) {
        write_file(c.dir + "/level", c.level + "\n");
        write_file(c.dir + "/type", c.type + "\n");
        write_file(c.dir + "/size", c.size + "\n");
        write_file(c.dir + "/coherency_line_size", c.line + "\n");
    }
    write_file(root + "/meminfo", "MemTotal:  1000 kB\nMemFree:  500 kB\nMemAvailable:  800 kB\n");
    const MachineFacts facts = read_machine_facts(root, root + "/meminfo");
    EXPECT_EQ(facts.largest_cache_bytes, 2 * MIB);
    EXPECT_EQ(facts.l1_line_bytes, 64u);
    EXPECT_EQ(facts.mem_available_bytes, 800 * KIB);
    EXPECT_GE(facts.online_cpus, 1);
    EXPECT_GE(facts.allowed_cpus, 1);

    // Nothing readable: everything unknown.
    const MachineFacts none = read_machine_facts(root + "/missing", root + "/missing");
    EXPECT_EQ(none.largest_cache_bytes, 0u);
    EXPECT_EQ(none.l1_line_bytes, 0u);
    EXPECT_EQ(none.mem_available_bytes, 0u);
    for (const auto& c : caches) {
        for (const char* name : {"/level", "/type", "/size", "/coherency_line_size"}) {
            unlink((c.dir + name).c_str());
        }
        rmdir(c.dir.c_str());
    }
    unlink((root + "/meminfo").c_str());
    for (const std::string& dir : {cpu0, cpu4, root + "/cpu0", root + "/cpu4", root}) {
        rmdir(dir.c_str());
    }
}

}  // namespace
