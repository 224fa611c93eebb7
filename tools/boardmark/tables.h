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
    std::vector<std::string> notes;  // lines printed after the rows
    size_t key_columns = 1;          // the leading cells that name a row
};

// The title, then the headers and rows in columns: the first column aligned
// left, the others right, two spaces between columns; then the notes.
void print_table(FILE* out, const Table& table);

// Marks the last row as disturbed: " !" after its first cell, and one note
// "! ROW: reason" per line of reasons (the library's words for why), the row
// named by its key cells.
void mark_disturbed(Table* table, const std::string& reasons);

// value with decimals digits after the point.
std::string fixed(double value, int decimals);

// What a table shows instead of a figure for a measurement that failed.
constexpr const char* FAILED_CELL = "failed";

#endif
