// apply_cpu_placement: which values of QUENTAR_SCHED select which policy,
// and where each policy puts a worker. Every placement runs in a fresh child
// with real affinity calls; expectations come from the online count and the
// allowed set the child inherits.
#include <sched.h>

#include <string>
#include <vector>

#include "placement_test_util.h"

namespace {

class Policy : public ::testing::Test {
   protected:
    void SetUp() override {
        allowed = allowed_cpus();
        online = real_online();
        ASSERT_FALSE(allowed.empty());
        ASSERT_GE(online, 1);
    }
    std::vector<int> allowed;
    int online = 0;
};

TEST_F(Policy, UnsetDefaultAndUnknownValuesLeaveAffinityUntouched) {
    const char* values[] = {nullptr,     "DEFAULT", "default", "Default",          "",
                            "FASTEST",   "CUSTOM",  "custom",  "CUSTOM_SPREAD",    "BALANCED ",
                            " BALANCED", "SINGLEX", "UNIQUE_", "BALANCED_SPREADX", "CUSTOM_1 2",
                            "CUSTOM\t1"};
    for (const char* value : values) {
        for (int worker : {0, 1}) {
            PlacementCase c;
            c.policy = value;
            c.worker = worker;
            EXPECT_EQ(place_in_child(c), placed(0, allowed))
                << "QUENTAR_SCHED=" << (value ? value : "(unset)") << " worker " << worker;
        }
    }
}

TEST_F(Policy, KeywordsMatchWithoutRegardToCase) {
    struct Form {
        const char* value;
        int position;  // for worker 1, slot 0, extra_slots 0
    };
    const int spread1 = reference_spread(1, online) % online;
    const Form forms[] = {
        {"SINGLE", 0},
        {"single", 0},
        {"SiNgLe", 0},
        {"BALANCED", 1 % online},
        {"balanced", 1 % online},
        {"Balanced", 1 % online},
        {"BALANCED_SPREAD", spread1},
        {"balanced_spread", spread1},
        {"UNIQUE", 1 % online},
        {"unique", 1 % online},
        {"UNIQUE_SPREAD", spread1},
        {"Unique_Spread", spread1},
        {"CUSTOM 1", 1 % online},
        {"custom 1", 1 % online},
        {"CUSTOM_SPREAD 0 1", 1 % online},
        {"custom_spread 0 1", 1 % online},
    };
    for (const Form& form : forms) {
        PlacementCase c;
        c.policy = form.value;
        c.worker = 1;
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, form.position))
            << "QUENTAR_SCHED=" << form.value;
    }
}

TEST_F(Policy, SinglePinsEveryWorkerToTheLowestAllowedCpu) {
    for (int worker = 0; worker < 4; ++worker) {
        PlacementCase c;
        c.policy = "single";
        c.worker = worker;
        EXPECT_EQ(place_in_child(c), placed(0, {allowed.front()})) << "worker " << worker;
    }
}

TEST_F(Policy, BalancedPlacesWorkerIndexModuloOnlineCount) {
    for (int worker = 0; worker < 2 * online + 2; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED";
        c.worker = worker;
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, worker % online)) << "worker " << worker;
    }
}

TEST_F(Policy, BalancedWorkerOneRunsOnlyOnAllowedPositionOne) {
    if (allowed.size() < 2 || online < 2) GTEST_SKIP() << "needs two allowed CPUs";
    const std::string text = in_child([]() -> std::string {
        setenv("QUENTAR_SCHED", "BALANCED", 1);
        const int r = apply_cpu_placement(1, 0, 0);
        return placed(r, allowed_cpus()) + " running on " + std::to_string(sched_getcpu());
    });
    EXPECT_EQ(text, placed(0, {allowed[1]}) + " running on " + std::to_string(allowed[1]));
}

TEST_F(Policy, BalancedCountsPositionsInARestrictedAllowedSet) {
    // The analogue of "only CPUs 2 and 3 of 4 allowed": positions 0, 1, ...
    // are the restricted set's CPUs in order, never the CPU numbers.
    const std::vector<int> upper = upper_half(allowed);
    for (int worker = 0; worker < 4; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED";
        c.worker = worker;
        c.allowed = upper;
        EXPECT_EQ(place_in_child(c), pinned_at(upper, worker % online)) << "worker " << worker;
    }
}

