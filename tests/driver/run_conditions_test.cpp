// What a driver run records about its conditions, with real workers and the
// real clock: context switches of a sleeping body, a worker that moves
// itself, page faults of fresh pages, other load on the worker's CPU, and
// counters the kernel refuses.
#include "run_conditions.h"

#include <errno.h>
#include <linux/perf_event.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "driver_internal.h"
#include "gtest/gtest.h"
#include "json_reader.h"
#include "lib_timing.h"
#include "report_capture.h"
#include "time_scale.h"

namespace {

using timing_internal::COUNTER_CONTEXT_SWITCHES;
using timing_internal::COUNTER_CPU_MIGRATIONS;
using timing_internal::COUNTER_PAGE_FAULTS;
using timing_internal::DriverConditions;
using timing_internal::RunConditions;
using timing_internal::WorkerConditions;

constexpr int FRESH_PAGES = 16;

std::vector<int> allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> cpus;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}

void pin_to(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void spin(uint32_t n, void*) {
    volatile uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        for (int j = 0; j < 64; ++j) sum = sum + i;
    }
}

void nap(uint32_t n, void*) {
    for (uint32_t i = 0; i < n; ++i) {
        const struct timespec pause = {0, 200000};
        nanosleep(&pause, nullptr);
    }
}

void fresh_pages(uint32_t n, void*) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (uint32_t i = 0; i < n; ++i) {
        void* memory = mmap(nullptr, FRESH_PAGES * page, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        touch_pages(memory, static_cast<uint32_t>(FRESH_PAGES * page));
        munmap(memory, FRESH_PAGES * page);
    }
}

// The worker's CPUs: the first allowed one from the start, the second from
// its first timed interval.
int first_cpu = -1;
int second_cpu = -1;
void pin_first(uint32_t n, void*) {
    if (n == 0) pin_to(first_cpu);
}
void move_once(uint32_t n, void* arg) {
    static bool moved = false;
    if (!moved && current_worker_state()->phase == Timing) {
        pin_to(second_cpu);
        moved = true;
    }
    spin(n, arg);
}

const RunConditions& the_run(const DriverConditions& conditions) {
    return conditions.runs[conditions.run_count - 1];
}

std::string reasons_of(const RunConditions& run) {
    std::string text;
    for (int i = 0; i < run.reason_count; ++i) text += std::string(run.reasons[i]) + "\n";
    return text;
}

// A counter's value, or -1 when it was refused, which must then say why.
long long counted(const WorkerConditions& worker, int counter) {
    if (worker.counters[counter].error == 0)
        return static_cast<long long>(worker.counters[counter].value);
    EXPECT_NE(worker.counters[counter].error, 0);
    return -1;
}

const DriverConditions* conditions_after(IntervalCallback setup, IntervalCallback body, int enough,
                                         int parallel, int repetitions) {
    driver_run(setup, body, nullptr, enough, parallel, 0, repetitions, nullptr);
    if (clock_elapsed_us() == 0) return nullptr;
    return timing_internal::conditions_for(current_sample_set());
}

TEST(RunConditions, SleepingBodySwitchesContext) {
    EXPECT_EQ(current_set_disturbed(nullptr, 0), -1) << "no driver run yet";
    const DriverConditions* conditions = conditions_after(nullptr, nap, 20000, 1, 3);
    ASSERT_NE(conditions, nullptr);
    const WorkerConditions& worker = the_run(*conditions).worker[0];
    ASSERT_TRUE(worker.filled);
    EXPECT_GE(worker.voluntary_switches, 10);
    const long long switches = counted(worker, COUNTER_CONTEXT_SWITCHES);
    if (switches >= 0) {
        EXPECT_GE(switches, 10);
    }
    EXPECT_LE(switches, worker.voluntary_switches + worker.involuntary_switches);
}

TEST(RunConditions, PinnedWorkerThatMovesIsDisturbedAndNamed) {
    const std::vector<int> cpus = allowed_cpus();
    if (cpus.size() < 2) GTEST_SKIP() << "needs two allowed CPUs";
    first_cpu = cpus[0];
    second_cpu = cpus[1];
    const DriverConditions* conditions = conditions_after(pin_first, move_once, 20000, 1, 3);
    ASSERT_NE(conditions, nullptr);
    const RunConditions& run = the_run(*conditions);
    EXPECT_EQ(run.worker[0].pinned, 1);
    EXPECT_EQ(run.worker[0].cpu_start, first_cpu);
    EXPECT_EQ(run.worker[0].cpu_end, second_cpu);
    const std::string expected = counted(run.worker[0], COUNTER_CPU_MIGRATIONS) >= 0
                                     ? "worker 0 moved between CPUs 1 time\n"
                                     : "worker 0 ran on CPU " + std::to_string(first_cpu) +
                                           " at the start and on CPU " +
                                           std::to_string(second_cpu) + " at the end\n";
    EXPECT_NE(reasons_of(run).find(expected), std::string::npos) << reasons_of(run);
    char reasons[256];
    EXPECT_EQ(current_set_disturbed(reasons, sizeof reasons), 1);
    EXPECT_NE(std::string(reasons).find(expected), std::string::npos) << reasons;
    // The text report is marked and the reasons follow it.
    const std::string text = report_text_after(1000, [] { report_microseconds_each(10); });
    EXPECT_NE(text.find(" [disturbed]\n! " + expected), std::string::npos) << text;
}

