// Sample sets kept in descending order of time per iteration, the
// publishing of one representative sample into the interval clock, and the
// summary of a set's samples.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "lib_timing.h"

namespace {

using timing_internal::SAMPLE_BYTES;
using timing_internal::SAMPLE_SET_HEADER_BYTES;
using timing_internal::SAMPLE_SET_MIN_BYTES;
using timing_internal::SAMPLE_SET_MIN_CAPACITY;

// Room for the minimum capacity, count 0.
timing_internal::MinimumSampleSet default_sample_set;

SampleSet* current_set = &default_sample_set.set;

double ratio(uint64_t elapsed_us, uint64_t iterations) {
    return static_cast<double>(elapsed_us) / static_cast<double>(iterations);
}

void load_sample(uint64_t elapsed_us, uint64_t iterations) {
    clock_store_elapsed(elapsed_us);
    clock_set_iterations(iterations);
}

// ---- order statistics for the summaries, without scratch memory ----
//
// A set can be large and the summary must not fail for want of memory, so
// the medians are found in place. Every value summarised (a time per
// iteration, a relative deviation) is a non-negative finite double, and the
// IEEE-754 bit patterns of those, read as unsigned integers, sort exactly as
// the values do. The k-th smallest value is therefore found by bisecting the
// range of bit patterns, counting the values at or below the midpoint in one
// pass over the set each time: at most 64 passes of one or two divisions per
// sample, whatever order the samples are in.

uint64_t bits_of(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double value_of(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Calls use(value(sample)) for every sample with nonzero iterations.
template <typename Value, typename Use>
void for_each_summarised(const SampleSet& set, Value value, Use use) {
    for (int32_t i = 0; i < set.count; ++i) {
        const Sample& sample = set.samples[i];
        if (sample.iterations != 0) use(value(sample));
    }
}

template <typename Value>
int32_t count_at_most(const SampleSet& set, Value value, uint64_t bound) {
    int32_t n = 0;
    for_each_summarised(set, value, [&](double v) { n += bits_of(v) <= bound ? 1 : 0; });
    return n;
}

// The smallest value whose bit pattern lies above bound (hi when none does).
template <typename Value>
uint64_t next_above(const SampleSet& set, Value value, uint64_t bound, uint64_t hi) {
    uint64_t next = hi;
    for_each_summarised(set, value, [&](double v) {
        const uint64_t b = bits_of(v);
        if (b > bound && b < next) next = b;
    });
    return next;
}

// Median of value over the count summarised samples, whose bit patterns all
// lie within [lo, hi]: the middle value, or the mean of the two middle ones.
template <typename Value>
double median_of(const SampleSet& set, Value value, int32_t count, uint64_t lo, uint64_t hi) {
    const int32_t k = (count - 1) / 2;  // the lower middle, counted from 0
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (count_at_most(set, value, mid) > k) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    const double lower = value_of(lo);
    if (count % 2 == 1 || count_at_most(set, value, lo) > k + 1) return lower;
    const double upper = value_of(next_above(set, value, lo, bits_of(HUGE_VAL)));
    return (lower + upper) / 2;
}

double per_iteration(const Sample& sample) { return ratio(sample.elapsed_us, sample.iterations); }

}  // namespace

extern "C" {

int sample_set_bytes(int n) {
    if (n <= SAMPLE_SET_MIN_CAPACITY) return SAMPLE_SET_MIN_BYTES;
    if (n > (INT_MAX - SAMPLE_SET_HEADER_BYTES) / SAMPLE_BYTES) return -1;  // does not fit an int
    return n * SAMPLE_BYTES + SAMPLE_SET_HEADER_BYTES;
}

void sample_set_clear(SampleSet* set) { set->count = 0; }

void sample_set_add(uint64_t elapsed_us, uint64_t iterations, SampleSet* set) {
    const int c = set->count;
    int p = 0;
    if (c > 0) {
        const double r = ratio(elapsed_us, iterations);
        p = c;
        for (int i = 0; i < c; ++i) {
            if (r > ratio(set->samples[i].elapsed_us, set->samples[i].iterations)) {
                p = i;
                break;
            }
        }
        for (int i = c - 1; i >= p; --i) set->samples[i + 1] = set->samples[i];
    }
    set->samples[p].elapsed_us = elapsed_us;
    set->samples[p].iterations = iterations;
    set->count = c + 1;
}

void sample_set_add_nonzero(uint64_t elapsed_us, uint64_t iterations, SampleSet* set) {
    if (elapsed_us != 0) sample_set_add(elapsed_us, iterations, set);
}

SampleSet* current_sample_set(void) { return current_set; }

void select_sample_set(SampleSet* set) {
    current_set = set;
    publish_median();
}

void publish_median(void) {
    const int c = current_set->count;
    if (c <= 0) {
        load_sample(0, 1);
    } else if (c % 2 == 1) {
        const Sample& middle = current_set->samples[c / 2];
        load_sample(middle.elapsed_us, middle.iterations);
    } else {
        // Elapsed time and iterations are averaged separately, each sum
        // wrapping modulo 2^64 before the halving shift.
        const Sample& a = current_set->samples[c / 2 - 1];
        const Sample& b = current_set->samples[c / 2];
        load_sample((a.elapsed_us + b.elapsed_us) >> 1, (a.iterations + b.iterations) >> 1);
    }
}

void publish_minimum(void) {
    const int c = current_set->count;
    if (c <= 0) {
        load_sample(0, 1);
    } else {
        const Sample& fastest = current_set->samples[c - 1];
        load_sample(fastest.elapsed_us, fastest.iterations);
    }
}

int sample_set_summarize(const SampleSet* set, SampleSummary* summary) {
    if (set == nullptr || summary == nullptr) return -1;
    int32_t count = 0;
    double fastest = HUGE_VAL;
    double slowest = 0.0;
    for_each_summarised(*set, per_iteration, [&](double t) {
        ++count;
        if (t < fastest) fastest = t;
        if (t > slowest) slowest = t;
    });
    if (count == 0) return -1;

    const double median = median_of(*set, per_iteration, count, bits_of(fastest), bits_of(slowest));
    double spread = 0.0;
    if (median != 0.0) {
        const auto deviation = [median](const Sample& sample) {
            return std::fabs(per_iteration(sample) - median) / median;
        };
        double widest = 0.0;
        for_each_summarised(*set, deviation, [&](double d) { widest = d > widest ? d : widest; });
        spread = median_of(*set, deviation, count, 0, bits_of(widest));
    }
    summary->count = count;
    summary->fastest_us = fastest;
    summary->median_us = median;
    summary->slowest_us = slowest;
    summary->spread = spread;
    return 0;
}

}  // extern "C"
