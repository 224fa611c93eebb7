#include "sizes.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib_timing.h"

bool read_size(const std::string& text, uint64_t* bytes) {
    const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
    const std::string suffix = text.substr(digits);
    if (digits == 0 || digits > 20) return false;
    if (!suffix.empty() && (suffix.size() != 1 || std::strchr("kmgKMG", suffix[0]) == nullptr)) {
        return false;
    }
    // The library's units, and its reading of the whole text.
    const uint64_t multiplier = suffix.empty() ? 1 : parse_size(("1" + suffix).c_str());
    errno = 0;
    const unsigned long long number = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    if (errno == ERANGE || number == 0 || number > UINT64_MAX / multiplier) return false;
    *bytes = parse_size(text.c_str());
    return true;
}

std::string option_size_text(uint64_t bytes) {
    const char* units[] = {"", "k", "m", "g"};
    int unit = 0;
    while (unit < 3 && bytes != 0 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + units[unit];
}

std::string size_for_people(uint64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    double value = static_cast<double>(bytes);
    while (unit < 4 && bytes >= (1ULL << (10 * (unit + 1)))) {
        ++unit;
        value /= 1024;
    }
    // Whole numbers as such, the halves of the size ladder with one decimal.
    char text[40];
    if (value == static_cast<double>(static_cast<uint64_t>(value))) {
        std::snprintf(text, sizeof text, "%.0f %s", value, units[unit]);
    } else if (value * 10 == static_cast<double>(static_cast<uint64_t>(value * 10))) {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    } else {
        std::snprintf(text, sizeof text, "%.2f %s", value, units[unit]);
    }
    return text;
}
