// The text tables boardmark prints, one per measurement, with the units in
// the column headers.
#ifndef BOARDMARK_TABLES_H
#define BOARDMARK_TABLES_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sizes.h"

struct Table {
    std::string title;
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
};

// The title, then the headers and rows in columns: the first column aligned
// left, the others right, two spaces between columns.
void print_table(FILE* out, const Table& table);

// value with decimals digits after the point.
std::string fixed(double value, int decimals);

// What a table shows instead of a figure for a measurement that failed.
constexpr const char* FAILED_CELL = "failed";

#endif
