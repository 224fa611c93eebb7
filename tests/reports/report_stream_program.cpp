// A benchmark program's view of the report stream and format: without a
// choice the reports go to standard error; with "choose" they go to standard
// output for one report and back to standard error after the stream is unset.
// "text" or "json" first calls set_report_format. After the first report the
// program flips TIMING_REPORT_FORMAT, which the library has read by then.
// "ask" prints report_format() on standard output before the first report
// and at the end; "context" calls report_context() before the first report.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib_timing.h"

int main(int argc, char** argv) {
    bool choose = false;
    bool ask = false;
    bool context = false;
    auto print_format = [] { puts(report_format() == REPORT_FORMAT_JSON ? "json" : "text"); };
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "choose") == 0) choose = true;
        if (strcmp(argv[i], "ask") == 0) ask = true;
        if (strcmp(argv[i], "context") == 0) context = true;
        if (strcmp(argv[i], "text") == 0) set_report_format(REPORT_FORMAT_TEXT);
        if (strcmp(argv[i], "json") == 0) set_report_format(REPORT_FORMAT_JSON);
    }
    if (ask) print_format();
    if (context) report_context();
    clock_store_elapsed(1000000);
    report_kb_per_sec(2000);
    const char* format = getenv("TIMING_REPORT_FORMAT");
    setenv("TIMING_REPORT_FORMAT",
           format != nullptr && strcasecmp(format, "json") == 0 ? "text" : "json", 1);
    if (choose) {
        set_report_stream(stdout);
        report_kb_per_sec(4000);
        set_report_stream(nullptr);
        report_kb_per_sec(6000);
    }
    if (ask) print_format();
    return 0;
}
