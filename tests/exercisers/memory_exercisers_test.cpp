// sum_words, touch_pages and make_shuffled_offsets.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

// ---- sum_words ----

// Plain word-by-word sum of the whole words in [bytes, bytes + length).
uint32_t reference_sum(const unsigned char* bytes, uint32_t length) {
    uint32_t total = 0;
    for (uint32_t at = 0; at + 4 <= length; at += 4) {
        uint32_t word;
        std::memcpy(&word, bytes + at, 4);
        total += word;
    }
    return total;
}

// Distinct, large word values so that a skipped or repeated word shows.
std::vector<uint32_t> distinct_words(size_t n) {
    std::vector<uint32_t> words(n);
    for (size_t i = 0; i < n; ++i) words[i] = static_cast<uint32_t>(i * 2654435761u + 0x9e37u);
    return words;
}

TEST(SumWords, AdditionsWrapAroundAt32Bits) {
    const uint32_t words[4] = {1, 2, 3, 0xFFFFFFFFu};
    EXPECT_EQ(sum_words(words, 16), 5);
    std::vector<uint32_t> ones(128, 0xFFFFFFFFu);
    EXPECT_EQ(sum_words(ones.data(), 512), -128);
    std::vector<uint32_t> big(256, 0x80000000u);  // every pair cancels out
    EXPECT_EQ(sum_words(big.data(), 1024), 0);
}

TEST(SumWords, IgnoresTrailingPartialWord) {
    const uint32_t words[2] = {10, 20};
    EXPECT_EQ(sum_words(words, 0), 0);
    EXPECT_EQ(sum_words(words, 3), 0);
    EXPECT_EQ(sum_words(words, 4), 10);
    EXPECT_EQ(sum_words(words, 7), 10);
    EXPECT_EQ(sum_words(words, 8), 30);
}

TEST(SumWords, MatchesPlainSumAtEveryPhaseBoundary) {
    const std::vector<uint32_t> words = distinct_words(1024);
    const auto* bytes = reinterpret_cast<const unsigned char*>(words.data());
    const uint32_t lengths[] = {4,    5,    60,   63,   64,   65,   67,   68,   127,  128,
                                508,  511,  512,  513,  516,  572,  575,  576,  580,  583,
                                1023, 1024, 1088, 1092, 1603, 1660, 2047, 2048, 4095, 4096};
    for (uint32_t length : lengths)
        EXPECT_EQ(static_cast<uint32_t>(sum_words(words.data(), length)),
                  reference_sum(bytes, length))
            << "length " << length;
}

TEST(SumWords, UnalignedBufferSumsLikeItsAlignedCopy) {
    const std::vector<uint32_t> aligned = distinct_words(300);
    const uint32_t length = 1103;  // two big blocks, small blocks, single words, a tail
    std::vector<unsigned char> storage(length + 8);
    for (size_t shift = 1; shift < 4; ++shift) {
        std::memcpy(storage.data() + shift, aligned.data(), length);
        EXPECT_EQ(sum_words(storage.data() + shift, length), sum_words(aligned.data(), length))
            << "shift " << shift;
    }
}

// Places length bytes of distinct data right before an inaccessible page, so
// that reading past the end of the buffer faults.
int sum_against_guard_page(uint32_t length) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t data_pages = length / page + 1;
    const size_t span = (data_pages + 1) * page;
    void* map = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return 10;
    auto* base = static_cast<unsigned char*>(map);
    unsigned char* guard = base + data_pages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) return 11;
    unsigned char* start = guard - length;
    for (uint32_t i = 0; i < length; ++i) start[i] = static_cast<unsigned char>(i * 7 + 1);
    const uint32_t got = static_cast<uint32_t>(sum_words(start, length));
    const uint32_t want = reference_sum(start, length);
    munmap(map, span);
    if (got != want) {
        std::fprintf(stderr, "length %u: sum %u, expected %u\n", length, got, want);
        return 1;
    }
    return 0;
}

TEST(SumWords, NeverReadsPastTheGivenLength) {
    // Lengths ending in each phase; the odd ones also start unaligned.
    const uint32_t lengths[] = {7, 64, 512, 580, 1027, 1603};
    for (uint32_t length : lengths) {
        const ChildOutcome out =
            run_in_child([length] { return sum_against_guard_page(length); }, 20000);
        EXPECT_TRUE(out.exited) << "length " << length << " signal " << out.signal_number;
        EXPECT_EQ(out.exit_code, 0) << "length " << length;
    }
}

