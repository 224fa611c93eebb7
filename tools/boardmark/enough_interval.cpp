#include "enough_interval.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "status_line.h"

namespace {

constexpr const char* FALLBACK = "fallback";
constexpr const char* SLOW = "slow";

double search_start = 0;

}  // namespace

EnoughOrigin choose_enough(bool quick) {
    const char* marker = std::getenv(BOUND_MARKER);
    const EnoughOrigin bound = marker == nullptr                ? EnoughOrigin::LIBRARY
                               : std::strcmp(marker, SLOW) == 0 ? EnoughOrigin::BOUND_SLOW
                                                                : EnoughOrigin::BOUND_FALLBACK;
    unsetenv(BOUND_MARKER);
    if (bound != EnoughOrigin::LIBRARY) return bound;
    if (quick && std::getenv("ENOUGH") == nullptr) {
        setenv("ENOUGH", "5000", 1);
        return EnoughOrigin::QUICK;
    }
    return EnoughOrigin::LIBRARY;
}

void bound_calibration(const CalibrationStep& step, EnoughOrigin origin, char** argv) {
    if (origin != EnoughOrigin::LIBRARY) return;
    if (step.kind == CALIBRATION_STEP_BEGIN) search_start = steady_seconds();
    const bool fallback =
        step.kind == CALIBRATION_STEP_ENOUGH && step.source == CALIBRATION_SOURCE_FALLBACK;
    const bool slow =
        (step.kind == CALIBRATION_STEP_CHASE_TRIAL || step.kind == CALIBRATION_STEP_LINEARITY) &&
        steady_seconds() - search_start > SEARCH_BOUND_SECONDS;
    if (!fallback && !slow) return;
    setenv("ENOUGH", std::to_string(ENOUGH_BOUND_US).c_str(), 1);
    setenv(BOUND_MARKER, fallback ? FALLBACK : SLOW, 1);
    std::fflush(nullptr);
    execv("/proc/self/exe", argv);
    // Could not: the run goes on with the calibration's interval.
    unsetenv(BOUND_MARKER);
}

std::string enough_note(EnoughOrigin origin) {
    const std::string bound = "enough: " + std::to_string(ENOUGH_BOUND_US) +
                              " us, boardmark's bound, as the calibration ";
    switch (origin) {
        case EnoughOrigin::QUICK:
            return "enough: 5000 us from boardmark --quick (ENOUGH was not set)";
        case EnoughOrigin::BOUND_FALLBACK:
            return bound + "found no interval and fell back to one second";
        case EnoughOrigin::BOUND_SLOW:
            return bound + "searched for more than " +
                   std::to_string(static_cast<int>(SEARCH_BOUND_SECONDS)) + " s";
        case EnoughOrigin::LIBRARY:
            break;
    }
    return "";
}

std::string enough_bound_param(EnoughOrigin origin) {
    if (origin == EnoughOrigin::BOUND_FALLBACK) return "calibration fell back";
    if (origin == EnoughOrigin::BOUND_SLOW) return "calibration searched too long";
    return "";
}
