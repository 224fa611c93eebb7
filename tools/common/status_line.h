// A status line on standard error, redrawn in place while a program runs on
// a terminal: "program [seconds] text", the calibration's steps in the same
// form, and how long a run of counted steps still has to go.
#ifndef TOOLS_COMMON_STATUS_LINE_H
#define TOOLS_COMMON_STATUS_LINE_H

#include <cstdio>
#include <string>

#include "lib_timing.h"

struct StatusLine {
    const char* program = "";  // the line's first word
    FILE* stream = nullptr;
    bool terminal = false;     // the stream is a terminal: lines are drawn
    int columns = 0;           // terminal width, 0 when unknown
    double start_seconds = 0;  // monotonic clock at the start
    bool drawn = false;        // a line is showing
};

// Sets line up for program on stream; true when stream is a terminal.
bool start_status_line(StatusLine* line, FILE* stream, const char* program);

// printf into a string (at most 255 bytes).
std::string formatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// CLOCK_MONOTONIC in seconds.
double steady_seconds();

// What the status line says of a calibration step (no prefix).
std::string calibration_step_text(const CalibrationStep& step);

// The whole status line of program for step, seconds after the start.
std::string status_text(const char* program, const CalibrationStep& step, double seconds);

// ", about N s left" (or "N min M s", or ", under 1 s left") for a run that has done done of total
// steps in elapsed seconds, the steps taken as equally long; "" before the
// first step is done or after the last.
std::string time_left_text(size_t done, size_t total, double elapsed);

// Draws "program [seconds] text" when line is on a terminal.
void show_status(StatusLine* line, const std::string& text);

// Draws the calibration step on the line.
void show_calibration(StatusLine* line, const CalibrationStep& step);

// Erases the line if one is showing (before other output on the terminal).
void clear_status(StatusLine* line);

#endif
