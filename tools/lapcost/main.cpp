// lapcost: prints what one iteration of an empty counted loop costs on this
// machine, in microseconds per iteration. Arguments are ignored.
#include <cstdio>

#include "lib_timing.h"

int main() {
    std::printf("%.8f\n", iteration_overhead_us());
    return 0;
}
