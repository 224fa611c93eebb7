/* memread: how fast this machine reads memory, measured with lib_timing.
 *
 * Times a body that sums a buffer's 32-bit words with driver_run, once with
 * one worker and once with two, and prints each result as a bandwidth and as
 * the size in MB with the microseconds one pass over it takes.
 * Usage: memread [SIZE], SIZE as parse_size reads it (e.g. 64k, 8m; default
 * 1m). Workers are placed by QUENTAR_SCHED, BALANCED (one worker per allowed
 * CPU, round robin) when it is unset.
 *
 * Each sample is one worker's interval, so the figures are per worker. In
 * JSON mode (TIMING_REPORT_FORMAT=json) the reports carry the size and the
 * worker count as parameters and memread prints nothing of its own, so that
 * its output is pure JSON Lines.
 */
#define _POSIX_C_SOURCE 200809L
#include <lib_timing.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct Buffer {
    int* words;
    uint32_t bytes;
} Buffer;

/* Each worker fills its own copy of the buffer once before it is timed. */
static void setup(uint32_t iterations, void* arg) {
    Buffer* b = arg;
    if (iterations == 0) touch_pages(b->words, b->bytes);
}

static void body(uint32_t iterations, void* arg) {
    Buffer* b = arg;
    int sum = 0;
    while (iterations-- > 0) sum += sum_words(b->words, b->bytes);
    sink_int(sum);
}

static void measure(Buffer* b, int workers) {
    char text[24];
    snprintf(text, sizeof text, "%d", workers);
    set_report_param("workers", text);
    driver_run(setup, body, NULL, 0, workers, 0, 11, b);
    const uint64_t iterations = clock_iterations();
    if (report_format() == REPORT_FORMAT_TEXT) {
        printf("%d worker%s, %s per pass, %llu passes in %llu us: ", workers,
               workers == 1 ? "" : "s", format_size(b->bytes), (unsigned long long)iterations,
               (unsigned long long)clock_elapsed_us());
        fflush(stdout);
    }
    report_mb_per_sec((uint64_t)b->bytes * iterations);
    report_size_latency(b->bytes, iterations); /* microseconds per pass */
}

int main(int argc, char** argv) {
    if (argc > 2) print_usage_and_exit(argc, argv, "[SIZE]\n");
    const uint64_t size = argc == 2 ? parse_size(argv[1]) : 1024 * 1024;
    if (size < 4 || size > 0x40000000) print_usage_and_exit(argc, argv, "[SIZE]\n");

    setenv("QUENTAR_SCHED", "BALANCED", 0);

    Buffer b;
    b.bytes = (uint32_t)size;
    char text[24];
    snprintf(text, sizeof text, "%lu", (unsigned long)b.bytes);
    set_report_param("size", text);
    b.words = calloc(b.bytes / 4, 4);
    if (b.words == NULL) return 1;
    set_report_stream(stdout);
    measure(&b, 1);
    measure(&b, 2);
    free(b.words);
    return 0;
}
