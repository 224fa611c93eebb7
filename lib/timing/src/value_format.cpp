// Hexadecimal and scaled-size texts from a shared ring of static buffers, the
// last character of a text, and sizes read with a K/M/G or k/m/g multiplier.
#include <cstdint>
#include <cstdio>

#include "lib_timing.h"

namespace {

// Ten results of format_hex64 and format_size together stay intact; the
// eleventh call reuses the oldest buffer. The longest text is 18 characters.
constexpr int RING_SIZE = 10;
constexpr int RING_TEXT_BYTES = 20;
char format_ring[RING_SIZE][RING_TEXT_BYTES];
int ring_index = 0;

// Magnitude suffixes by the number of divisions by 1024.
constexpr char SIZE_SUFFIXES[] = " KMGTPE";

char* next_ring_buffer() {
    char* buffer = format_ring[ring_index];
    ring_index = ring_index == RING_SIZE - 1 ? 0 : ring_index + 1;
    return buffer;
}

}  // namespace

extern "C" {

const char* format_hex64(uint64_t value) {
    char* buffer = next_ring_buffer();
    const auto high = static_cast<unsigned>(value >> 32);
    const auto low = static_cast<unsigned>(value & 0xffffffffU);
    if (high != 0) {
        snprintf(buffer, RING_TEXT_BYTES, "0x%x%08x", high, low);
    } else {
        snprintf(buffer, RING_TEXT_BYTES, "0x%x", low);
    }
    return buffer;
}

const char* format_size(uint64_t value) {
    double x = static_cast<double>(value);
    // The buffer is taken even for zero, which returns a constant instead.
    char* buffer = next_ring_buffer();
    int magnitude = 0;
    while (x > 512.0) {
        x *= 1.0 / 1024.0;
        ++magnitude;
    }
    if (x == 0.0) return "0";
    snprintf(buffer, RING_TEXT_BYTES, x < 100.0 ? "%.4f%c" : "%.2f%c", x, SIZE_SUFFIXES[magnitude]);
    return buffer;
}

int last_character(const char* text) {
    // An empty text has no last character: 0, and nothing before it is read.
    if (text[0] == '\0') return 0;
    const char* end = text;
    while (end[1] != '\0') ++end;
    return static_cast<unsigned char>(*end);
}

uint64_t parse_size(const char* text) {
    unsigned long long number = 0;
    if (sscanf(text, "%llu", &number) <= 0) return 0;
    // The multiplier is the text's last character, wherever the number ended.
    uint64_t factor = 1;
    switch (last_character(text)) {
        case 'K':
            factor = 1000ULL;
            break;
        case 'M':
            factor = 1000000ULL;
            break;
        case 'G':
            factor = 1000000000ULL;
            break;
        case 'k':
            factor = 1ULL << 10;
            break;
        case 'm':
            factor = 1ULL << 20;
            break;
        case 'g':
            factor = 1ULL << 30;
            break;
        default:
            break;
    }
    return static_cast<uint64_t>(number) * factor;  // wraps modulo 2^64
}

}  // extern "C"
