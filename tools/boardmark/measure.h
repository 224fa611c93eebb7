// What the four measurements share: the session they report into, the row
// parameters every JSON report carries, and one driver_run per row.
#ifndef BOARDMARK_MEASURE_H
#define BOARDMARK_MEASURE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "lib_timing.h"
#include "machine.h"
#include "options.h"
#include "progress_display.h"

struct Session {
    FILE* out = nullptr;                 // tables, or the report stream in JSON mode
    bool json = false;                   // JSON Lines through the reports, no tables
    ProgressDisplay* display = nullptr;  // status line on standard error, or null
    MachineFacts facts;
    std::string status;   // what the status line says of the current row
    size_t step = 0;      // rows done
    size_t steps = 0;     // rows in the whole run
    bool failed = false;  // a measurement failed: exit status 1
};

// Shows "what (step of steps)" on the status line and counts the step.
void next_step(Session* session, const std::string& what);

// Says on standard error that the measurement named what failed, and why;
// the run ends with exit status 1.
void measurement_failed(Session* session, const std::string& what, const std::string& why);

// The calibration observer (arg is the Session): the calibration's steps on
// the status line, then the current row's again.
void show_calibration(const CalibrationStep* step, void* arg);

// Erases the status line before output goes to the terminal.
void before_output(Session* session);

// The parameters every report of a row carries (params in the JSON), in this
// order; all six are set for every row.
struct RowParams {
    const char* measurement = "";
    uint64_t size = 0;
    const char* op = "";
    int workers = 1;
    const char* pages = "default";
    int cpus = 1;
};
void set_row_params(const RowParams& params);

// One driver_run of body with workers workers (setup and teardown may be
// null; all three get arg). The result is the clock's median sample; ok is
// false when the run failed (the clock reads 0 over 1). cpus counts the CPUs
// the workers' affinity masks allowed after setup(0), together. The run's
// samples stay current (for the reports) until the next run_job replaces
// and frees them.
struct Job {
    IntervalCallback setup = nullptr;
    IntervalCallback body = nullptr;
    IntervalCallback teardown = nullptr;
    void* arg = nullptr;
    int workers = 1;
};
struct JobResult {
    bool ok = false;
    uint64_t elapsed_us = 0;
    uint64_t iterations = 0;
    int cpus = 0;
};
JobResult run_job(const Job& job);

#endif