// ---- touch_pages ----

TEST(TouchPages, WritesOneByteAtEachWholePageFromTheStart) {
    const uint32_t page = static_cast<uint32_t>(getpagesize());
    const size_t shift = 3;  // the buffer's own alignment does not matter
    const uint32_t lengths[] = {0,       1, page - 1, page, page + 1, 3 * page + 5, 4 * page - 1,
                                4 * page};
    std::vector<unsigned char> storage(4 * page + 64);
    for (uint32_t length : lengths) {
        std::fill(storage.begin(), storage.end(), 0xAA);
        touch_pages(storage.data() + shift, length);
        const uint32_t touched = length / page;
        size_t ones = 0;
        for (size_t i = 0; i < storage.size(); ++i) {
            const bool expect_touch =
                i >= shift && (i - shift) % page == 0 && (i - shift) / page < touched;
            if (expect_touch) {
                EXPECT_EQ(storage[i], 1) << "length " << length << " offset " << i - shift;
                ++ones;
            } else {
                ASSERT_EQ(storage[i], 0xAA) << "length " << length << " index " << i;
            }
        }
        EXPECT_EQ(ones, touched) << "length " << length;
    }
}

// ---- make_shuffled_offsets ----

// The library's shuffle as a model driven by the same rand sequence: seeding
// from getpid, getppid, rand, rand, then one rand per shuffled element.
struct ShuffleModel {
    uint32_t state = 0;

    std::vector<int> make(uint32_t n, int stride) {
        std::vector<int> out(n);
        uint32_t value = 0;
        for (uint32_t i = 0; i < n; ++i, value += static_cast<uint32_t>(stride))
            out[i] = static_cast<int>(value);
        if (state == 0) {
            const uint32_t pid = static_cast<uint32_t>(getpid());
            const uint32_t ppid = static_cast<uint32_t>(getppid());
            const uint32_t first = static_cast<uint32_t>(rand());
            const uint32_t second = static_cast<uint32_t>(rand());
            state = ppid ^ first ^ (pid << 6) ^ (second << 10);
        }
        for (uint32_t i = 0; i < n; ++i) {
            state = static_cast<uint32_t>(rand()) ^ (state << 1);
            std::swap(out[i], out[state % n]);
        }
        return out;
    }
};

std::vector<int> take(int* array, uint32_t n) {
    std::vector<int> out(array, array + n);
    std::free(array);
    return out;
}

// Compares in a child, whose shuffle state starts unseeded (the parent never
// shuffles); returns the number of mismatches.
int mismatches(const char* what, const std::vector<int>& got, const std::vector<int>& want) {
    if (got == want) return 0;
    std::fprintf(stderr, "%s: got", what);
    for (int v : got) std::fprintf(stderr, " %d", v);
    std::fprintf(stderr, "; expected");
    for (int v : want) std::fprintf(stderr, " %d", v);
    std::fprintf(stderr, "\n");
    return 1;
}

void expect_child_passes(const std::function<int()>& body) {
    const ChildOutcome out = run_in_child(body, 20000);
    EXPECT_TRUE(out.exited) << "signal " << out.signal_number;
    EXPECT_EQ(out.exit_code, 0);
}

TEST(MakeShuffledOffsets, ReturnsAPermutationOfTheStridedValues) {
    expect_child_passes([] {
        int failures = 0;
        std::vector<int> got = take(make_shuffled_offsets(5, 64), 5);
        std::sort(got.begin(), got.end());
        failures += mismatches("n=5 stride 64", got, {0, 64, 128, 192, 256});

        std::vector<int> many = take(make_shuffled_offsets(1000, 12), 1000);
        std::vector<int> want(1000);
        for (int i = 0; i < 1000; ++i) want[i] = 12 * i;
        if (many == want) {
            std::fprintf(stderr, "1000 offsets came back unshuffled\n");
            ++failures;
        }
        std::sort(many.begin(), many.end());
        failures += mismatches("n=1000 stride 12", many, want);
        return failures;
    });
}

