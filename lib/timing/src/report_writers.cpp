// The two renderings of a report record: the classic text line, and one
// JSON object per line (JSON Lines, RFC 8259).
//
// JSON strings are written as UTF-8. A label is arbitrary bytes: well-formed
// UTF-8 sequences pass through, quotes and backslashes are escaped, control
// characters become \u00XX, and each byte that does not belong to a
// well-formed sequence becomes \ufffd (the replacement character), so that
// every line is valid JSON whatever the label holds. Numbers that are not
// finite are written as null; the others with 17 significant digits, enough
// to read back the same double.
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "lib_timing.h"
#include "run_conditions.h"

namespace {

using timing_internal::DriverRunSettings;
using timing_internal::ReportItem;
using timing_internal::ReportItemType;
using timing_internal::ReportRecord;

// Length of the well-formed UTF-8 sequence that starts at p (2 to 4), or 0
// when the bytes at p do not start one: overlong forms, surrogates and code
// points above U+10FFFF are not well-formed. Stops at the terminating NUL,
// which is never a continuation byte.
int utf8_sequence_length(const unsigned char* p) {
    auto continues = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
    const unsigned char lead = p[0];
    if (lead >= 0xC2 && lead <= 0xDF) return continues(p[1]) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && continues(p[2]) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && continues(p[2]) && continues(p[3]) ? 4 : 0;
    }
    return 0;
}

}  // namespace

namespace timing_internal {

void write_json_string(FILE* stream, const char* text) {
    if (text == nullptr) {
        fputs("null", stream);
        return;
    }
    fputc('"', stream);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char c = *p;
        if (c == '"' || c == '\\') {
            fputc('\\', stream);
            fputc(c, stream);
            ++p;
        } else if (c < 0x20) {
            fprintf(stream, "\\u%04x", c);
            ++p;
        } else if (c < 0x80) {
            fputc(c, stream);
            ++p;
        } else if (const int n = utf8_sequence_length(p)) {
            fwrite(p, 1, static_cast<size_t>(n), stream);
            p += n;
        } else {
            fputs("\\ufffd", stream);
            ++p;
        }
    }
    fputc('"', stream);
}

// %.17g (or the fewest digits from 15 up that read back as the same
// double), with the decimal point a '.' whatever the program's locale says.
void write_json_number(FILE* stream, double value, bool shortest) {
    if (!std::isfinite(value)) {
        fputs("null", stream);
        return;
    }
    char digits[64];
    for (int precision = shortest ? 15 : 17; precision <= 17; ++precision) {
        snprintf(digits, sizeof digits, "%.*g", precision, value);
        if (strtod(digits, nullptr) == value) break;  // read in the same locale
    }
    const char* point = localeconv()->decimal_point;
    char* at = point != nullptr && strcmp(point, ".") != 0 ? strstr(digits, point) : nullptr;
    if (at != nullptr) {
        *at = '.';
        memmove(at + 1, at + strlen(point), strlen(at + strlen(point)) + 1);
    }
    fputs(digits, stream);
}

}  // namespace timing_internal

namespace {

using timing_internal::write_json_number;
using timing_internal::write_json_string;

void write_json_key(FILE* stream, const char* key) {
    fputc(',', stream);
    write_json_string(stream, key);
    fputc(':', stream);
}

}  // namespace

namespace timing_internal {

void write_report_text(FILE* stream, const ReportRecord& record) {
    for (int i = 0; i < record.item_count; ++i) {
        const ReportItem& item = record.items[i];
        if (item.text_format == nullptr) continue;
        switch (item.type) {
            case ReportItemType::Count:
                fprintf(stream, item.text_format,
                        static_cast<unsigned long long>(item.value.count));
                break;
            case ReportItemType::Int:
                fprintf(stream, item.text_format, item.value.int_value);
                break;
            case ReportItemType::Real:
                fprintf(stream, item.text_format, item.value.real);
                break;
            case ReportItemType::Text:
                fprintf(stream, item.text_format, item.value.text);
                break;
        }
    }
}

void write_report_json(FILE* stream, const ReportRecord& record, const ReportTail& tail) {
    fputs("{\"report\":", stream);
    write_json_string(stream, record.name);
    fprintf(stream, ",\"elapsed_us\":%llu,\"iterations\":%llu",
            static_cast<unsigned long long>(record.elapsed_us),
            static_cast<unsigned long long>(record.iterations));
    for (int i = 0; i < record.item_count; ++i) {
        const ReportItem& item = record.items[i];
        if (item.key == nullptr) continue;
        write_json_key(stream, item.key);
        switch (item.type) {
            case ReportItemType::Count:
                fprintf(stream, "%llu", static_cast<unsigned long long>(item.value.count));
                break;
            case ReportItemType::Int:
                fprintf(stream, "%d", item.value.int_value);
                break;
            case ReportItemType::Real:
                write_json_number(stream, item.value.real);
                break;
            case ReportItemType::Text:
                write_json_string(stream, item.value.text);
                break;
        }
    }
    if (tail.params != nullptr && tail.param_count > 0) {
        fputs(",\"params\":{", stream);
        for (int i = 0; i < tail.param_count; ++i) {
            if (i > 0) fputc(',', stream);
            write_json_string(stream, tail.params[i].key);
            fputc(':', stream);
            write_json_string(stream, tail.params[i].value);
        }
        fputc('}', stream);
    }
    if (const SampleSummary* samples = tail.summary) {
        fprintf(stream, ",\"samples\":{\"count\":%d", static_cast<int>(samples->count));
        write_json_key(stream, "fastest_us");
        write_json_number(stream, samples->fastest_us);
        write_json_key(stream, "median_us");
        write_json_number(stream, samples->median_us);
        write_json_key(stream, "slowest_us");
        write_json_number(stream, samples->slowest_us);
        write_json_key(stream, "spread");
        write_json_number(stream, samples->spread);
        fputs(",\"raw\":[", stream);
        for (int32_t i = 0; tail.set != nullptr && i < tail.set->count; ++i) {
            fprintf(stream, "%s[%llu,%llu]", i > 0 ? "," : "",
                    static_cast<unsigned long long>(tail.set->samples[i].elapsed_us),
                    static_cast<unsigned long long>(tail.set->samples[i].iterations));
        }
        fputs("]}", stream);
    }
    if (const DriverRunSettings* run = tail.run) {
        fprintf(stream,
                ",\"run\":{\"parallel\":%d,\"repetitions\":%d,\"enough_us\":%d,\"warmup_us\":%d}",
                static_cast<int>(run->parallel), static_cast<int>(run->repetitions),
                static_cast<int>(run->enough_us), static_cast<int>(run->warmup_us));
    }
    // Every report says what happened during its run: null and no warnings
    // when no driver run made the set or the conditions are off.
    write_conditions_json(stream, tail.conditions);
    fputs("}\n", stream);
}

}  // namespace timing_internal
