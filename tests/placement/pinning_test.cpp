// pin_to_allowed_cpu and the affinity cache, spread_cpu_index, the custom
// list parser and its run-once cache, and what happens when the kernel or
// the allocator says no. Real affinity calls, each case in a fresh child.
#include <errno.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "internal.h"
#include "placement_test_util.h"

namespace {

using timing_internal::PLACEMENT_MAX_MASK_BYTES;

std::string join(const std::vector<int>& values) {
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += " ";
        text += std::to_string(values[i]);
    }
    return text;
}

// The allowed list as the kernel shows it in /proc, readable even where
// sched_getaffinity is refused.
std::string proc_allowed_list() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Cpus_allowed_list:", 0) == 0) return line;
    }
    return "no Cpus_allowed_list";
}

class Pinning : public ::testing::Test {
   protected:
    void SetUp() override {
        allowed = allowed_cpus();
        ASSERT_FALSE(allowed.empty());
    }
    std::vector<int> allowed;
};

TEST_F(Pinning, PositionsCountAllowedCpusAndWrapOverTheAllowedSet) {
    const std::vector<int> sets[] = {allowed, upper_half(allowed), {allowed.back()}};
    for (const std::vector<int>& set : sets) {
        const int count = static_cast<int>(set.size());
        const std::string text = in_child([&]() -> std::string {
            if (!restrict_to(set)) return CANNOT_SET_UP;
            std::string out;
            for (int position = 0; position < 2 * count + 1; ++position) {
                const int r = pin_to_allowed_cpu(position);
                out += placed(r, allowed_cpus()) + "; ";
            }
            return out;
        });
        std::string expected;
        for (int position = 0; position < 2 * count + 1; ++position) {
            expected += pinned_at(set, position) + "; ";
        }
        EXPECT_EQ(text, expected) << "allowed " << join(set);
    }
}

TEST_F(Pinning, AllowedSetIsReadOnceAndKept) {
    if (allowed.size() < 2) GTEST_SKIP() << "needs two allowed CPUs";
    // After the first pin the process may run on one CPU only, yet position 1
    // still means the second CPU of the set read at the first call.
    const std::string text = in_child([]() -> std::string {
        const int first_result = pin_to_allowed_cpu(0);
        const std::string first = placed(first_result, allowed_cpus());
        const int second_result = pin_to_allowed_cpu(1);
        const std::string second = placed(second_result, allowed_cpus());
        return first + "; " + second;
    });
    EXPECT_EQ(text, pinned_at(allowed, 0) + "; " + pinned_at(allowed, 1));
}

TEST_F(Pinning, ChildForkedAfterUseInheritsTheCache) {
    if (allowed.size() < 2) GTEST_SKIP() << "needs two allowed CPUs";
    const std::string text = in_child([]() -> std::string {
        pin_to_allowed_cpu(0);
        return in_child([]() -> std::string {
            const int r = pin_to_allowed_cpu(1);
            return placed(r, allowed_cpus());
        });
    });
    EXPECT_EQ(text, pinned_at(allowed, 1));
}

TEST_F(Pinning, RefusedSetaffinityIsReportedAndLeavesAffinityAsItWas) {
    // No allowed CPU sits at a negative position: the kernel gets an empty mask.
    const std::string text = in_child([]() -> std::string {
        int r = 0;
        const std::string err = capture_stderr([&r]() { r = pin_to_allowed_cpu(-1); });
        return placed(r, allowed_cpus()) + " | " + err;
    });
    EXPECT_EQ(text, placed(-1, allowed) + " | sched_setaffinity:: " + std::strerror(EINVAL) + "\n");
}

TEST_F(Pinning, RefusedGetaffinityIsReportedOnceAndLaterCallsFailQuietly) {
    const std::string before = proc_allowed_list();
    const std::string text = in_child([]() -> std::string {
        if (!refuse_getaffinity()) return CANNOT_SET_UP;
        int first = 0, second = 0, third = 0;
        const std::string err = capture_stderr([&]() {
            first = pin_to_allowed_cpu(0);
            second = pin_to_allowed_cpu(0);
            setenv("QUENTAR_SCHED", "BALANCED", 1);
            third = apply_cpu_placement(1, 0, 0);
        });
        return std::to_string(first) + " " + std::to_string(second) + " " + std::to_string(third) +
               " | " + err + "| " + proc_allowed_list();
    });
    SKIP_IF_CANNOT_SET_UP(text);
    EXPECT_EQ(text, "-1 -1 -1 | sched_getaffinity:: " + std::string(std::strerror(EPERM)) + "\n| " +
                        before);
}

// Allocators for the out-of-memory cases: fail from the n-th call on.
int allocations_before_failure = 0;
void* failing_allocator(size_t bytes) {
    if (allocations_before_failure <= 0) return nullptr;
    --allocations_before_failure;
    return std::malloc(bytes);
}

