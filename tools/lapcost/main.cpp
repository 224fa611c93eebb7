// lapcost: prints what one iteration of an empty counted loop costs on this
// machine, in microseconds per iteration. Arguments are ignored. Standard
// error shows the calibration's progress on a terminal (progress_display.h).
#include <cstdio>
#include <cstdlib>

#include "lib_timing.h"
#include "progress_display.h"

int main() {
    ProgressDisplay display;
    if (start_progress_display(&display, stderr, std::getenv("TIMING_VERBOSE"))) {
        set_calibration_observer(show_calibration_step, &display);
    }
    std::printf("%.8f\n", iteration_overhead_us());
    return 0;
}
