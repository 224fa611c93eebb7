// The loops both harnesses measure. The chase loops are copies of the
// calibration's one-load and two-load loops, compiled with the same flags
// and kept out of line in the same way, so that Google Benchmark times the
// same machine code that the library's loop overhead is computed from.
#ifndef BENCH_MEASURED_LOOPS_H
#define BENCH_MEASURED_LOOPS_H

#include <cstdint>

// A pointer that points at itself: every load from it yields it again.
extern void* bench_self_pointer;

void* bench_single_chase(void* p, uint32_t n);
void* bench_double_chase(void* p, uint32_t n);

// Benchmark bodies of known cost, in the driver's callback shape. Each call
// runs `iterations` times the work that BodyWork describes. Every iteration
// continues the chain where the previous one (in this call or an earlier
// one) left it, through the volatile fields, so that no two iterations can
// overlap: one iteration costs the same whether a harness calls the body once
// per iteration (Google Benchmark) or once per interval (the driver).
enum class BodyKind { Chase, Arithmetic };
struct BodyWork {
    BodyKind kind;
    uint32_t steps;           // dependent loads, or multiply-add steps
    void* volatile cursor;    // where the chase stands
    volatile uint64_t value;  // where the multiply-add chain stands
};

void run_body(uint32_t iterations, void* body_work);

#endif