TEST_F(Pinning, NoMemoryForTheMasksFailsWithoutTouchingAffinity) {
    for (int granted : {0, 1}) {  // none, or the allowed mask but no target mask
        const std::string text = in_child([granted]() -> std::string {
            allocations_before_failure = granted;
            timing_internal::set_placement_allocator(failing_allocator);
            const int first = pin_to_allowed_cpu(0);
            timing_internal::set_placement_allocator(nullptr);
            // The cache holds no CPU now; memory coming back does not change that.
            const int second = pin_to_allowed_cpu(0);
            return std::to_string(first) + " " + placed(second, allowed_cpus());
        });
        EXPECT_EQ(text, "-1 " + placed(-1, allowed)) << granted << " allocations granted";
    }
}

TEST_F(Pinning, NoMemoryForTheListLeavesItEmpty) {
    const std::string text = in_child([]() -> std::string {
        allocations_before_failure = 0;
        timing_internal::set_placement_allocator(failing_allocator);
        const int first = custom_list_cpu(" 3 1", 0);
        timing_internal::set_placement_allocator(nullptr);
        const int second = custom_list_cpu(" 5", 0);  // the empty list is kept
        return std::to_string(first) + " " + std::to_string(second);
    });
    EXPECT_EQ(text, "0 0");
}

TEST_F(Pinning, NoMemoryAtAllMakesCustomPlacementFail) {
    const std::string text = in_child([]() -> std::string {
        allocations_before_failure = 0;
        timing_internal::set_placement_allocator(failing_allocator);
        setenv("QUENTAR_SCHED", "CUSTOM 1", 1);
        const int r = apply_cpu_placement(0, 0, 0);
        return placed(r, allowed_cpus());
    });
    EXPECT_EQ(text, placed(-1, allowed));
}

TEST(AllowedMask, FirstLengthIsWholeWordsCoveringTheOnlineCount) {
    const size_t word = sizeof(unsigned long);
    // One 32-bit word per 16 online CPUs plus one, rounded up to whole words.
    EXPECT_EQ(timing_internal::placement_mask_bytes(1), word);
    EXPECT_EQ(timing_internal::placement_mask_bytes(15), word);
    EXPECT_EQ(timing_internal::placement_mask_bytes(16), 8u);
    EXPECT_EQ(timing_internal::placement_mask_bytes(31), 8u);
    EXPECT_EQ(timing_internal::placement_mask_bytes(32), word == 8 ? 16u : 12u);
    EXPECT_EQ(timing_internal::placement_mask_bytes(100), word == 8 ? 32u : 28u);
    EXPECT_EQ(timing_internal::placement_mask_bytes(0), word);
    EXPECT_EQ(timing_internal::placement_mask_bytes(-1), word);
}

TEST(AllowedMask, RefusedLengthsAreDoubledUntilTheKernelTakesThem) {
    // One byte is never a whole unsigned long: the kernel says EINVAL.
    unsigned long* mask = nullptr;
    size_t bytes = 0;
    ASSERT_EQ(timing_internal::read_allowed_mask(1, &mask, &bytes), 0);
    ASSERT_NE(mask, nullptr);
    EXPECT_GE(bytes, sizeof(unsigned long));
    EXPECT_EQ(bytes % sizeof(unsigned long), 0u);
    std::vector<int> read;
    for (size_t bit = 0; bit < 8 * bytes; ++bit) {
        if ((mask[bit / (8 * sizeof(unsigned long))] >> (bit % (8 * sizeof(unsigned long)))) & 1)
            read.push_back(static_cast<int>(bit));
    }
    std::free(mask);
    EXPECT_EQ(read, allowed_cpus());
}

TEST(AllowedMask, DoublingStopsAtTheBound) {
    unsigned long* mask = nullptr;
    size_t bytes = 0;
    // Never a whole word, and doubling it passes the bound at once.
    errno = 0;
    EXPECT_EQ(timing_internal::read_allowed_mask(PLACEMENT_MAX_MASK_BYTES - 1, &mask, &bytes), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mask, nullptr);
    EXPECT_EQ(bytes, 0u);
}

TEST(AllowedMask, ReadRefusedForOtherReasonsIsNotRetried) {
    const std::string text = in_child([]() -> std::string {
        if (!refuse_getaffinity()) return CANNOT_SET_UP;
        allocations_before_failure = 100;
        timing_internal::set_placement_allocator(failing_allocator);
        unsigned long* mask = nullptr;
        size_t bytes = 0;
        const int r = timing_internal::read_allowed_mask(8, &mask, &bytes);
        const int error = errno;
        return std::to_string(r) + " " + std::to_string(error == EPERM) + " " +
               std::to_string(100 - allocations_before_failure);
    });
    SKIP_IF_CANNOT_SET_UP(text);
    EXPECT_EQ(text, "-1 1 1");  // one attempt, one allocation
}