TEST_F(Policy, BalancedSpreadPlacesTheSpreadOfTheWorkerIndex) {
    for (int worker = 0; worker < 8; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED_SPREAD";
        c.worker = worker;
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, reference_spread(worker, online) % online))
            << "worker " << worker;
    }
}

TEST_F(Policy, UniqueCombinesWorkerSlotAndExtraSlots) {
    struct Args {
        int worker, slot, extra_slots;
    };
    for (const Args& a : {Args{2, 1, 3}, Args{0, 1, 1}, Args{1, 0, 1}, Args{3, 0, 0}}) {
        const int index = a.worker * (a.extra_slots + 1) + a.slot;
        PlacementCase c;
        c.policy = "UNIQUE";
        c.worker = a.worker;
        c.slot = a.slot;
        c.extra_slots = a.extra_slots;
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, index % online)) << "index " << index;
        c.policy = "UNIQUE_SPREAD";
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, reference_spread(index, online) % online))
            << "spread of index " << index;
    }
}

TEST_F(Policy, DriverArgumentsMakeUniqueLikeBalancedAndCustomSpreadLikeCustom) {
    for (int worker = 0; worker < 4; ++worker) {
        PlacementCase c;
        c.worker = worker;
        c.policy = "BALANCED";
        const std::string balanced = place_in_child(c);
        c.policy = "UNIQUE";
        EXPECT_EQ(place_in_child(c), balanced) << "worker " << worker;
        c.policy = "BALANCED_SPREAD";
        const std::string spread = place_in_child(c);
        c.policy = "UNIQUE_SPREAD";
        EXPECT_EQ(place_in_child(c), spread) << "worker " << worker;
        c.policy = "CUSTOM 1 0 0";
        const std::string custom = place_in_child(c);
        c.policy = "CUSTOM_SPREAD 1 0 0";
        EXPECT_EQ(place_in_child(c), custom) << "worker " << worker;
    }
}

TEST_F(Policy, CustomPicksTheListEntryOfTheWorker) {
    const int entries[] = {3, 1, 3};
    for (int worker = 0; worker < 3; ++worker) {
        PlacementCase c;
        c.policy = "CUSTOM 3 1";
        c.worker = worker;
        EXPECT_EQ(place_in_child(c), pinned_at(allowed, entries[worker] % online))
            << "worker " << worker;
    }
}

TEST_F(Policy, CustomSpreadPicksTheEntryOfTheUniqueIndex) {
    // worker 1, slot 1, extra_slots 1: index 3, the only entry 1 in the list.
    PlacementCase c;
    c.policy = "CUSTOM_SPREAD 0 0 0 1";
    c.worker = 1;
    c.slot = 1;
    c.extra_slots = 1;
    EXPECT_EQ(place_in_child(c), pinned_at(allowed, 1 % online));
}

TEST_F(Policy, CustomWithoutDigitsPinsToTheLowestAllowedCpu) {
    for (const char* value : {"CUSTOM ", "CUSTOM none", "CUSTOM_SPREAD ", "custom ,;-"}) {
        for (int worker = 0; worker < 3; ++worker) {
            PlacementCase c;
            c.policy = value;
            c.worker = worker;
            EXPECT_EQ(place_in_child(c), placed(0, {allowed.front()}))
                << "QUENTAR_SCHED=\"" << value << "\" worker " << worker;
        }
    }
}

TEST_F(Policy, CustomListIsParsedOnceAndSharedByBothKeywords) {
    const std::string text = in_child([]() -> std::string {
        setenv("QUENTAR_SCHED", "CUSTOM 1", 1);
        const int first_result = apply_cpu_placement(0, 0, 0);
        const std::string first = placed(first_result, allowed_cpus());
        setenv("QUENTAR_SCHED", "CUSTOM_SPREAD 0", 1);  // the list stays 1
        const int second_result = apply_cpu_placement(0, 0, 0);
        const std::string second = placed(second_result, allowed_cpus());
        return first + "; " + second;
    });
    EXPECT_EQ(text, pinned_at(allowed, 1 % online) + "; " + pinned_at(allowed, 1 % online));
}

