#include "status_line.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>

namespace {

// Erases the line the cursor is on: back to its start, clear to its end.
constexpr const char* ERASE_LINE = "\r\033[K";

double percent(double fraction) { return fraction * 100; }

const char* loop_name(CalibrationLoop loop) {
    switch (loop) {
        case CALIBRATION_LOOP_TIMER_PROBE:
            return "timer overhead";
        case CALIBRATION_LOOP_SINGLE_CHASE:
            return "loop overhead, one-load loop";
        case CALIBRATION_LOOP_DOUBLE_CHASE:
            return "loop overhead, two-load loop";
        case CALIBRATION_LOOP_NONE:
            break;
    }
    return "overhead";
}

// How a settled value was reached; variable is the environment variable
// that can set it.
std::string source_text(CalibrationSource source, const char* variable) {
    switch (source) {
        case CALIBRATION_SOURCE_ENVIRONMENT:
            return std::string(", from ") + variable;
        case CALIBRATION_SOURCE_CANDIDATE:
            return ", a candidate passed";
        case CALIBRATION_SOURCE_FALLBACK:
            return ", no candidate passed";
        case CALIBRATION_SOURCE_SKIPPED:
            return ", not measured above 50000 us";
        case CALIBRATION_SOURCE_MEASURED:
        case CALIBRATION_SOURCE_NONE:
            break;
    }
    return "";
}

std::string prefix(const char* program, double seconds) {
    return formatted("%s [%.1f s] ", program, seconds);
}

void draw_line(StatusLine* line, std::string text) {
    // Stay off the last column, so that the terminal never wraps the line.
    if (line->columns > 1 && text.size() >= static_cast<size_t>(line->columns)) {
        text.resize(static_cast<size_t>(line->columns) - 1);
    }
    std::fputs(ERASE_LINE, line->stream);
    std::fputs(text.c_str(), line->stream);
    std::fflush(line->stream);
    line->drawn = true;
}

}  // namespace

std::string formatted(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

double steady_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

bool start_status_line(StatusLine* line, FILE* stream, const char* program) {
    *line = StatusLine();
    line->program = program;
    line->stream = stream;
    line->start_seconds = steady_seconds();
    const int fd = fileno(stream);
    line->terminal = fd >= 0 && isatty(fd);
    struct winsize size;
    if (line->terminal && ioctl(fd, TIOCGWINSZ, &size) == 0) line->columns = size.ws_col;
    return line->terminal;
}

std::string calibration_step_text(const CalibrationStep& s) {
    switch (s.kind) {
        case CALIBRATION_STEP_BEGIN:
            return "calibrating";
        case CALIBRATION_STEP_CHASE_TRIAL:
            return formatted("enough search: candidate %d us, trial %d took %llu us",
                             s.candidate_us, s.trial, static_cast<unsigned long long>(s.time_us));
        case CALIBRATION_STEP_LINEARITY:
            return formatted("enough search: candidate %d us, linearity %d of %d: error %.3f %%",
                             s.candidate_us, s.factor_index, s.factor_count, percent(s.error));
        case CALIBRATION_STEP_CANDIDATE:
            if (s.passed) return formatted("enough search: candidate %d us passed", s.candidate_us);
            if (s.worst_error < 0) {
                return formatted("enough search: candidate %d us failed (never within 2 %%)",
                                 s.candidate_us);
            }
            return formatted("enough search: candidate %d us failed (error %.3f %%)",
                             s.candidate_us, percent(s.worst_error));
        case CALIBRATION_STEP_ENOUGH:
            return formatted("enough interval %d us", s.enough_us) +
                   source_text(s.source, "ENOUGH");
        case CALIBRATION_STEP_OVERHEAD_PASS:
            return formatted("%s: pass %d of %d", loop_name(s.loop), s.pass, s.passes);
        case CALIBRATION_STEP_TIMER_OVERHEAD:
            return formatted("timer overhead %llu us",
                             static_cast<unsigned long long>(s.timer_overhead)) +
                   source_text(s.source, "TIMING_O");
        case CALIBRATION_STEP_LOOP_OVERHEAD:
            return formatted("loop overhead %.8f us", s.iteration_overhead) +
                   source_text(s.source, "LAPCOST");
        case CALIBRATION_STEP_END:
            return "done";
    }
    return "calibrating";
}

std::string status_text(const char* program, const CalibrationStep& step, double seconds) {
    return prefix(program, seconds) + calibration_step_text(step);
}

std::string time_left_text(size_t done, size_t total, double elapsed) {
    if (done == 0 || done >= total || !(elapsed > 0)) return "";
    const double left = elapsed / static_cast<double>(done) * static_cast<double>(total - done);
    const long seconds = left < 1e9 ? static_cast<long>(left + 0.5) : 999999999L;
    if (seconds < 1) return ", under 1 s left";
    if (seconds < 60) return formatted(", about %ld s left", seconds);
    return formatted(", about %ld min %02ld s left", seconds / 60, seconds % 60);
}

void show_status(StatusLine* line, const std::string& text) {
    if (!line->terminal) return;
    draw_line(line, prefix(line->program, steady_seconds() - line->start_seconds) + text);
}

void show_calibration(StatusLine* line, const CalibrationStep& step) {
    show_status(line, calibration_step_text(step));
}

void clear_status(StatusLine* line) {
    if (line->drawn) {
        std::fputs(ERASE_LINE, line->stream);
        std::fflush(line->stream);
    }
    line->drawn = false;
}