// spread_cpu_index for pretended online counts.
TEST(Spread, ReversesTheLowBitsTheOnlineCountNeeds) {
    struct Case {
        int online;
        std::vector<int> indices;
        std::vector<int> spread;
    };
    const Case cases[] = {
        {1, {0, 1, 2, 3}, {0, 1, 0, 1}},
        {2, {0, 1, 2, 3}, {0, 1, 0, 1}},
        {3, {0, 1, 2, 3}, {0, 2, 1, 3}},
        {4, {0, 1, 2, 3}, {0, 2, 1, 3}},
        {6, {0, 1, 2, 3, 4, 5}, {0, 4, 2, 6, 1, 5}},
        {8, {0, 1, 2, 3, 4, 5, 6, 7}, {0, 4, 2, 6, 1, 5, 3, 7}},
        {8, {8, 9, 15, 14}, {0, 4, 7, 3}},  // bits 3 and up are dropped
        {9, {1, 2, 3}, {8, 4, 12}},
        {16, {1, 3, 5}, {8, 12, 10}},
        {17, {1, 2}, {16, 8}},
    };
    for (const Case& k : cases) {
        const std::string text = in_child([&k]() -> std::string {
            if (!pretend_online_cpus(k.online)) return CANNOT_SET_UP;
            std::vector<int> out;
            for (int index : k.indices) out.push_back(spread_cpu_index(index));
            return join(out);
        });
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, join(k.spread)) << k.online << " online";
    }
}

TEST(Spread, MatchesTheBitReversalForThisMachine) {
    const int online = real_online();
    for (int index = 0; index < 4 * online + 4; ++index) {
        EXPECT_EQ(spread_cpu_index(index), reference_spread(index, online)) << "index " << index;
    }
}

TEST(OnlineCount, IsWhatSysconfSays) {
    EXPECT_EQ(online_cpu_count(), real_online());
    const std::string text = in_child([]() -> std::string {
        if (!pretend_online_cpus(5)) return CANNOT_SET_UP;
        return std::to_string(online_cpu_count());
    });
    SKIP_IF_CANNOT_SET_UP(text);
    EXPECT_EQ(text, "5");
}

// The custom list: each case a fresh process, since the list is built once.
std::string list_entries(const char* text, int count) {
    return in_child([text, count]() -> std::string {
        std::vector<int> out;
        for (int index = 0; index < count; ++index) out.push_back(custom_list_cpu(text, index));
        return join(out);
    });
}

TEST(CustomList, EveryNonDigitSeparatesEntries) {
    EXPECT_EQ(list_entries(" 3 1", 3), "3 1 3");
    EXPECT_EQ(list_entries("5,x7", 2), "5 7");
    EXPECT_EQ(list_entries("-4;2\t 8abc9\n", 5), "4 2 8 9 4");
    EXPECT_EQ(list_entries("+12--0034", 3), "12 34 12");
    EXPECT_EQ(list_entries("0 1", 3), "0 1 0");
}

TEST(CustomList, NoDigitsMeansNoEntriesAndZero) {
    EXPECT_EQ(list_entries("", 3), "0 0 0");
    EXPECT_EQ(list_entries(" ,;-x", 2), "0 0");
    EXPECT_EQ(list_entries(nullptr, 2), "0 0");
}

TEST(CustomList, ReadsNothingBeyondTheTerminatingZero) {
    static const char text[] =
        "0 1\0"
        "9 9";
    EXPECT_EQ(list_entries(text, 3), "0 1 0");
}

TEST(CustomList, OverlongRunsConvertAsSscanfDoes) {
    const char* text = " 99999999999999999999 4";
    int first = 0;
    std::sscanf("99999999999999999999", "%d", &first);
    EXPECT_EQ(list_entries(text, 2), std::to_string(first) + " 4");
}

TEST(CustomList, IsBuiltOnceAndKept) {
    const std::string text = in_child([]() -> std::string {
        const int a = custom_list_cpu(" 3 1", 1);
        const int b = custom_list_cpu(" 7 8 9", 1);  // still 3 1
        const int c = custom_list_cpu("", 2);
        return std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
    });
    EXPECT_EQ(text, "1 1 3");
}

TEST(CustomList, EmptyListStaysEmpty) {
    const std::string text = in_child([]() -> std::string {
        const int a = custom_list_cpu(" none", 0);
        const int b = custom_list_cpu(" 7", 0);
        return std::to_string(a) + " " + std::to_string(b);
    });
    EXPECT_EQ(text, "0 0");
}

TEST(CustomList, NegativeIndexStaysInsideTheList) {
    const std::string text = in_child([]() -> std::string {
        const int a = custom_list_cpu("3 1 4", -1);
        const int b = custom_list_cpu("", -3);
        return std::to_string(a) + " " + std::to_string(b);
    });
    EXPECT_EQ(text, "4 3");
}

}  // namespace
