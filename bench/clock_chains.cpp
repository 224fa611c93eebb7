// A check on boardmark clock's one assumption, that a dependent integer add
// takes one cycle: on one CPU, the same number of dependent instructions of
// three kinds whose latencies the core's documentation gives (add 1 cycle,
// 64-bit multiply and CRC32 3 cycles each on the x86-64 cores of the last
// decade), each timed by the wall clock and turned into MHz by its latency.
// When the three agree, the add chain counts the core's cycles.
//
//   clock_chains CPU [ROUNDS]
// prints one line per round: "add MHZ imul MHZ crc32 MHZ waited PERCENT", the
// last the share of the round the process was ready but waited for its CPU
// (from its schedstat; -1 unknown), which makes the figures of that round
// too low.
#include <sched.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Nanoseconds spent runnable but waiting for a CPU, or -1.
double waited_ns() {
    std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
    if (file == nullptr) return -1;
    unsigned long long running = 0;
    unsigned long long waiting = 0;
    const bool read = std::fscanf(file, "%llu %llu", &running, &waiting) == 2;
    std::fclose(file);
    return read ? static_cast<double>(waiting) : -1;
}

double seconds_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

constexpr uint64_t INSTRUCTIONS_PER_LOOP = 100;
constexpr uint64_t LOOPS = 200000;  // 20 million instructions, 5-15 ms at 1.5-4 GHz

#if defined(__x86_64__)
#define TIMES_10(x) x x x x x x x x x x
#define TIMES_100(x) TIMES_10(TIMES_10(x))
#define CHAIN(name, instruction)                                                 \
    __attribute__((noinline)) uint64_t name(uint64_t loops) {                    \
        uint64_t value = loops | 1;                                              \
        uint64_t other = 3;                                                      \
        __asm__ volatile("" : "+r"(other));                                      \
        while (loops-- > 0) {                                                    \
            TIMES_100(__asm__ volatile(instruction : "+r"(value) : "r"(other));) \
        }                                                                        \
        return value;                                                            \
    }
CHAIN(add_chain, "add %1, %0")
CHAIN(imul_chain, "imul %1, %0")
CHAIN(crc32_chain, "crc32q %1, %0")

struct Kind {
    const char* name;
    uint64_t (*chain)(uint64_t);
    double cycles;  // latency of one instruction
};
constexpr Kind KINDS[] = {
    {"add", add_chain, 1}, {"imul", imul_chain, 3}, {"crc32", crc32_chain, 3}};
#endif

}  // namespace

int main(int argc, char** argv) {
#if defined(__x86_64__)
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s CPU [ROUNDS]\n", argv[0]);
        return 2;
    }
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(std::atoi(argv[1]), &cpus);
    if (sched_setaffinity(0, sizeof cpus, &cpus) != 0) {
        std::perror("sched_setaffinity");
        return 1;
    }
    const int rounds = argc == 3 ? std::atoi(argv[2]) : 5;
    volatile uint64_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        const double waited_before = waited_ns();
        const double round_start = seconds_now();
        for (const Kind& kind : KINDS) {
            const double start = seconds_now();
            sink = sink + kind.chain(LOOPS);
            const double elapsed = seconds_now() - start;
            std::printf("%s%s %.0f", &kind == KINDS ? "" : " ", kind.name,
                        LOOPS * INSTRUCTIONS_PER_LOOP * kind.cycles / elapsed / 1e6);
        }
        const double waited_after = waited_ns();
        const double round_ns = (seconds_now() - round_start) * 1e9;
        std::printf(" waited %.1f\n", waited_before < 0 || waited_after < 0
                                          ? -1.0
                                          : 100.0 * (waited_after - waited_before) / round_ns);
    }
    return 0;
#else
    (void)argc;
    std::fprintf(stderr, "%s: no chains of known latency for this architecture\n", argv[0]);
    return 1;
#endif
}
