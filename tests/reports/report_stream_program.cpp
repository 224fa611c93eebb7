// A benchmark program's view of the report stream: without a choice the
// reports go to standard error; with "choose" they go to standard output for
// one report and back to standard error after the stream is unset.
#include <cstdio>
#include <cstring>

#include "lib_timing.h"

int main(int argc, char** argv) {
    clock_store_elapsed(1000000);
    report_kb_per_sec(2000);
    if (argc > 1 && strcmp(argv[1], "choose") == 0) {
        set_report_stream(stdout);
        report_kb_per_sec(4000);
        set_report_stream(nullptr);
        report_kb_per_sec(6000);
    }
    return 0;
}
