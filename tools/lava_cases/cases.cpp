#include "cases.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "json_reader.h"

namespace {

// Each report's main figure, as the case's measurement.
struct Figure {
    const char* report;
    const char* key;
    double scale;
    const char* units;
};

constexpr Figure FIGURES[] = {
    {"size_latency", "us_per_operation", 1000, "ns"},
    {"nanoseconds", "ns_per_operation", 1, "ns"},
    {"microseconds", "us_per_operation", 1, "us"},
    {"microseconds_each", "us_per_operation", 1, "us"},
    {"milliseconds", "ms_per_operation", 1, "ms"},
    {"context_switches", "us_per_switch", 1, "us"},
    {"mb_per_sec", "mb_per_sec", 1, "MB/s"},
    {"throughput", "mb_per_sec", 1, "MB/s"},
    {"transfers", "mb_per_sec", 1, "MB/s"},
    {"kb_per_sec", "kb_per_sec", 1, "KB/s"},
    {"resource_usage", "real_seconds", 1, "s"},
};

// The param that names a row's measurement: its rows make one test set.
const char* const SET_PARAM = "measurement";

const Figure* figure_of(const std::string& report) {
    for (const Figure& figure : FIGURES) {
        if (report == figure.report) return &figure;
    }
    return nullptr;
}

std::string text_of(const JsonNode* node) {
    if (node == nullptr) return "";
    switch (node->type) {
        case JsonNode::Type::STRING:
            return node->text;
        case JsonNode::Type::NUMBER:
            return measurement_text(node->number);
        case JsonNode::Type::BOOLEAN:
            return node->boolean ? "true" : "false";
        default:
            return "";
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return lines;
}

// The case of one result row.
void row_case(const JsonNode& record, const std::string& report, LavaCase* out) {
    const JsonNode* params = record.member("params");
    if (params != nullptr && params->type != JsonNode::Type::OBJECT) params = nullptr;
    std::string name = report;
    const std::string label = text_of(record.member("label"));
    if (!label.empty()) name += "_" + label;
    if (params != nullptr) {
        for (const auto& param : params->members) {
            if (param.first == SET_PARAM && out->set.empty()) {
                out->set = case_name(text_of(&param.second));
                continue;
            }
            name += "_" + param.first + "-" + text_of(&param.second);
        }
    }
    out->name = case_name(name);
    const Figure* figure = figure_of(report);
    const JsonNode* value = figure != nullptr ? record.member(figure->key) : nullptr;
    // A figure that is null (not finite), absent, or beyond a double once
    // scaled fails the row.
    if (value != nullptr && value->type == JsonNode::Type::NUMBER &&
        std::isfinite(value->number * figure->scale)) {
        out->passed = true;
        out->measurement = measurement_text(value->number * figure->scale);
        out->units = figure->units;
    }
}

// Every case goes after the last one of its set, so that a set stays whole.
void place(std::vector<LavaCase>* cases, LavaCase item) {
    size_t at = cases->size();
    if (!item.set.empty()) {
        for (size_t i = cases->size(); i > 0; --i) {
            if ((*cases)[i - 1].set == item.set) {
                at = i;
                break;
            }
        }
    }
    cases->insert(cases->begin() + static_cast<std::ptrdiff_t>(at), std::move(item));
}

}  // namespace

std::string case_name(const std::string& text) {
    std::string name;
    for (char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        name.push_back(keep ? c : '_');
    }
    if (name.empty()) name = "_";
    if (name.size() <= CASE_NAME_MAX) return name;
    // FNV-1a of the whole text, 32 bits, as 8 hex digits after a '-'.
    uint32_t hash = 2166136261u;
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char tail[10];
    std::snprintf(tail, sizeof tail, "-%08x", static_cast<unsigned>(hash));
    return name.substr(0, CASE_NAME_MAX - 9) + tail;
}

std::string measurement_text(double value) {
    char text[400];
    int digits = 1;
    for (; digits < 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    // Plain decimals where they stay short (300, not 3e+02).
    const int exponent =
        value == 0 ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(value))));
    if (exponent >= -5 && exponent < 17) {
        std::snprintf(text, sizeof text, "%.*f", std::max(0, digits - 1 - exponent), value);
    } else {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
    }
    return text;
}

Conversion convert_reports(const std::string& jsonl, const std::string& errors,
                           const std::string& run) {
    Conversion result;
    const std::string run_prefix = run.empty() ? "" : run + "-";
    std::vector<std::string> warnings;
    size_t line_number = 0;
    for (const std::string& line : lines_of(jsonl)) {
        ++line_number;
        JsonNode record;
        std::string problem;
        const JsonNode* report = nullptr;
        if (read_json(line, &record, &problem)) {
            report = record.member("report");
            if (report == nullptr || report->type != JsonNode::Type::STRING) {
                problem = "no report name";
            }
        }
        if (!problem.empty()) {
            LavaCase bad;
            bad.name = case_name(run_prefix + "unreadable_line_" + std::to_string(line_number));
            result.notes.push_back("line " + std::to_string(line_number) + ": " + problem);
            place(&result.cases, std::move(bad));
            continue;
        }
        if (report->text == "context") {
            const JsonNode* list = record.member("warnings");
            if (list == nullptr || list->type != JsonNode::Type::ARRAY) continue;
            for (const JsonNode& warning : list->items) warnings.push_back(text_of(&warning));
            continue;
        }
        LavaCase row;
        row_case(record, report->text, &row);
        place(&result.cases, std::move(row));
    }
    // "PROGRAM: ROW: WHY": the row failed; its first word is the measurement.
    for (const std::string& line : lines_of(errors)) {
        const size_t colon = line.find(": ");
        const size_t second = colon == std::string::npos ? colon : line.find(": ", colon + 2);
        if (second == std::string::npos) continue;
        const std::string row = line.substr(colon + 2, second - colon - 2);
        LavaCase failed;
        failed.set = case_name(row.substr(0, row.find(' ')));
        failed.name = case_name(row);
        result.notes.push_back("failed: " + line);
        place(&result.cases, std::move(failed));
    }
    LavaCase warning_case;
    warning_case.name = case_name(run_prefix + "warnings");
    warning_case.passed = warnings.empty();
    warning_case.measurement = std::to_string(warnings.size());
    warning_case.units = "warnings";
    for (const std::string& warning : warnings) result.notes.push_back("warning: " + warning);
    result.cases.push_back(std::move(warning_case));

    // A name seen before gets _2, _3, ... in order, so that every case stays;
    // the warnings case keeps its name whatever a report is called.
    std::set<std::string> seen = {result.cases.back().name};
    for (size_t i = 0; i + 1 < result.cases.size(); ++i) {
        LavaCase& item = result.cases[i];
        const std::string base = item.name;
        for (int n = 2; !seen.insert(item.name).second; ++n) {
            item.name = case_name(base + "_" + std::to_string(n));
        }
    }
    return result;
}
