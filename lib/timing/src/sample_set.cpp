// Sample sets kept in descending order of time per iteration, and the
// publishing of one representative sample into the interval clock.
#include <climits>
#include <cstdint>

#include "lib_timing.h"

namespace {

constexpr int MIN_SET_CAPACITY = 11;
constexpr int DEFAULT_SET_BYTES = 8 + MIN_SET_CAPACITY * 16;

// 184 bytes: room for 11 samples, count 0.
union DefaultSet {
    SampleSet set;
    unsigned char bytes[DEFAULT_SET_BYTES];
};
DefaultSet default_sample_set;

SampleSet* current_set = &default_sample_set.set;

double ratio(uint64_t elapsed_us, uint64_t iterations) {
    return static_cast<double>(elapsed_us) / static_cast<double>(iterations);
}

void load_sample(uint64_t elapsed_us, uint64_t iterations) {
    clock_store_elapsed(elapsed_us);
    clock_set_iterations(iterations);
}

}  // namespace

extern "C" {

int sample_set_bytes(int n) {
    if (n <= MIN_SET_CAPACITY) return DEFAULT_SET_BYTES;
    if (n > (INT_MAX - 8) / 16) return -1;  // n * 16 + 8 does not fit an int
    return n * 16 + 8;
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

}  // extern "C"
