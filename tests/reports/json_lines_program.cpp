// Every report in JSON mode on standard output, for the schema check:
// parameters set, the current set made by driver_run, each report in each
// of its forms, figures that are not finite, a null label, and a context line
// asked for besides the one that heads the output.
#include <cstdint>

#include "lib_timing.h"

namespace {

// Work in proportion to the count, well above the loop overhead that the
// driver takes off each iteration.
void body(uint32_t iterations, void*) {
    volatile uint32_t sum = 0;
    for (uint32_t i = 0; i < iterations; ++i) {
        for (int j = 0; j < 64; ++j) sum = sum + i;
    }
}

void every_report(uint64_t operations) {
    report_throughput(1000000, 4, 1);
    report_throughput(500000, 4, 0);
    report_kb_per_sec(3000);
    report_mb_per_sec(5000000);
    report_transfers(4, 2000);
    report_transfers(1, 3000);
    report_context_switches(operations);
    report_nanoseconds("sum \"quoted\"\t\xff", operations);
    report_microseconds("sum", operations);
    report_size_latency(4096, operations);
    report_milliseconds("sum", 1);
    report_microseconds_each(operations);
    report_resource_usage();
}

}  // namespace

int main() {
    set_report_format(REPORT_FORMAT_JSON);
    set_report_stream(stdout);
    set_report_param("size", "4096");
    set_report_param("note \"quoted\"", "tab\there");
    driver_run(nullptr, body, nullptr, 0, 2, 0, 3, nullptr);
    clock_store_elapsed(2000000);  // at least a millisecond per operation
    every_report(1000);
    report_context();
    set_report_param("size", nullptr);
    clock_store_elapsed(0);  // infinite and not-a-number figures
    report_throughput(0, 1, 1);
    report_resource_usage();
    clock_store_elapsed(5000);
    report_nanoseconds(nullptr, 0);
    return 0;
}
