/* A benchmark program written in C: the chief header compiles as C11 and the
 * static library links into a C program. Exits 0 when the clock and a sample
 * set give the expected results. */
#include <lib_timing.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    SampleSet* set = malloc((size_t)sample_set_bytes(3));
    if (set == NULL) return 2;
    sample_set_clear(set);
    sample_set_add(100, 10, set);
    sample_set_add(50, 10, set);
    sample_set_add(300, 10, set);
    select_sample_set(set);
    if (clock_elapsed_us() != 100 || clock_iterations() != 10) return 1;
    SampleSummary summary;
    if (sample_set_summarize(set, &summary) != 0 || summary.median_us != 10.0 ||
        summary.spread != 0.5)
        return 1;
    set_report_format(REPORT_FORMAT_TEXT);

    volatile uint32_t x = 0;
    clock_begin(NULL);
    for (uint32_t i = 0; i < 100000; ++i) x = x + i;
    const uint64_t us = clock_end(NULL, NULL);
    sink_int((int)x);
    if (clock_elapsed_us() != us) return 1;

    struct timeval a = {5, 200};
    struct timeval b = {3, 900};
    struct timeval d;
    tvsub(&d, &a, &b);
    if (d.tv_sec != 1 || d.tv_usec != 999300) return 1;
    printf("ok %llu\n", (unsigned long long)timeval_span_us(&b, &a));
    return 0;
}
