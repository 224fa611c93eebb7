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

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
