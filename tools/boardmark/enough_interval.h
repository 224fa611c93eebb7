// Where boardmark's enough interval comes from, and its bound. The library
// calibrates once per process; when that takes its one-second fallback, or
// searches too long, boardmark starts itself again with ENOUGH at its bound,
// so that every row gets its samples in reasonable time.
#ifndef BOARDMARK_ENOUGH_INTERVAL_H
#define BOARDMARK_ENOUGH_INTERVAL_H

#include <string>

#include "lib_timing.h"

enum class EnoughOrigin {
    LIBRARY,         // the calibration's, or ENOUGH as the user set it
    QUICK,           // --quick with ENOUGH unset
    BOUND_FALLBACK,  // the calibration fell back to one second
    BOUND_SLOW,      // the calibration searched too long
};

// The largest interval at which the calibration still measures the timer
// overhead, and one the search tries.
constexpr int ENOUGH_BOUND_US = 50000;
constexpr double SEARCH_BOUND_SECONDS = 30;  // longer than this is too long
// Set by boardmark for the run it starts with ENOUGH at the bound.
constexpr const char* BOUND_MARKER = "BOARDMARK_ENOUGH_BOUND";

// Before anything calibrates: ENOUGH=5000 for quick runs unless the user set
// ENOUGH, and what a restart left in BOUND_MARKER.
EnoughOrigin choose_enough(bool quick);

// Part of the calibration observer: on a fallback, or once the search has
// run SEARCH_BOUND_SECONDS, starts this program again (argv) with ENOUGH at
// ENOUGH_BOUND_US. Returns only when it may not or could not.
void bound_calibration(const CalibrationStep& step, EnoughOrigin origin, char** argv);

// The text line that says where the interval came from ("" for LIBRARY),
// and the JSON param value for a bound ("" otherwise).
std::string enough_note(EnoughOrigin origin);
std::string enough_bound_param(EnoughOrigin origin);

#endif
