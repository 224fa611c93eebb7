// What lapcost shows of the calibration on standard error: a status line
// redrawn in place on a terminal, and one summary line at the end. Other
// programs (boardmark) draw their own steps on the same status line.
#ifndef LAPCOST_PROGRESS_DISPLAY_H
#define LAPCOST_PROGRESS_DISPLAY_H

#include <cstdio>
#include <string>

#include "lib_timing.h"

// Where the governors live; one file per CPU.
constexpr const char* GOVERNOR_PATTERN = "/sys/devices/system/cpu/cpu*/cpufreq/scaling_governor";

struct ProgressDisplay {
    const char* program = "lapcost";  // the status line's first word
    FILE* stream = nullptr;
    bool status_line = false;  // redraw a status line: the stream is a terminal
    bool summary = false;      // print the summary line at the end
    int columns = 0;           // terminal width, 0 when unknown
    double start_seconds = 0;  // monotonic clock at the start
    bool drawn = false;        // a status line is showing
    CalibrationStep enough{};  // the step that settled the enough interval
    const char* governor_pattern = GOVERNOR_PATTERN;
};

// The status line of program for step, seconds after the start (no newline).
std::string status_text(const char* program, const CalibrationStep& step, double seconds);

// The summary line (no newline): the enough interval and how it was reached,
// from the ENOUGH step, the calibration's seconds, and the governor note when
// governor is not empty.
std::string summary_text(const CalibrationStep& enough, double seconds,
                         const std::string& governor);

// The first CPU frequency governor readable under pattern (a glob) that is
// not "performance"; "" when none is readable or all are "performance".
std::string governor_note(const char* pattern);

// Sets display up for stream: a status line and the summary when stream is a
// terminal, only the summary when verbose is set to a nonzero number (the
// TIMING_VERBOSE value; null when unset). False when nothing is to be shown.
bool start_progress_display(ProgressDisplay* display, FILE* stream, const char* verbose);

// The calibration observer: arg is the ProgressDisplay. Draws each step,
// and at the end erases the status line and prints the summary.
void show_calibration_step(const CalibrationStep* step, void* arg);

// Draws "program [seconds] text" as the status line when display has one.
void show_status(ProgressDisplay* display, const std::string& text);

// Erases the status line if one is showing (before other output on the terminal).
void clear_status(ProgressDisplay* display);

#endif
