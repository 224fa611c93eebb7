#include "tables.h"

#include <algorithm>

void print_table(FILE* out, const Table& table) {
    std::vector<size_t> widths(table.headers.size(), 0);
    auto widen = [&widths](const std::vector<std::string>& cells) {
        for (size_t i = 0; i < cells.size() && i < widths.size(); ++i) {
            widths[i] = std::max(widths[i], cells[i].size());
        }
    };
    widen(table.headers);
    for (const auto& row : table.rows) widen(row);
    auto print_row = [out, &widths](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t i = 0; i < widths.size(); ++i) {
            const std::string cell = i < cells.size() ? cells[i] : "";
            const std::string pad(widths[i] - cell.size(), ' ');
            if (i > 0) line += "  ";
            line += i == 0 ? cell + pad : pad + cell;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out, "%s\n", line.c_str());
    };
    std::fprintf(out, "\n%s\n", table.title.c_str());
    print_row(table.headers);
    for (const auto& row : table.rows) print_row(row);
    std::fflush(out);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
