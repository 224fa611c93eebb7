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
    for (const auto& note : table.notes) std::fprintf(out, "%s\n", note.c_str());
    std::fflush(out);
}

void mark_disturbed(Table* table, const std::string& reasons) {
    if (table->rows.empty() || table->rows.back().empty()) return;
    std::vector<std::string>& cells = table->rows.back();
    std::string row = cells.front();
    for (size_t i = 1; i < table->key_columns && i < cells.size(); ++i) row += " " + cells[i];
    cells.front() += " !";
    size_t start = 0;
    while (start < reasons.size()) {
        size_t end = reasons.find('\n', start);
        if (end == std::string::npos) end = reasons.size();
        if (end > start)
            table->notes.push_back("! " + row + ": " + reasons.substr(start, end - start));
        start = end + 1;
    }
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}
