/* A benchmark program written in C: the chief header compiles as C11, the
 * static library links into a C program, and timestamps and file offsets
 * cross the interface with one layout. CI also builds it against the
 * installed cross packages (with pkg-config and with find_package) and runs it
 * under the emulators. Prints "ok" and exits 0 when every result is as
 * expected; otherwise names the first mismatch on standard error, exits 1. */
#define _POSIX_C_SOURCE 200809L
#include <lib_timing.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#define CHECK(condition)                                           \
    do {                                                           \
        if (!(condition)) {                                        \
            fprintf(stderr, "c_client: failed: %s\n", #condition); \
            return 1;                                              \
        }                                                          \
    } while (0)

/* A timestamp with a guard word on either side: a library that writes a
 * struct timeval of another size changes a guard. */
typedef struct GuardedStamp {
    uint32_t before[4];
    struct timeval at;
    uint32_t after[4];
} GuardedStamp;

static const uint32_t GUARD = 0xA5C3E1F0u;

static void guard(GuardedStamp* g) {
    for (int i = 0; i < 4; ++i) g->before[i] = g->after[i] = GUARD;
    g->at.tv_sec = 0;
    g->at.tv_usec = 0;
}

static int guards_intact(const GuardedStamp* g) {
    for (int i = 0; i < 4; ++i) {
        if (g->before[i] != GUARD || g->after[i] != GUARD) return 0;
    }
    return 1;
}

static int normalised(const struct timeval* t) {
    return t->tv_sec > 0 && t->tv_usec >= 0 && t->tv_usec < 1000000;
}

int main(void) {
    SampleSet* set = malloc((size_t)sample_set_bytes(3));
    CHECK(set != NULL);
    sample_set_clear(set);
    sample_set_add(100, 10, set);
    sample_set_add(50, 10, set);
    sample_set_add(300, 10, set);
    select_sample_set(set);
    CHECK(clock_elapsed_us() == 100 && clock_iterations() == 10);
    SampleSummary summary;
    CHECK(sample_set_summarize(set, &summary) == 0 && summary.median_us == 10.0 &&
          summary.spread == 0.5);
    set_report_format(REPORT_FORMAT_TEXT);
    CHECK(report_format() == REPORT_FORMAT_TEXT);
    CHECK(set_report_param("size", "4096") == 0 && set_report_param("size", NULL) == 0);

    volatile uint32_t x = 0;
    clock_begin(NULL);
    for (uint32_t i = 0; i < 100000; ++i) x = x + i;
    const uint64_t us = clock_end(NULL, NULL);
    sink_int((int)x);
    CHECK(clock_elapsed_us() == us);

    const struct timeval a = {5, 200};
    const struct timeval b = {3, 900};
    struct timeval d;
    tvsub(&d, &a, &b);
    CHECK(d.tv_sec == 1 && d.tv_usec == 999300);
    const struct timeval from = {10, 0};
    const struct timeval to = {12, 500};
    CHECK(timeval_span_us(&from, &to) == 2000500);

    /* Caller-owned timestamps. */
    GuardedStamp begin, end;
    guard(&begin);
    guard(&end);
    clock_begin(&begin.at);
    for (uint32_t i = 0; i < 100000; ++i) x = x + i;
    const uint64_t span = clock_end(&begin.at, &end.at);
    CHECK(guards_intact(&begin) && guards_intact(&end));
    CHECK(normalised(&begin.at) && normalised(&end.at));
    CHECK(span == timeval_span_us(&begin.at, &end.at));
    CHECK(span < 60u * 1000000u);

    /* A sparse file past 4 GiB: the offsets must not be cut to 32 bits. */
    const int64_t past_4g = ((int64_t)5 << 30) + 3;
    FILE* file = tmpfile();
    CHECK(file != NULL);
    const int fd = fileno(file);
    CHECK(seek_large(fd, past_4g, SEEK_SET) == past_4g);
    CHECK(write(fd, "x", 1) == 1);
    CHECK(seek_large(fd, 0, SEEK_END) == past_4g + 1);
    CHECK(seek_large(fd, -past_4g, SEEK_CUR) == 1);
    struct stat st;
    CHECK(fstat(fd, &st) == 0 && st.st_size == past_4g + 1);
    fclose(file);

    printf("ok\n");
    return 0;
}