TEST(MakeShuffledOffsets, OffsetBeyondAnIntGivesNullAndLeavesTheSequenceAlone) {
    expect_child_passes([] {
        srand(13);
        int failures = 0;
        // (count - 1) * stride past INT_MAX or below INT_MIN: 2^26 * 64 is a
        // 4 GiB working set whose offsets would come back negative.
        const struct {
            uint32_t count;
            int stride;
        } refused[] = {{1u << 26, 64}, {3, INT_MAX}, {3, INT_MIN}, {0x2000002u, -64}};
        for (const auto& r : refused) {
            int* array = make_shuffled_offsets(r.count, r.stride);
            if (array != nullptr) {
                std::fprintf(stderr, "count %u stride %d gave an array\n", r.count, r.stride);
                std::free(array);
                ++failures;
            }
        }
        // Refused counts leave the shuffle sequence alone; the extreme that
        // still fits, -2^31 itself, is kept.
        const std::vector<int> edge = take(make_shuffled_offsets(2, INT_MIN), 2);
        srand(13);
        ShuffleModel model;
        failures += mismatches("after the refused counts", edge, model.make(2, INT_MIN));

        std::vector<int> large = take(make_shuffled_offsets(1u << 20, 64), 1u << 20);
        std::sort(large.begin(), large.end());
        for (size_t i = 0; i < large.size(); ++i) {
            if (large[i] != static_cast<int>(64 * i)) {
                std::fprintf(stderr, "2^20 offsets of 64: sorted element %zu is %d\n", i, large[i]);
                ++failures;
                break;
            }
        }
        return failures;
    });
}

TEST(MakeShuffledOffsets, SingleElementIsZeroWhateverTheStride) {
    expect_child_passes([] {
        return mismatches("n=1", take(make_shuffled_offsets(1, 12345), 1), {0}) +
               mismatches("n=1 negative", take(make_shuffled_offsets(1, -7), 1), {0});
    });
}

TEST(MakeShuffledOffsets, SeedsFromPidParentPidAndTwoRandsThenShufflesByRand) {
    expect_child_passes([] {
        srand(11);
        const std::vector<int> got = take(make_shuffled_offsets(8, 3), 8);
        srand(11);
        ShuffleModel model;
        return mismatches("n=8 stride 3", got, model.make(8, 3));
    });
}

TEST(MakeShuffledOffsets, ConsecutiveCallsContinueOneSequence) {
    expect_child_passes([] {
        srand(5);
        const std::vector<int> first = take(make_shuffled_offsets(6, 10), 6);
        const int between = rand();  // a reseed would consume rand differently
        const std::vector<int> second = take(make_shuffled_offsets(9, -4), 9);
        srand(5);
        ShuffleModel model;
        int failures = mismatches("first call", first, model.make(6, 10));
        if (rand() != between) ++failures;
        failures += mismatches("second call", second, model.make(9, -4));
        return failures;
    });
}

TEST(MakeShuffledOffsets, ZeroCountSeedsButShufflesNothing) {
    expect_child_passes([] {
        srand(3);
        int* empty = make_shuffled_offsets(0, 8);
        if (empty == nullptr) return 0;  // malloc(0) may give null; then nothing is seeded
        std::free(empty);
        rand();  // taken by the test between the calls
        const std::vector<int> got = take(make_shuffled_offsets(5, 64), 5);
        srand(3);
        ShuffleModel model;
        model.make(0, 8);
        rand();
        return mismatches("after n=0", got, model.make(5, 64));
    });
}

TEST(MakeShuffledOffsets, CountTooLargeForMemoryGivesNullAndLeavesTheSequenceAlone) {
    if (sizeof(size_t) > 4) GTEST_SKIP() << "every 32-bit count fits a 64-bit size_t";
    expect_child_passes([] {
        srand(9);
        // count * 4 wraps to 0, 4 and 0xFFFFFFFC bytes on a 32-bit size_t.
        const uint32_t counts[] = {0x40000000u, 0x40000001u, 0xFFFFFFFFu};
        int failures = 0;
        for (uint32_t count : counts) {
            int* array = make_shuffled_offsets(count, 4);
            if (array != nullptr) {
                std::fprintf(stderr, "count %u gave an array\n", count);
                ++failures;
            }
        }
        const std::vector<int> got = take(make_shuffled_offsets(4, 1), 4);
        srand(9);
        ShuffleModel model;
        return failures + mismatches("after the refused counts", got, model.make(4, 1));
    });
}

}  // namespace
