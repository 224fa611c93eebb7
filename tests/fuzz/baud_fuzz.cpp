// The serial tools' BAUD check accepts exactly the decimal texts whose value
// is 1 to 4294967295 (leading zeros allowed), gives that value, and leaves
// the result alone otherwise. The reference decides by the digits as text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transmit.h"

namespace {

// The digits without leading zeros, or false when text is not all digits.
bool significant_digits(const std::string& text, std::string* digits) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const size_t first = text.find_first_not_of('0');
    *digits = first == std::string::npos ? std::string() : text.substr(first);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    constexpr uint32_t UNTOUCHED = 0xdeadbeef;
    uint32_t baud = UNTOUCHED;
    const bool accepted = parse_baud(text.c_str(), &baud);

    std::string digits;
    const bool in_range = significant_digits(text, &digits) && !digits.empty() &&
                          (digits.size() < 10 || (digits.size() == 10 && digits <= "4294967295"));
    if (accepted != in_range) std::abort();
    if (!accepted) {
        if (baud != UNTOUCHED) std::abort();
        return 0;
    }
    uint64_t value = 0;
    for (const char c : digits) value = value * 10 + static_cast<uint64_t>(c - '0');
    if (baud != value) std::abort();
    return 0;
}
