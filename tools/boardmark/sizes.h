// Sizes as boardmark reads and writes them: the options' form ("64k", "8m",
// "3M", read with the library's parse_size) and the tables' ("1.5 MiB").
#ifndef BOARDMARK_SIZES_H
#define BOARDMARK_SIZES_H

#include <cstdint>
#include <string>

// A size as the options take it: digits with an optional k, m, g (powers of
// two) or K, M, G (powers of ten) suffix and nothing else. False for anything
// else, zero and values beyond 64 bits.
bool read_size(const std::string& text, uint64_t* bytes);

// The options' form of bytes: the largest of k, m, g that divides it.
std::string option_size_text(uint64_t bytes);

// A size for people: "4 KiB", "1.5 MiB", "32 MiB", "100 bytes".
std::string size_for_people(uint64_t bytes);

#endif
