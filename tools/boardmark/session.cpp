#include "session.h"

#include <sched.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "options.h"

namespace {

constexpr int LONG_ENOUGH_US = 1000000;  // from here on the driver takes one sample

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

void set_row_params(const RowParams& params) {
    set_param("measurement", params.measurement);
    set_param("size", std::to_string(params.size));
    set_param("op", params.op);
    set_param("workers", std::to_string(params.workers));
    set_param("pages", params.pages);
    set_param("cpus", std::to_string(params.cpus));
    set_report_param("chains", params.chains > 1 ? std::to_string(params.chains).c_str() : nullptr);
    for (const auto& extra : params.extra) set_param(extra.first.c_str(), extra.second);
}

// A figure's value as its table shows it with factor.
double shown(const Figure& figure, double value, double factor) {
    return figure.reciprocal ? factor / value : value * factor;
}

// The figure a report computes: its JSON line written to memory, and the
// number under key read back. NaN when the report stayed silent.
double reported_figure(const Figure& figure, FILE* report_stream) {
    char* text = nullptr;
    size_t bytes = 0;
    FILE* memory = open_memstream(&text, &bytes);
    if (memory == nullptr) return NAN;
    const ReportFormat format = report_format();
    set_report_stream(memory);
    set_report_format(REPORT_FORMAT_JSON);
    figure.report();
    set_report_format(format);
    set_report_stream(report_stream);
    std::fclose(memory);
    // The last line is the report's (the first JSON report of a process
    // comes after a context line).
    const std::string lines(text, bytes);
    std::free(text);
    const size_t line = lines.rfind("{\"report\":");
    const std::string key = std::string("\"") + figure.key + "\":";
    const size_t at = line == std::string::npos ? line : lines.find(key, line);
    return at == std::string::npos ? NAN : std::strtod(lines.c_str() + at + key.size(), nullptr);
}

}  // namespace

void next_step(Session* session, const std::string& what) {
    const double now = steady_seconds();
    if (session->step == 0) session->first_step_seconds = now;
    const std::string left =
        time_left_text(session->step, session->steps, now - session->first_step_seconds);
    ++session->step;
    session->current =
        what + " (" + std::to_string(session->step) + " of " + std::to_string(session->steps) + ")";
    if (session->status != nullptr) show_status(session->status, session->current + left);
}

void before_output(Session* session) {
    if (session->status != nullptr) clear_status(session->status);
}

void begin_table(Session* session, const std::string& title,
                 const std::vector<std::string>& headers, size_t key_columns) {
    session->table = Table();
    session->table.title = title;
    session->table.headers = headers;
    session->table.key_columns = key_columns;
}

void end_table(Session* session) {
    if (session->json || !session->tables) return;
    before_output(session);
    print_table(session->out, session->table);
}

void emit_row(Session* session, const RowParams& params, const std::vector<std::string>& head,
              const std::vector<Figure>& figures, const std::vector<std::string>& tail) {
    set_row_params(params);
    if (session->json) {
        for (const Figure& figure : figures) figure.report();
    } else {
        std::vector<std::string> cells = head;
        for (const Figure& figure : figures) {
            const double value = reported_figure(figure, session->out);
            if (&figure == &figures.front())
                session->rows.push_back({params, shown(figure, value, figure.factors[0])});
            for (double factor : figure.factors) {
                cells.push_back(std::isnan(value)
                                    ? "n/a"
                                    : fixed(shown(figure, value, factor), figure.decimals));
            }
        }
        cells.insert(cells.end(), tail.begin(), tail.end());
        session->table.rows.push_back(cells);
        char reasons[2048];
        if (current_set_disturbed(reasons, sizeof reasons) == 1) {
            mark_disturbed(&session->table, reasons);
        }
    }
    for (const auto& extra : params.extra) set_report_param(extra.first.c_str(), nullptr);
}

void emit_failed_row(Session* session, const std::vector<std::string>& head,
                     const std::string& what, const std::string& why) {
    measurement_failed(session, what, why);
    std::vector<std::string> cells = head;
    cells.resize(session->table.headers.size(), FAILED_CELL);
    session->table.rows.push_back(cells);
}

void measurement_failed(Session* session, const std::string& what, const std::string& why) {
    before_output(session);
    std::fprintf(stderr, "boardmark: %s: %s\n", what.c_str(), why.c_str());
    session->failed = true;
}

int repetitions_for(int workers, int enough_us) {
    if (workers <= 1 && enough_us < LONG_ENOUGH_US) return -1;  // 11 samples
    const int per_worker = (MIN_SAMPLES + workers - 1) / std::max(workers, 1);
    return std::max(per_worker, 1);
}

JobResult run_job(const Job& job) {
    AffinitySlot* slots = shared_slots();
    if (slots != nullptr) std::memset(slots, 0, sizeof(AffinitySlot) * MAX_WORKERS);
    SampleSet* previous = current_sample_set();
    driver_run(job_setup, job_body, job.teardown != nullptr ? job_teardown : nullptr, 0,
               job.workers, 0, repetitions_for(job.workers, enough_at_least(0)),
               const_cast<Job*>(&job));
    // A successful run makes its merged set current and hands it to the
    // caller: the previous run's (reported by now) goes.
    if (current_sample_set() != previous) {
        std::free(merged_set);
        merged_set = current_sample_set();
    }
    JobResult result;
    result.iterations = clock_iterations();
    result.ok = clock_elapsed_us() != 0;
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