TEST_F(Policy, PolicyIsReadAfreshAtEveryCall) {
    const std::string text = in_child([]() -> std::string {
        setenv("QUENTAR_SCHED", "BALANCED", 1);
        const int first_result = apply_cpu_placement(1, 0, 0);
        const std::string first = placed(first_result, allowed_cpus());
        setenv("QUENTAR_SCHED", "SINGLE", 1);
        const int second_result = apply_cpu_placement(1, 0, 0);
        const std::string second = placed(second_result, allowed_cpus());
        setenv("QUENTAR_SCHED", "DEFAULT", 1);
        const int third_result = apply_cpu_placement(1, 0, 0);
        const std::string third = placed(third_result, allowed_cpus());
        return first + "; " + second + "; " + third;
    });
    EXPECT_EQ(text, pinned_at(allowed, 1 % online) + "; " + pinned_at(allowed, 0) + "; " +
                        pinned_at(allowed, 0));
}

TEST_F(Policy, FailedPinningMakesTheResultNegative) {
    // A negative index from a list entry is a position no allowed CPU has.
    const std::string text = in_child([]() -> std::string {
        setenv("QUENTAR_SCHED", "CUSTOM 99999999999999999999999", 1);
        int r = 0;
        const std::string err = capture_stderr([&r]() { r = apply_cpu_placement(0, 0, 0); });
        return "negative " + std::to_string(r < 0) + " message " + err;
    });
    int entry = 0;
    std::sscanf("99999999999999999999999", "%d", &entry);
    if (entry % online >= 0) {
        // Where sscanf saturates at INT_MAX the entry is a valid position.
        EXPECT_EQ(text.substr(0, 10), "negative 0");
    } else {
        EXPECT_EQ(text.substr(0, 46), "negative 1 message sched_setaffinity:: Invalid");
    }
}

// Pretending other online counts: the reduction modulo the online count and
// the spread for machines this one is not.
TEST_F(Policy, BalancedSpreadOnEightOnlineCpus) {
    const int positions[] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (int worker = 0; worker < 8; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED_SPREAD";
        c.worker = worker;
        c.online = 8;
        const std::string text = place_in_child(c);
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, pinned_at(allowed, positions[worker])) << "worker " << worker;
    }
}

TEST_F(Policy, BalancedSpreadOnSixOnlineCpusFoldsSixToZero) {
    const int positions[] = {0, 4, 2, 0, 1, 5};
    for (int worker = 0; worker < 6; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED_SPREAD";
        c.worker = worker;
        c.online = 6;
        const std::string text = place_in_child(c);
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, pinned_at(allowed, positions[worker])) << "worker " << worker;
    }
}

TEST_F(Policy, IndicesAreReducedModuloTheOnlineCount) {
    struct Case {
        const char* policy;
        int worker;
        int online;
        int position;
    };
    const Case cases[] = {
        {"CUSTOM 4", 0, 3, 1},    // 4 mod 3, not 4 mod the allowed count
        {"BALANCED", 3, 3, 0},    // 3 mod 3
        {"BALANCED", 5, 3, 2},    // 5 mod 3
        {"CUSTOM 9", 0, 4, 1},    // 9 mod 4
        {"UNIQUE", 4, 3, 1},      // 4 mod 3
        {"CUSTOM 3 1", 2, 8, 3},  // entries 3, 1, 3 on 8 CPUs
    };
    for (const Case& k : cases) {
        PlacementCase c;
        c.policy = k.policy;
        c.worker = k.worker;
        c.online = k.online;
        const std::string text = place_in_child(c);
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, pinned_at(allowed, k.position))
            << k.policy << " worker " << k.worker << " on " << k.online << " online";
    }
}

TEST_F(Policy, BalancedOnFourOnlineWithOnlyTheUpperCpusAllowed) {
    const std::vector<int> upper = upper_half(allowed);
    for (int worker = 0; worker < 6; ++worker) {
        PlacementCase c;
        c.policy = "BALANCED";
        c.worker = worker;
        c.online = 4;
        c.allowed = upper;
        const std::string text = place_in_child(c);
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, pinned_at(upper, worker % 4)) << "worker " << worker;
    }
}

TEST_F(Policy, ManyOnlineCpusStillPin) {
    // 100 online CPUs: seven 32-bit words, which a 64-bit kernel only takes
    // as four whole unsigned longs.
    for (int online_count : {16, 33, 100, 1000}) {
        PlacementCase c;
        c.policy = "BALANCED";
        c.worker = 1;
        c.online = online_count;
        const std::string text = place_in_child(c);
        SKIP_IF_CANNOT_SET_UP(text);
        EXPECT_EQ(text, pinned_at(allowed, 1)) << online_count << " online";
    }
}

}  // namespace
