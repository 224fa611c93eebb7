#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

// A heap set sized the library's way.
struct OwnedSet {
    explicit OwnedSet(int n) : bytes(static_cast<size_t>(sample_set_bytes(n)) / 8 + 1) {
        sample_set_clear(get());
    }
    SampleSet* get() { return reinterpret_cast<SampleSet*>(bytes.data()); }
    std::vector<uint64_t> bytes;  // 8-byte aligned storage
};

std::vector<std::pair<uint64_t, uint64_t>> contents(SampleSet* set) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (int i = 0; i < set->count; ++i)
        out.emplace_back(set->samples[i].elapsed_us, set->samples[i].iterations);
    return out;
}

using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;

TEST(SampleSetBytes, RoomForAtLeastElevenSamples) {
    EXPECT_EQ(sample_set_bytes(0), 184);
    EXPECT_EQ(sample_set_bytes(11), 184);
    EXPECT_EQ(sample_set_bytes(-5), 184);
    EXPECT_EQ(sample_set_bytes(12), 200);
    EXPECT_EQ(sample_set_bytes(101), 1624);
    EXPECT_EQ(sample_set_bytes(134217727), 2147483640);  // the largest that fits an int
    EXPECT_EQ(sample_set_bytes(134217728), -1);
    EXPECT_EQ(sample_set_bytes(INT_MAX), -1);
}

TEST(SampleSetLayout, CountAtByteZeroSamplesFromByteEight) {
    EXPECT_EQ(offsetof(SampleSet, count), 0u);
    EXPECT_EQ(offsetof(SampleSet, samples), 8u);
    EXPECT_EQ(sizeof(Sample), 16u);
    EXPECT_EQ(offsetof(Sample, iterations), 8u);
}

TEST(SampleSetAdd, KeepsDescendingTimePerIterationAndPublishesMedianAndMinimum) {
    OwnedSet s(3);
    sample_set_add(100, 10, s.get());
    sample_set_add(50, 10, s.get());
    sample_set_add(300, 10, s.get());
    EXPECT_EQ(contents(s.get()), (Pairs{{300, 10}, {100, 10}, {50, 10}}));
    select_sample_set(s.get());
    EXPECT_EQ(clock_elapsed_us(), 100u);
    EXPECT_EQ(clock_iterations(), 10u);
    publish_minimum();
    EXPECT_EQ(clock_elapsed_us(), 50u);
    EXPECT_EQ(clock_iterations(), 10u);
    publish_median();
    EXPECT_EQ(clock_elapsed_us(), 100u);
    EXPECT_EQ(contents(s.get()).size(), 3u);  // publishing leaves the set alone
}

TEST(SampleSetAdd, EqualRatioGoesBehindEarlierSamples) {
    OwnedSet s(3);
    sample_set_add(100, 10, s.get());
    sample_set_add(200, 20, s.get());
    sample_set_add(10, 1, s.get());
    EXPECT_EQ(contents(s.get()), (Pairs{{100, 10}, {200, 20}, {10, 1}}));
}

TEST(SampleSetAdd, ZeroIterationsIsInfiniteAndZeroOverZeroGoesLast) {
    OwnedSet s(5);
    sample_set_add(5, 1, s.get());
    sample_set_add(7, 0, s.get());  // infinite ratio: in front
    sample_set_add(9, 0, s.get());  // equal infinity: behind the first one
    EXPECT_EQ(contents(s.get()), (Pairs{{7, 0}, {9, 0}, {5, 1}}));
    sample_set_add(0, 0, s.get());  // NaN compares false: to the end
    EXPECT_EQ(contents(s.get()).back(), (std::pair<uint64_t, uint64_t>{0, 0}));
    sample_set_add(1, 100, s.get());  // a NaN stored at the end is skipped over
    EXPECT_EQ(contents(s.get()), (Pairs{{7, 0}, {9, 0}, {5, 1}, {0, 0}, {1, 100}}));
}

TEST(SampleSetAddNonzero, IgnoresZeroElapsed) {
    OwnedSet s(2);
    sample_set_add_nonzero(0, 5, s.get());
    EXPECT_EQ(s.get()->count, 0);
    sample_set_add_nonzero(3, 5, s.get());
    EXPECT_EQ(contents(s.get()), (Pairs{{3, 5}}));
}

