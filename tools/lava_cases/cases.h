// From a report stream (JSON Lines) and the error messages of the program
// that wrote it to LAVA test cases: one case per result row with its main
// figure and unit, the rows of one measurement in a test set of its name,
// failed rows and unreadable lines as failed cases, and the warnings of the
// context lines as a case of their own.
#ifndef LAVA_CASES_CASES_H
#define LAVA_CASES_CASES_H

#include <string>
#include <vector>

// Longest case and set name made; LAVA's results store keeps 100 characters.
constexpr size_t CASE_NAME_MAX = 100;

struct LavaCase {
    std::string set;   // empty: outside any test set
    std::string name;  // [A-Za-z0-9._-], unique within one conversion
    bool passed = false;
    std::string measurement;  // empty: none
    std::string units;        // with a measurement only
};

struct Conversion {
    std::vector<LavaCase> cases;     // in the order LAVA gets them
    std::vector<std::string> notes;  // what the log should say besides (warnings, bad lines)
};

// name with every character but letters, digits, '.', '_' and '-' made '_',
// at most CASE_NAME_MAX characters: a longer one keeps its start and ends in
// a hash of the whole, so that it stays unique and the same from run to run.
std::string case_name(const std::string& text);

// jsonl: the report lines; errors: the program's standard error, whose lines
// "PROGRAM: ROW: WHY" name a row that failed (its first word the
// measurement). run, when not empty, names the run: the cases of the run as
// a whole ("warnings", "unreadable_line_N") start with "RUN-", so that
// several runs can report into one LAVA test.
Conversion convert_reports(const std::string& jsonl, const std::string& errors,
                           const std::string& run = "");

// The measurement as LAVA reads it back: shortest decimal that is value.
std::string measurement_text(double value);

#endif