TEST(RunConditions, FreshPagesFaultOncePerPage) {
    const DriverConditions* conditions = conditions_after(nullptr, fresh_pages, 20000, 2, 3);
    ASSERT_NE(conditions, nullptr);
    const RunConditions& run = the_run(*conditions);
    ASSERT_EQ(run.workers, 2);
    long long faults = 0;
    for (int w = 0; w < 2; ++w) {
        const long long counted_faults = counted(run.worker[w], COUNTER_PAGE_FAULTS);
        if (counted_faults < 0) return;  // refused, and it said why
        faults += counted_faults;
    }
    // With two workers every timed interval is a sample.
    double pages = 0;
    const SampleSet* set = current_sample_set();
    for (int i = 0; i < set->count; ++i) pages += static_cast<double>(set->samples[i].iterations);
    pages *= FRESH_PAGES;
    EXPECT_GE(static_cast<double>(faults), 0.95 * pages);
    EXPECT_LE(static_cast<double>(faults), 1.5 * pages + 64);
}

// The worker loses about half its CPU to the busy process: a run long enough
// for /proc/stat shows it as other load, and any run as the worker's time
// waiting for its CPU.
TEST(RunConditions, BusyProcessOnTheWorkersCpuIsOtherLoad) {
    first_cpu = allowed_cpus().at(0);
    const pid_t busy = fork();
    ASSERT_GE(busy, 0);
    if (busy == 0) {
        pin_to(first_cpu);
        const double until = monotonic_seconds() + scaled_seconds(60);
        while (monotonic_seconds() < until) {
        }
        _exit(0);
    }
    const struct {
        int enough;
        int repetitions;
        bool long_run;  // long enough to be judged on /proc/stat
    } runs[] = {{100000, 8, true}, {20000, 3, false}};
    SampleSet* merged = nullptr;  // the run before's set, ours to free
    for (const auto& r : runs) {
        const DriverConditions* conditions =
            conditions_after(pin_first, spin, r.enough, 1, r.repetitions);
        if (current_sample_set() != merged) {
            free(merged);
            merged = current_sample_set();
        }
        if (conditions == nullptr) {  // the busy process is still to be stopped
            ADD_FAILURE() << "the run failed";
            continue;
        }
        const RunConditions& run = the_run(*conditions);
        const std::string reasons = reasons_of(run);
        if (r.long_run) {
            EXPECT_GE(run.seconds, timing_internal::OTHER_LOAD_MIN_SECONDS);
            EXPECT_GT(run.other_cpu_share, timing_internal::OTHER_LOAD_LIMIT);
            EXPECT_NE(reasons.find("other processes used "), std::string::npos) << reasons;
        }
        EXPECT_NE(reasons.find("worker 0 waited for its CPU for "), std::string::npos) << reasons;
    }
    kill(busy, SIGKILL);
    wait_bounded(busy, 10000);
    free(merged);
}

int refusing_opener(void* attr, int, int, int, unsigned long) {
    switch (static_cast<perf_event_attr*>(attr)->config) {
        case PERF_COUNT_SW_CONTEXT_SWITCHES:
            errno = EACCES;
            break;
        case PERF_COUNT_SW_CPU_MIGRATIONS:
            errno = ENOENT;
            break;
        default:
            errno = ENOSYS;
    }
    return -1;
}

TEST(RunConditions, RefusedCountersLeaveTheirReasons) {
    timing_internal::set_counter_opener(refusing_opener);
    driver_run(nullptr, spin, nullptr, 20000, 1, 0, 3, nullptr);
    timing_internal::set_counter_opener(nullptr);
    set_report_format(REPORT_FORMAT_JSON);
    const std::string line = report_text_after(1000, [] { report_microseconds_each(10); });
    set_report_format(REPORT_FORMAT_TEXT);
    const struct {
        const char* counter;
        int error;
    } cases[] = {{"context_switches", EACCES}, {"cpu_migrations", ENOENT}, {"page_faults", ENOSYS}};
    for (const auto& c : cases) {
        EXPECT_NE(line.find("\"" + std::string(c.counter) + "\":null"), std::string::npos) << line;
        const std::string reason = "\"" + std::string(c.counter) +
                                   "\":\"perf_event_open: " + strerror(c.error) + " (errno " +
                                   std::to_string(c.error) + "): ";
        EXPECT_NE(line.find(reason), std::string::npos) << reason << "\n" << line;
    }
    EXPECT_NE(line.find("\"counters\":{\"opened\":[],\"refused\":{"), std::string::npos) << line;
}