TEST(PublishMedian, EvenSetAveragesElapsedAndIterationsSeparately) {
    OwnedSet s(2);
    sample_set_add(7, 2, s.get());
    sample_set_add(9, 4, s.get());
    select_sample_set(s.get());
    EXPECT_EQ(clock_elapsed_us(), 8u);
    EXPECT_EQ(clock_iterations(), 3u);

    OwnedSet t(2);
    sample_set_add(5, 1, t.get());
    sample_set_add(8, 2, t.get());
    select_sample_set(t.get());
    EXPECT_EQ(clock_elapsed_us(), 6u);  // floor of 6.5
    EXPECT_EQ(clock_iterations(), 1u);  // floor of 1.5
}

TEST(PublishMedian, SumsWrapModulo2To64BeforeHalving) {
    OwnedSet s(2);
    const uint64_t big = 0xFFFFFFFFFFFFFFF0ULL;
    sample_set_add(big, big, s.get());
    sample_set_add(big, big, s.get());
    select_sample_set(s.get());
    EXPECT_EQ(clock_iterations(), (big + big) >> 1);
}

TEST(PublishMedian, EmptySetPublishesZeroOverOne) {
    OwnedSet s(0);
    clock_store_elapsed(99);
    clock_set_iterations(99);
    select_sample_set(s.get());
    EXPECT_EQ(clock_elapsed_us(), 0u);
    EXPECT_EQ(clock_iterations(), 1u);
    clock_store_elapsed(99);
    publish_minimum();
    EXPECT_EQ(clock_elapsed_us(), 0u);
    EXPECT_EQ(clock_iterations(), 1u);
    EXPECT_EQ(current_sample_set(), s.get());
}

TEST(CurrentSampleSet, StartsAsAnEmptyDefaultSetWithRoomForEleven) {
    // Each test runs in its own process, so this is the start-up state.
    SampleSet* initial = current_sample_set();
    ASSERT_NE(initial, nullptr);
    EXPECT_EQ(initial->count, 0);
    for (int i = 0; i < 11; ++i) sample_set_add(static_cast<uint64_t>(i + 1), 1, initial);
    publish_median();
    EXPECT_EQ(clock_elapsed_us(), 6u);
    publish_minimum();
    EXPECT_EQ(clock_elapsed_us(), 1u);
}

TEST(SampleSetRecord, CrossesAPipeBetweenProcessesExactly) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int n = 13;
    const int bytes = sample_set_bytes(n);
    const ChildOutcome child = run_in_child([&] {
        close(fds[0]);
        OwnedSet s(n);
        for (int i = 0; i < n; ++i)
            sample_set_add(1000u + static_cast<uint64_t>(i) * 37u % 101u,
                           (static_cast<uint64_t>(1) << 40) + static_cast<uint64_t>(i), s.get());
        const char* p = reinterpret_cast<const char*>(s.get());
        return write(fds[1], p, static_cast<size_t>(bytes)) == bytes ? 0 : 1;
    });
    close(fds[1]);
    ASSERT_TRUE(child.exited);
    ASSERT_EQ(child.exit_code, 0);

    OwnedSet received(n);
    char* p = reinterpret_cast<char*>(received.get());
    int got = 0;
    while (got < bytes) {
        const ssize_t r = read(fds[0], p + got, static_cast<size_t>(bytes - got));
        ASSERT_GT(r, 0);
        got += static_cast<int>(r);
    }
    close(fds[0]);

    OwnedSet expected(n);
    for (int i = 0; i < n; ++i)
        sample_set_add(1000u + static_cast<uint64_t>(i) * 37u % 101u,
                       (static_cast<uint64_t>(1) << 40) + static_cast<uint64_t>(i), expected.get());
    EXPECT_EQ(received.get()->count, n);
    EXPECT_EQ(contents(received.get()), contents(expected.get()));
}

SampleSummary summary_of(SampleSet* set) {
    SampleSummary summary{-7, -7, -7, -7, -7};
    EXPECT_EQ(sample_set_summarize(set, &summary), 0);
    return summary;
}

TEST(SampleSetSummarize, OddCountTakesTheMiddleSampleAndTheMedianRelativeDeviation) {
    OwnedSet s(3);
    sample_set_add(100, 10, s.get());
    sample_set_add(50, 10, s.get());
    sample_set_add(300, 10, s.get());
    const SampleSummary sum = summary_of(s.get());
    EXPECT_EQ(sum.count, 3);
    EXPECT_EQ(sum.fastest_us, 5.0);
    EXPECT_EQ(sum.median_us, 10.0);
    EXPECT_EQ(sum.slowest_us, 30.0);
    EXPECT_EQ(sum.spread, 0.5);  // deviations 0.5, 0 and 2
}

