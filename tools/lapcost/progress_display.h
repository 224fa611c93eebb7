// What lapcost shows of the calibration on standard error: the status line
// (status_line.h) while it runs, and one summary line at the end.
#ifndef LAPCOST_PROGRESS_DISPLAY_H
#define LAPCOST_PROGRESS_DISPLAY_H

#include <cstdio>
#include <string>

#include "lib_timing.h"
#include "status_line.h"

struct ProgressDisplay {
    StatusLine line;
    bool summary = false;      // print the summary line at the end
    CalibrationStep enough{};  // the step that settled the enough interval
};

// The summary line (no newline): the enough interval and how it was reached,
// from the ENOUGH step, the calibration's seconds, and the governor note when
// governor is not empty.
std::string summary_text(const CalibrationStep& enough, double seconds,
                         const std::string& governor);

// The governor of the machine's first cpufreq policy whose governor is known
// and not "performance"; "" when there is none.
std::string governor_note(const MachineRecord& machine);

// Sets display up for stream: a status line and the summary when stream is a
// terminal, only the summary when verbose is set to a nonzero number (the
// TIMING_VERBOSE value; null when unset). False when nothing is to be shown.
bool start_progress_display(ProgressDisplay* display, FILE* stream, const char* verbose);

// The calibration observer: arg is the ProgressDisplay. Draws each step,
// and at the end erases the status line and prints the summary.
void show_calibration_step(const CalibrationStep* step, void* arg);

#endif
