// What the measurements share: the session they report into, the status
// line, one driver run per row, and the one place a row is written, as a
// table row or as the library's JSON reports.
#ifndef BOARDMARK_SESSION_H
#define BOARDMARK_SESSION_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "lib_timing.h"
#include "machine.h"
#include "status_line.h"
#include "tables.h"

// Fewer samples than this make no row: the driver's default of one sample
// per worker is raised for rows of several workers or of long intervals.
constexpr int MIN_SAMPLES = 5;

// The parameters every report of a row carries (params in the JSON), in this
// order; the first six are set for every row, chains only above 1.
struct RowParams {
    const char* measurement = "";
    uint64_t size = 0;
    const char* op = "";
    int workers = 1;
    const char* pages = "default";
    int cpus = 1;
    int chains = 1;
    // Further params of this row alone, after those above.
    std::vector<std::pair<std::string, std::string>> extra;
};

// One figure of a row: the library report that writes it (in the JSON, and
// as the value the table shows), the key of the figure in the report's JSON
// object, and the table cells made of it: the figure times each factor.
struct Figure {
    std::function<void()> report;
    const char* key = "";
    std::vector<double> factors{1.0};
    bool reciprocal = false;  // cells are each factor over the figure
    int decimals = 2;
};

// A measured row as the summary line reads it: its params and its first
// table cell's value.
struct RowRecord {
    RowParams params;
    double value = 0;
};

struct Session {
    FILE* out = nullptr;           // tables, or the report stream in JSON mode
    bool json = false;             // JSON Lines through the reports, no tables
    bool tables = true;            // text mode: the tables (not with --summary)
    StatusLine* status = nullptr;  // status line on standard error, or null
    MachineFacts facts;
    std::string current;  // what the status line says of the current row
    size_t step = 0;      // rows done
    size_t steps = 0;     // rows in the whole run
    double first_step_seconds = 0;
    bool failed = false;  // a measurement failed: exit status 1
    Table table;          // the current measurement's table
    std::vector<RowRecord> rows;
};

// Shows "what (step of steps), about N s left" on the status line and counts
// the step.
void next_step(Session* session, const std::string& what);

// Erases the status line before output goes to the terminal.
void before_output(Session* session);

// A measurement's table: its title and column headers, then its rows, then
// printed (text mode only). The first key_columns cells name a row in the
// notes on disturbed rows.
void begin_table(Session* session, const std::string& title,
                 const std::vector<std::string>& headers, size_t key_columns = 1);
void end_table(Session* session);

// Writes a measured row: its JSON reports with params, or its table row of
// head, the figures' cells and tail.
void emit_row(Session* session, const RowParams& params, const std::vector<std::string>& head,
              const std::vector<Figure>& figures, const std::vector<std::string>& tail = {});

// Says on standard error that the row named what failed, and why; its table
// row shows head and "failed" cells, and the run ends with exit status 1.
void emit_failed_row(Session* session, const std::vector<std::string>& head,
                     const std::string& what, const std::string& why);

// A measurement that failed as a whole (no rows): said on standard error.
void measurement_failed(Session* session, const std::string& what, const std::string& why);

// One driver_run of body with workers workers (setup and teardown may be
// null; all three get arg), with enough repetitions for MIN_SAMPLES samples.
// The result is the clock's median sample; ok is false when the run failed
// (the clock reads 0 over 1). cpus counts the CPUs the workers' affinity
// masks allowed after setup(0), together. The run's samples stay current
// (for the reports) until the next run_job replaces and frees them.
struct Job {
    IntervalCallback setup = nullptr;
    IntervalCallback body = nullptr;
    IntervalCallback teardown = nullptr;
    void* arg = nullptr;
    int workers = 1;
};
struct JobResult {
    bool ok = false;
    uint64_t iterations = 0;
    int cpus = 0;
};
JobResult run_job(const Job& job);

// The repetitions run_job asks the driver for: the driver's default (-1)
// where that gives MIN_SAMPLES samples, otherwise enough per worker.
int repetitions_for(int workers, int enough_us);

#endif