TEST(SampleSetSummarize, EvenCountAveragesTheTwoMiddleRatiosAndSkipsZeroIterations) {
    OwnedSet s(6);
    for (const auto& [elapsed, iterations] :
         Pairs{{2, 1}, {8, 2}, {24, 3}, {50, 5}, {7, 0}, {0, 0}})
        sample_set_add(elapsed, iterations, s.get());
    const SampleSummary sum = summary_of(s.get());
    EXPECT_EQ(sum.count, 4);
    EXPECT_EQ(sum.fastest_us, 2.0);
    EXPECT_EQ(sum.median_us, 6.0);  // (4 + 8) / 2, where the published median reads 16 / 2
    EXPECT_EQ(sum.slowest_us, 10.0);
    EXPECT_DOUBLE_EQ(sum.spread, 0.5);  // deviations 2/3, 1/3, 1/3, 2/3
}

TEST(SampleSetSummarize, OneSampleHasNoSpreadNorHasAZeroMedian) {
    OwnedSet one(1);
    sample_set_add(30, 3, one.get());
    const SampleSummary sum = summary_of(one.get());
    EXPECT_EQ(sum.count, 1);
    EXPECT_EQ(sum.fastest_us, 10.0);
    EXPECT_EQ(sum.median_us, 10.0);
    EXPECT_EQ(sum.slowest_us, 10.0);
    EXPECT_EQ(sum.spread, 0.0);

    OwnedSet zero(3);
    for (const auto& [elapsed, iterations] : Pairs{{0, 1}, {0, 4}, {5, 1}})
        sample_set_add(elapsed, iterations, zero.get());
    const SampleSummary z = summary_of(zero.get());
    EXPECT_EQ(z.median_us, 0.0);
    EXPECT_EQ(z.slowest_us, 5.0);
    EXPECT_EQ(z.spread, 0.0);
}

TEST(SampleSetSummarize, NothingToSummariseLeavesTheSummaryUntouched) {
    const SampleSummary before{-7, -7, -7, -7, -7};
    SampleSummary sum = before;
    EXPECT_EQ(sample_set_summarize(nullptr, &sum), -1);
    OwnedSet s(2);
    EXPECT_EQ(sample_set_summarize(s.get(), &sum), -1);
    sample_set_add(7, 0, s.get());
    sample_set_add(0, 0, s.get());
    EXPECT_EQ(sample_set_summarize(s.get(), &sum), -1);
    EXPECT_EQ(sum.count, before.count);
    EXPECT_EQ(sum.fastest_us, before.fastest_us);
    EXPECT_EQ(sum.median_us, before.median_us);
    EXPECT_EQ(sum.slowest_us, before.slowest_us);
    EXPECT_EQ(sum.spread, before.spread);
    EXPECT_EQ(sample_set_summarize(s.get(), nullptr), -1);
}

// The summary against sorting copies of the values, on sets with ties and
// zero-iteration samples, built in order or written in any order.
TEST(SampleSetSummarize, AgreesWithSortingOnManySetsAndReadsTheSetOnly) {
    std::mt19937 random(15);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    for (int round = 0; round < 400; ++round) {
        const int n = 1 + static_cast<int>(random() % 40);
        OwnedSet s(n);
        std::vector<double> t;
        for (int i = 0; i < n; ++i) {
            const uint64_t elapsed = random() % (round % 2 ? 50 : 100000);
            const uint64_t iterations = random() % 6;
            if (round % 3 == 0) {
                s.get()->samples[i] = Sample{elapsed, iterations};  // any order
                s.get()->count = i + 1;
            } else {
                sample_set_add(elapsed, iterations, s.get());
            }
            if (iterations != 0) t.push_back(static_cast<double>(elapsed) / iterations);
        }
        const std::vector<uint64_t> bytes = s.bytes;
        SampleSummary sum{};
        if (t.empty()) {
            EXPECT_EQ(sample_set_summarize(s.get(), &sum), -1);
            continue;
        }
        ASSERT_EQ(sample_set_summarize(s.get(), &sum), 0);
        const double m = median(t);
        std::vector<double> deviations;
        for (double x : t) deviations.push_back(std::fabs(x - m) / m);
        EXPECT_EQ(sum.count, static_cast<int32_t>(t.size()));
        EXPECT_EQ(sum.fastest_us, *std::min_element(t.begin(), t.end()));
        EXPECT_EQ(sum.median_us, m);
        EXPECT_EQ(sum.slowest_us, *std::max_element(t.begin(), t.end()));
        EXPECT_EQ(sum.spread, m == 0 ? 0.0 : median(deviations)) << "round " << round;
        EXPECT_EQ(s.bytes, bytes);
    }
}

}  // namespace
