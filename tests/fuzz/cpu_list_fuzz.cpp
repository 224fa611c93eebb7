// The custom CPU list of QUENTAR_SCHED: one entry per maximal run of decimal
// digits, in order, nothing read past the terminating zero. A run whose value
// fits an int is that value; a longer one is what sscanf "%d" makes of the
// run on its own.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::vector<int> reference_entries(const std::string& text) {
    std::vector<int> entries;
    for (size_t i = 0; i < text.size();) {
        if (!is_digit(text[i])) {
            ++i;
            continue;
        }
        size_t end = i;
        uint64_t value = 0;
        bool fits = true;
        for (; end < text.size() && is_digit(text[end]); ++end) {
            if (!fits) continue;
            value = value * 10 + static_cast<uint64_t>(text[end] - '0');
            fits = value <= static_cast<uint64_t>(INT_MAX);
        }
        int entry = fits ? static_cast<int>(value) : 0;
        if (!fits) std::sscanf(text.substr(i, end - i).c_str(), "%d", &entry);
        entries.push_back(entry);
        i = end;
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input's bytes up to its first zero, in a buffer of its own
    // size, so that AddressSanitizer sees any read beyond the text.
    const size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    std::vector<char> buffer(data, data + length);
    buffer.push_back('\0');
    int* entries = nullptr;
    const int count = timing_internal::parse_custom_cpu_list(buffer.data(), &entries);

    const std::vector<int> expected = reference_entries(std::string(buffer.data(), length));
    if (count < 0 || static_cast<size_t>(count) != expected.size()) std::abort();
    if ((count == 0) != (entries == nullptr)) std::abort();
    for (int i = 0; i < count; ++i) {
        if (entries[i] != expected[static_cast<size_t>(i)]) std::abort();
    }
    std::free(entries);
    return 0;
}
