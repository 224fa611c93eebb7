// parse_size against strtoull: the number is what strtoull reads from the
// start of the text (0 when it reads nothing), times the factor of the text's
// last character, modulo 2^64; a plain decimal that fits gives its own value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib_timing.h"

namespace {

uint64_t suffix_factor(const std::string& text) {
    if (text.empty()) return 1;
    switch (text.back()) {
        case 'K':
            return 1000ULL;
        case 'M':
            return 1000000ULL;
        case 'G':
            return 1000000000ULL;
        case 'k':
            return 1ULL << 10;
        case 'm':
            return 1ULL << 20;
        case 'g':
            return 1ULL << 30;
        default:
            return 1;
    }
}

// The value of a text of decimal digits only; false when it has another
// character, none at all, or does not fit 64 bits.
bool plain_decimal(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    const uint64_t got = parse_size(text.c_str());

    const uint64_t number = std::strtoull(text.c_str(), nullptr, 10);
    if (got != number * suffix_factor(text)) std::abort();
    uint64_t value = 0;
    if (plain_decimal(text, &value) && got != value) std::abort();
    return 0;
}
