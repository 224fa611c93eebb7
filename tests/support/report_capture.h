// Captures what a report writes: through the report stream (a temporary
// file) or on standard error (descriptor 2 redirected to a temporary file).
#ifndef TESTS_REPORT_CAPTURE_H
#define TESTS_REPORT_CAPTURE_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "lib_timing.h"

inline std::string read_whole(FILE* file) {
    fflush(file);
    rewind(file);
    std::string text;
    char chunk[256];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    return text;
}

// Runs report with the report stream set to a fresh temporary file; the
// stream is unset again afterwards.
inline std::string report_text(const std::function<void()>& report) {
    FILE* file = tmpfile();
    if (file == nullptr) return "<tmpfile failed>";
    set_report_stream(file);
    report();
    set_report_stream(nullptr);
    std::string text = read_whole(file);
    fclose(file);
    return text;
}

// The same for an interval of exactly us microseconds stored in the clock.
inline std::string report_text_after(uint64_t us, const std::function<void()>& report) {
    clock_store_elapsed(us);
    return report_text(report);
}

// Runs code with descriptor 2 pointing at a temporary file; returns what
// reached it.
inline std::string stderr_text(const std::function<void()>& code) {
    FILE* file = tmpfile();
    if (file == nullptr) return "<tmpfile failed>";
    fflush(stderr);
    const int saved = dup(2);
    dup2(fileno(file), 2);
    code();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = read_whole(file);
    fclose(file);
    return text;
}

#endif
