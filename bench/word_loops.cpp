// word_loops SIZE_MIB: read and write bandwidth of plain loops over a buffer
// of SIZE_MIB MiB, once as one 8-byte access per word (volatile, so the
// compiler keeps the accesses as written) and once as the compiler vectorises
// the same loops. Prints one JSON object of MB/s (10^6 bytes per second),
// each the median of 11 intervals of at least 20 ms. For the boardmark part
// of the bench: it shows what the width of the accesses alone does here.
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

uint64_t sink;

void scalar_read(uint64_t* w, size_t n) {
    const volatile uint64_t* v = w;
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += v[i];
    sink += sum;
}

void vector_read(uint64_t* w, size_t n) {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += w[i];
    sink += sum;
}

void scalar_write(uint64_t* w, size_t n) {
    volatile uint64_t* v = w;
    const uint64_t value = ++sink;
    for (size_t i = 0; i < n; ++i) v[i] = value;
}

void vector_write(uint64_t* w, size_t n) {
    const uint64_t value = ++sink;
    for (size_t i = 0; i < n; ++i) w[i] = value;
}

double median_mb_per_s(void (*pass)(uint64_t*, size_t), uint64_t* w, size_t n) {
    pass(w, n);
    std::vector<double> rates;
    for (int r = 0; r < 11; ++r) {
        const double start = now();
        double passes = 0;
        do {
            pass(w, n);
            ++passes;
        } while (now() - start < 0.02);
        rates.push_back(passes * static_cast<double>(n * 8) / (now() - start) / 1e6);
    }
    std::sort(rates.begin(), rates.end());
    return rates[5];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc == 2 ? std::strtoul(argv[1], nullptr, 10) : 32;
    const size_t bytes = mib << 20;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mib == 0 || p == MAP_FAILED) return 1;
    uint64_t* w = static_cast<uint64_t*>(p);
    const size_t n = bytes / 8;
    for (size_t i = 0; i < n; i += 512) w[i] = i;  // one store per page: pages of our own
    std::printf(
        "{\"scalar_read\":%.0f,\"vector_read\":%.0f,\"scalar_write\":%.0f,\"vector_write\":%.0f}\n",
        median_mb_per_s(scalar_read, w, n), median_mb_per_s(vector_read, w, n),
        median_mb_per_s(scalar_write, w, n), median_mb_per_s(vector_write, w, n));
    return sink == 42 ? 2 : 0;
}
