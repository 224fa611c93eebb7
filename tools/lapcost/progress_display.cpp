#include "progress_display.h"

#include <glob.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <fstream>

namespace {

// Erases the line the cursor is on: back to its start, clear to its end.
constexpr const char* ERASE_LINE = "\r\033[K";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

double percent(double fraction) { return fraction * 100; }

double monotonic_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

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

// How a settled value was reached, for the status line; variable is the
// environment variable that can set it.
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

// What a step says, after the status line's prefix.
std::string step_text(const CalibrationStep& s) {
    switch (s.kind) {
        case CALIBRATION_STEP_BEGIN:
            return "calibrating";
        case CALIBRATION_STEP_CHASE_TRIAL:
            return format("enough search: candidate %d us, trial %d took %llu us", s.candidate_us,
                          s.trial, static_cast<unsigned long long>(s.time_us));
        case CALIBRATION_STEP_LINEARITY:
            return format("enough search: candidate %d us, linearity %d of %d: error %.3f %%",
                          s.candidate_us, s.factor_index, s.factor_count, percent(s.error));
        case CALIBRATION_STEP_CANDIDATE:
            if (s.passed) return format("enough search: candidate %d us passed", s.candidate_us);
            if (s.worst_error < 0) {
                return format("enough search: candidate %d us failed (never within 2 %%)",
                              s.candidate_us);
            }
            return format("enough search: candidate %d us failed (error %.3f %%)", s.candidate_us,
                          percent(s.worst_error));
        case CALIBRATION_STEP_ENOUGH:
            return format("enough interval %d us", s.enough_us) + source_text(s.source, "ENOUGH");
        case CALIBRATION_STEP_OVERHEAD_PASS:
            return format("%s: pass %d of %d", loop_name(s.loop), s.pass, s.passes);
        case CALIBRATION_STEP_TIMER_OVERHEAD:
            return format("timer overhead %llu us",
                          static_cast<unsigned long long>(s.timer_overhead)) +
                   source_text(s.source, "TIMING_O");
        case CALIBRATION_STEP_LOOP_OVERHEAD:
            return format("loop overhead %.8f us", s.iteration_overhead) +
                   source_text(s.source, "LAPCOST");
        case CALIBRATION_STEP_END:
            return "done";
    }
    return "calibrating";
}

void draw_line(ProgressDisplay* d, std::string text) {
    // Stay off the last column, so that the terminal never wraps the line.
    if (d->columns > 1 && text.size() >= static_cast<size_t>(d->columns)) {
        text.resize(static_cast<size_t>(d->columns) - 1);
    }
    std::fputs(ERASE_LINE, d->stream);
    std::fputs(text.c_str(), d->stream);
    std::fflush(d->stream);
    d->drawn = true;
}

std::string prefix(const char* program, double seconds) {
    return format("%s [%.1f s] ", program, seconds);
}

void finish(ProgressDisplay* d) {
    clear_status(d);
    if (d->summary) {
        const std::string line = summary_text(d->enough, monotonic_seconds() - d->start_seconds,
                                              governor_note(d->governor_pattern));
        std::fprintf(d->stream, "%s\n", line.c_str());
    }
    std::fflush(d->stream);
}

}  // namespace

std::string status_text(const char* program, const CalibrationStep& step, double seconds) {
    return prefix(program, seconds) + step_text(step);
}

std::string summary_text(const CalibrationStep& enough, double seconds,
                         const std::string& governor) {
    std::string line = format("lapcost: enough interval %d us", enough.enough_us);
    switch (enough.source) {
        case CALIBRATION_SOURCE_ENVIRONMENT:
            line += ", from ENOUGH";
            break;
        case CALIBRATION_SOURCE_CANDIDATE:
            line += format(": candidate %d us passed the linearity test", enough.enough_us);
            break;
        default:
            line += format(": no candidate passed the %.2f %% linearity test",
                           percent(enough.error_limit));
            if (enough.best_candidate_us != 0) {
                line += format(" (best error %.3f %% at %d us)", percent(enough.best_error),
                               enough.best_candidate_us);
            } else {
                line += " (none came within 2 % of its interval)";
            }
            line += ", so one second is used; ENOUGH=5000 skips the search";
            break;
    }
    line += format("; calibration took %.1f s", seconds);
    if (!governor.empty()) {
        line += "; CPU frequency governor is " + governor + ", not performance";
    }
    return line;
}

std::string governor_note(const char* pattern) {
    glob_t found{};
    std::string note;
    if (glob(pattern, 0, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc && note.empty(); ++i) {
            std::ifstream in(found.gl_pathv[i]);
            std::string governor;
            if (std::getline(in, governor) && !governor.empty() && governor != "performance") {
                note = governor;
            }
        }
    }
    globfree(&found);
    return note;
}

bool start_progress_display(ProgressDisplay* display, FILE* stream, const char* verbose) {
    *display = ProgressDisplay();
    display->stream = stream;
    display->start_seconds = monotonic_seconds();
    const int fd = fileno(stream);
    display->status_line = fd >= 0 && isatty(fd);
    display->summary = display->status_line || (verbose && std::strtol(verbose, nullptr, 10) != 0);
    struct winsize size;
    if (display->status_line && ioctl(fd, TIOCGWINSZ, &size) == 0) display->columns = size.ws_col;
    return display->status_line || display->summary;
}

void show_calibration_step(const CalibrationStep* step, void* arg) {
    ProgressDisplay* d = static_cast<ProgressDisplay*>(arg);
    if (step->kind == CALIBRATION_STEP_ENOUGH) d->enough = *step;
    if (step->kind == CALIBRATION_STEP_END) {
        finish(d);
    } else if (d->status_line) {
        draw_line(d, status_text(d->program, *step, monotonic_seconds() - d->start_seconds));
    }
}

void show_status(ProgressDisplay* display, const std::string& text) {
    if (!display->status_line) return;
    draw_line(display,
              prefix(display->program, monotonic_seconds() - display->start_seconds) + text);
}

void clear_status(ProgressDisplay* display) {
    if (display->drawn) {
        std::fputs(ERASE_LINE, display->stream);
        std::fflush(display->stream);
    }
    display->drawn = false;
}
