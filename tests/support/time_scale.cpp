#include "time_scale.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

double read_scale() {
    const char* text = std::getenv("TIMING_TEST_TIME_SCALE");
    if (text == nullptr || *text == '\0') return 1;
    char* end = nullptr;
    const double scale = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(scale) || scale <= 0) {
        std::fprintf(stderr, "TIMING_TEST_TIME_SCALE=%s: expected a positive number, e.g. 3\n",
                     text);
        std::exit(2);
    }
    return scale;
}

}  // namespace

double test_time_scale() {
    static const double scale = read_scale();
    return scale;
}

double scaled_seconds(double seconds) { return seconds * test_time_scale(); }

int scaled_ms(int ms) {
    const double scaled = static_cast<double>(ms) * test_time_scale();
    return scaled >= 2147483647.0 ? 2147483647 : static_cast<int>(scaled);
}

double monotonic_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
