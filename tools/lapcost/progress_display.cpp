#include "progress_display.h"

#include <cstdlib>

namespace {

double percent(double fraction) { return fraction * 100; }

void finish(ProgressDisplay* d) {
    clear_status(&d->line);
    if (d->summary) {
        const std::string line = summary_text(d->enough, steady_seconds() - d->line.start_seconds,
                                              governor_note(*machine_facts()));
        std::fprintf(d->line.stream, "%s\n", line.c_str());
    }
    std::fflush(d->line.stream);
}

}  // namespace

std::string summary_text(const CalibrationStep& enough, double seconds,
                         const std::string& governor) {
    std::string line = formatted("lapcost: enough interval %d us", enough.enough_us);
    switch (enough.source) {
        case CALIBRATION_SOURCE_ENVIRONMENT:
            line += ", from ENOUGH";
            break;
        case CALIBRATION_SOURCE_CANDIDATE:
            line += formatted(": candidate %d us passed the linearity test", enough.enough_us);
            break;
        default:
            line += formatted(": no candidate passed the %.2f %% linearity test",
                              percent(enough.error_limit));
            if (enough.best_candidate_us != 0) {
                line += formatted(" (best error %.3f %% at %d us)", percent(enough.best_error),
                                  enough.best_candidate_us);
            } else {
                line += " (none came within 2 % of its interval)";
            }
            line += ", so one second is used; ENOUGH=5000 skips the search";
            break;
    }
    line += formatted("; calibration took %.1f s", seconds);
    if (!governor.empty()) {
        line += "; CPU frequency governor is " + governor + ", not performance";
    }
    return line;
}

std::string governor_note(const MachineRecord& machine) {
    for (int i = 0; i < machine.policy_count; ++i) {
        const std::string governor = machine.policies[i].governor;
        if (!governor.empty() && governor != "performance") return governor;
    }
    return "";
}

bool start_progress_display(ProgressDisplay* display, FILE* stream, const char* verbose) {
    *display = ProgressDisplay();
    const bool terminal = start_status_line(&display->line, stream, "lapcost");
    display->summary = terminal || (verbose && std::strtol(verbose, nullptr, 10) != 0);
    return terminal || display->summary;
}

void show_calibration_step(const CalibrationStep* step, void* arg) {
    ProgressDisplay* d = static_cast<ProgressDisplay*>(arg);
    if (step->kind == CALIBRATION_STEP_ENOUGH) d->enough = *step;
    if (step->kind == CALIBRATION_STEP_END) {
        finish(d);
    } else {
        show_calibration(&d->line, *step);
    }
}