// Hardware counters through a seam that counts task time for each of them:
// per-iteration figures from what was counted. Without the seam this
// machine's missing PMU (or the emulator) must show as the reason.
int task_clock_opener(void* attr, int pid, int cpu, int group_fd, unsigned long flags) {
    perf_event_attr* event = static_cast<perf_event_attr*>(attr);
    if (event->type != PERF_TYPE_SOFTWARE) {
        event->type = PERF_TYPE_SOFTWARE;
        event->config = PERF_COUNT_SW_TASK_CLOCK;
    }
    return static_cast<int>(syscall(SYS_perf_event_open, attr, pid, cpu, group_fd, flags));
}

// The report's conditions.counters.workers[0] after a run with hardware
// counters asked for.
JsonNode hardware_counters_after(timing_internal::CounterOpener opener) {
    set_hardware_counters(1);
    timing_internal::set_counter_opener(opener);
    driver_run(nullptr, spin, nullptr, 20000, 1, 0, 3, nullptr);
    timing_internal::set_counter_opener(nullptr);
    set_hardware_counters(0);
    static SampleSet* made = nullptr;  // the driver leaves its sets to the caller
    if (made != nullptr && made != current_sample_set()) free(made);
    made = current_sample_set();
    set_report_format(REPORT_FORMAT_JSON);
    std::string line = report_text_after(1000, [] { report_microseconds_each(10); });
    set_report_format(REPORT_FORMAT_TEXT);
    const size_t last = line.rfind('\n', line.size() - 2);  // after the context line
    if (last != std::string::npos) line = line.substr(last + 1);
    JsonNode report;
    EXPECT_TRUE(read_json(line, &report, nullptr, JSON_STRICT)) << line;
    const JsonNode* conditions = report.member("conditions");
    const JsonNode* counters = conditions != nullptr ? conditions->member("counters") : nullptr;
    const JsonNode* workers = counters != nullptr ? counters->member("workers") : nullptr;
    if (workers == nullptr || workers->items.size() != 1) {
        ADD_FAILURE() << line;
        return JsonNode();
    }
    return workers->items[0];
}

TEST(RunConditions, HardwareCountersPerIterationOrTheirReasons) {
    const JsonNode seamed = hardware_counters_after(task_clock_opener);
    const WorkerConditions& worker =
        the_run(*timing_internal::conditions_for(current_sample_set())).worker[0];
    ASSERT_GT(worker.timed_iterations, 0u);
    ASSERT_NE(seamed.member("refused"), nullptr);
    for (int k = 0; k < timing_internal::HARDWARE_COUNTERS; ++k) {
        const timing_internal::HardwareReading& h = worker.hardware[k];
        const std::string name = timing_internal::HARDWARE_COUNTER_NAMES[k];
        const JsonNode* refused = seamed.member("refused")->member(name);
        if (h.error != 0) {  // no perf_event_open at all: the reason shows
            ASSERT_NE(refused, nullptr) << name;
            EXPECT_EQ(refused->text.rfind("perf_event_open: ", 0), 0u) << refused->text;
            continue;
        }
        EXPECT_EQ(refused, nullptr) << name;
        EXPECT_GT(h.value, 0u) << name;
        ASSERT_NE(seamed.member(name + "_per_iteration"), nullptr) << name;
        EXPECT_DOUBLE_EQ(
            seamed.member(name + "_per_iteration")->number,
            static_cast<double>(h.value) / static_cast<double>(worker.timed_iterations));
        ASSERT_NE(seamed.member("running_share")->member(name), nullptr) << name;
        EXPECT_DOUBLE_EQ(seamed.member("running_share")->member(name)->number,
                         static_cast<double>(h.running_ns) / static_cast<double>(h.enabled_ns));
    }

    const JsonNode real = hardware_counters_after(nullptr);
    const WorkerConditions& again =
        the_run(*timing_internal::conditions_for(current_sample_set())).worker[0];
    for (int k = 0; k < timing_internal::HARDWARE_COUNTERS; ++k) {
        if (again.hardware[k].error == 0) continue;  // a machine with a PMU
        const JsonNode* refused =
            real.member("refused")->member(timing_internal::HARDWARE_COUNTER_NAMES[k]);
        ASSERT_NE(refused, nullptr);
        EXPECT_EQ(refused->text.rfind("perf_event_open: ", 0), 0u) << refused->text;
    }
}

}  // namespace
