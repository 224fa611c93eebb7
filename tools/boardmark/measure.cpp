#include "measure.h"

#include <sched.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace {

// Each worker's affinity mask after its setup, in memory shared with the
// workers; slot i belongs to worker i.
struct AffinitySlot {
    int recorded;
    cpu_set_t mask;
};
AffinitySlot* affinity_slots = nullptr;

// The merged set of the last successful run, which is ours to free.
SampleSet* merged_set = nullptr;

AffinitySlot* shared_slots() {
    if (affinity_slots == nullptr) {
        void* p = mmap(nullptr, sizeof(AffinitySlot) * MAX_WORKERS, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) affinity_slots = static_cast<AffinitySlot*>(p);
    }
    return affinity_slots;
}

void job_setup(uint32_t iterations, void* arg) {
    const Job* job = static_cast<const Job*>(arg);
    if (job->setup != nullptr) job->setup(iterations, job->arg);
    const int worker = current_worker_index();
    if (iterations == 0 && affinity_slots != nullptr && worker >= 0 && worker < MAX_WORKERS) {
        AffinitySlot* slot = &affinity_slots[worker];
        if (sched_getaffinity(0, sizeof slot->mask, &slot->mask) == 0) slot->recorded = 1;
    }
}

void job_body(uint32_t iterations, void* arg) {
    const Job* job = static_cast<const Job*>(arg);
    job->body(iterations, job->arg);
}

void job_teardown(uint32_t iterations, void* arg) {
    const Job* job = static_cast<const Job*>(arg);
    job->teardown(iterations, job->arg);
}

void set_param(const char* key, const std::string& value) { set_report_param(key, value.c_str()); }

}  // namespace

void next_step(Session* session, const std::string& what) {
    ++session->step;
    session->status =
        what + " (" + std::to_string(session->step) + " of " + std::to_string(session->steps) + ")";
    if (session->display != nullptr) show_status(session->display, session->status);
}

void show_calibration(const CalibrationStep* step, void* arg) {
    Session* session = static_cast<Session*>(arg);
    if (session->display == nullptr) return;
    show_calibration_step(step, session->display);
    if (step->kind == CALIBRATION_STEP_END && !session->status.empty()) {
        show_status(session->display, session->status);
    }
}

void measurement_failed(Session* session, const std::string& what, const std::string& why) {
    before_output(session);
    std::fprintf(stderr, "boardmark: %s: %s\n", what.c_str(), why.c_str());
    session->failed = true;
}

void before_output(Session* session) {
    if (session->display != nullptr) clear_status(session->display);
}

void set_row_params(const RowParams& params) {
    set_param("measurement", params.measurement);
    set_param("size", std::to_string(params.size));
    set_param("op", params.op);
    set_param("workers", std::to_string(params.workers));
    set_param("pages", params.pages);
    set_param("cpus", std::to_string(params.cpus));
}

JobResult run_job(const Job& job) {
    AffinitySlot* slots = shared_slots();
    if (slots != nullptr) std::memset(slots, 0, sizeof(AffinitySlot) * MAX_WORKERS);
    SampleSet* previous = current_sample_set();
    driver_run(job_setup, job_body, job.teardown != nullptr ? job_teardown : nullptr, 0,
               job.workers, 0, -1, const_cast<Job*>(&job));
    // A successful run makes its merged set current and hands it to the
    // caller: the previous run's (reported by now) goes.
    if (current_sample_set() != previous) {
        std::free(merged_set);
        merged_set = current_sample_set();
    }
    JobResult result;
    result.elapsed_us = clock_elapsed_us();
    result.iterations = clock_iterations();
    result.ok = result.elapsed_us != 0;
    if (slots != nullptr) {
        cpu_set_t all;
        CPU_ZERO(&all);
        for (int i = 0; i < job.workers && i < MAX_WORKERS; ++i) {
            if (slots[i].recorded) CPU_OR(&all, &all, &slots[i].mask);
        }
        result.cpus = CPU_COUNT(&all);
    }
    return result;
}
