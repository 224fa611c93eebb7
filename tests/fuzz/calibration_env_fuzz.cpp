// The calibration overrides read as the environment gives them. ENOUGH: the
// decimal number at the start of the text (after blanks, with an optional
// sign; 0 when there is none), saturated to the signed 32-bit range, read here
// digit by digit. TIMING_O: strtod's value truncated toward zero, 0 for NaN
// and below 1, the largest value from 2^64 up. LAPCOST: strtod's value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int32_t reference_enough(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && is_blank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr uint64_t ABOVE_RANGE = uint64_t{1} << 32;
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > ABOVE_RANGE) magnitude = ABOVE_RANGE;
    }
    if (negative)
        return magnitude >= (uint64_t{1} << 31) ? INT32_MIN : -static_cast<int32_t>(magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

bool timer_overhead_ok(double read, uint64_t got) {
    if (std::isnan(read) || read < 1.0) return got == 0;
    if (read >= 18446744073709551616.0) return got == UINT64_MAX;
    return static_cast<double>(got) == std::trunc(read);
}

bool same_double(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    if (timing_internal::parse_enough_us(text.c_str()) != reference_enough(text)) std::abort();
    const double read = std::strtod(text.c_str(), nullptr);
    if (!timer_overhead_ok(read, timing_internal::parse_timer_overhead(text.c_str()))) std::abort();
    if (!same_double(read, timing_internal::parse_iteration_overhead(text.c_str()))) std::abort();
    return 0;
}
