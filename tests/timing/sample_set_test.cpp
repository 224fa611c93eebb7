#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
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

}  // namespace
