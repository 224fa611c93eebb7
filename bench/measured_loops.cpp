#include "measured_loops.h"

void* bench_self_pointer = &bench_self_pointer;

namespace {

// One dependent load through a volatile access, as the calibration does it.
inline void* load(void* p) { return *static_cast<void* const volatile*>(p); }

}  // namespace

// Same source shape as the calibration's single and double chase: a 32-bit
// counted loop around one or two dependent loads.
__attribute__((noinline)) void* bench_single_chase(void* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) p = load(p);
    return p;
}

__attribute__((noinline)) void* bench_double_chase(void* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) p = load(load(p));
    return p;
}

namespace {

__attribute__((noinline)) void* chase_steps(void* p, uint32_t steps) {
    for (uint32_t i = 0; i < steps; ++i) p = load(p);
    return p;
}

// A multiply-add chain: every step depends on the previous one, and the
// empty asm keeps the compiler from folding the chain into a closed form.
__attribute__((noinline)) uint64_t arithmetic_steps(uint64_t x, uint32_t steps) {
    for (uint32_t i = 0; i < steps; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        asm volatile("" : "+r"(x));
    }
    return x;
}

}  // namespace

void run_body(uint32_t iterations, void* body_work) {
    BodyWork* work = static_cast<BodyWork*>(body_work);
    if (work->kind == BodyKind::Chase) {
        for (uint32_t i = 0; i < iterations; ++i)
            work->cursor = chase_steps(work->cursor, work->steps);
    } else {
        for (uint32_t i = 0; i < iterations; ++i)
            work->value = arithmetic_steps(work->value, work->steps);
    }
}
