// The real clock: on one CPU of each cpufreq policy (each CPU where there is
// none) the driver times a dependent chain of integer adds, one add per
// cycle, which makes the adds per microsecond the clock in MHz. It stands
// beside what cpufreq claims, once with the machine idle and once right
// after a few seconds of load on every CPU, and the clock measured after the
// load goes into the context of every later report (set_measured_clock): an
// idle clock is the governor's choice, not what the cores can do.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "measurements.h"
#include "tables.h"

namespace {

constexpr uint64_t ADDS_PER_ITERATION = 1000;
constexpr double LOAD_SECONDS = 3.0;
constexpr double QUICK_LOAD_SECONDS = 1.0;
constexpr double WARNING_PERCENT = 5.0;

// One add on the chain: the empty asm claims to change sum in its register,
// so the compiler can neither fold the adds together nor spread them over
// vector lanes, and each add waits for the one before.
#define CHAIN_ADD                         \
    do {                                  \
        __asm__ volatile("" : "+r"(sum)); \
        sum += step;                      \
    } while (0)
// clang-format off
#define CHAIN_ADD_10 \
    CHAIN_ADD; CHAIN_ADD; CHAIN_ADD; CHAIN_ADD; CHAIN_ADD; \
    CHAIN_ADD; CHAIN_ADD; CHAIN_ADD; CHAIN_ADD; CHAIN_ADD
#define CHAIN_ADD_100 \
    CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10; \
    CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10; CHAIN_ADD_10
// clang-format on

// ADDS_PER_ITERATION adds per iteration.
void add_chain(uint32_t iterations, void*) {
    unsigned long sum = iterations;
    unsigned long step = 1;
    __asm__ volatile("" : "+r"(step));
    while (iterations-- > 0) {
        for (int i = 0; i < 10; ++i) {
            CHAIN_ADD_100;
        }
    }
    sink_int(static_cast<int>(sum & 0x7fffffff));
}

#undef CHAIN_ADD_100
#undef CHAIN_ADD_10
#undef CHAIN_ADD

struct Target {
    int cpu;                // the CPU measured
    std::vector<int> cpus;  // its policy's CPUs (the CPU alone without cpufreq)
    int policy = -1;        // its policy's number, -1 without cpufreq
    int64_t max_khz = -1;   // the policy's highest frequency, -1 unknown
};

// "0-3,6" or "0 1 2 3" (related_cpus) as its CPUs; empty when it does not
// parse.
std::vector<int> listed_cpus(const std::string& text) {
    std::vector<int> cpus;
    const char* p = text.c_str();
    while (*p != '\0') {
        char* end = nullptr;
        const long first = std::strtol(p, &end, 10);
        if (end == p || first < 0) return {};
        long last = first;
        p = end;
        if (*p == '-') {
            last = std::strtol(p + 1, &end, 10);
            if (end == p + 1 || last < first) return {};
            p = end;
        }
        for (long cpu = first; cpu <= last; ++cpu) cpus.push_back(static_cast<int>(cpu));
        if (*p == ',' || *p == ' ') {
            ++p;
        } else if (*p != '\0' && *p != '\n') {
            return {};
        } else {
            break;
        }
    }
    return cpus;
}

bool allowed(const cpu_set_t& mask, int cpu) {
    return cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(cpu, &mask);
}

// One target per policy with an allowed CPU, else one per allowed CPU.
std::vector<Target> targets() {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return {};
    std::vector<Target> found;
    const MachineRecord* machine = machine_facts();
    for (int i = 0; i < machine->policy_count; ++i) {
        const CpufreqPolicy& policy = machine->policies[i];
        Target target;
        target.cpus = listed_cpus(policy.cpus);
        target.policy = policy.number;
        target.max_khz = policy.max_khz;
        target.cpu = -1;
        for (int cpu : target.cpus) {
            if (allowed(mask, cpu)) {
                target.cpu = cpu;
                break;
            }
        }
        if (target.cpu >= 0) found.push_back(target);
    }
    if (!found.empty()) return found;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!allowed(mask, cpu)) continue;
        Target target;
        target.cpu = cpu;
        target.cpus = {cpu};
        found.push_back(target);
    }
    return found;
}

// scaling_cur_freq of the target's policy now, -1 when it cannot be read.
int64_t current_khz(const Target& target) {
    if (target.policy < 0) return -1;
    std::ifstream in("/sys/devices/system/cpu/cpufreq/policy" + std::to_string(target.policy) +
                     "/scaling_cur_freq");
    long long khz = -1;
    return in >> khz && khz > 0 ? khz : -1;
}

void pin_to(uint32_t, void* arg) {
    const int cpu = *static_cast<const int*>(arg);
    cpu_set_t mask;
    CPU_ZERO(&mask);
    CPU_SET(cpu, &mask);
    sched_setaffinity(0, sizeof mask, &mask);
}

// One spinning child per allowed CPU, pinned to it, for seconds; then
// stopped and reaped (or killed by the kernel when boardmark ends first).
void load_every_cpu(double seconds) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0) return;
    std::vector<pid_t> children;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &mask)) continue;
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid == 0) {
            // Ends with boardmark, whatever ends it.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);
            signal(SIGTERM, SIG_DFL);
            pin_to(0, &cpu);
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
        if (pid > 0) children.push_back(pid);
    }
    struct timespec pause = {static_cast<time_t>(seconds),
                             static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
    while (nanosleep(&pause, &pause) != 0) {
    }
    for (pid_t pid : children) kill(pid, SIGKILL);
    for (pid_t pid : children) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

std::string mhz_cell(int64_t khz) {
    return khz > 0 ? fixed(static_cast<double>(khz) / 1000.0, 0) : "n/a";
}

size_t rows(const MachineFacts&, const Options&) { return 2 * targets().size(); }

void run(Session* session, const Options& options) {
    const std::vector<Target> measured = targets();
    if (measured.empty()) {
        measurement_failed(session, "clock", "no CPU this process may run on could be found");
        return;
    }
    begin_table(session, "Clock: a dependent chain of integer adds, one per cycle",
                {"CPUs", "state", "measured MHz", "cpufreq cur MHz", "cpufreq max MHz",
                 "measured vs cur %"},
                2);
    std::vector<std::string> warnings;
    for (const char* state : {"idle", "after load"}) {
        for (const Target& target : measured) {
            // The CPU measured, and its policy's CPUs when it has others.
            std::string cpus = std::to_string(target.cpu);
            if (target.cpus.size() > 1) {
                std::string all;
                for (int each : target.cpus) all += (all.empty() ? "" : ",") + std::to_string(each);
                cpus += " (" + all + ")";
            }
            const std::string row =
                std::string("clock CPU ") + std::to_string(target.cpu) + " " + state;
            next_step(session, row);
            if (state[0] == 'a') load_every_cpu(options.quick ? QUICK_LOAD_SECONDS : LOAD_SECONDS);
            int cpu = target.cpu;
            Job job;
            job.setup = pin_to;
            job.body = add_chain;
            job.arg = &cpu;
            const JobResult result = run_job(job);
            const int64_t cur_khz = current_khz(target);
            if (!result.ok) {
                emit_failed_row(session, {cpus, state}, row, "the driver run failed (no sample)");
                continue;
            }
            const double mhz = static_cast<double>(result.iterations) *
                               static_cast<double>(ADDS_PER_ITERATION) /
                               static_cast<double>(clock_elapsed_us());
            // A chain that shared its CPU ran slower than the clock: its row
            // is marked, and the figure neither kept nor held against cpufreq.
            const bool disturbed = current_set_disturbed(nullptr, 0) == 1;
            if (state[0] == 'a' && !disturbed) {
                for (int each : target.cpus) set_measured_clock(each, mhz);
            }
            const double percent =
                cur_khz > 0 ? 100.0 * (mhz * 1000.0 / static_cast<double>(cur_khz) - 1.0) : NAN;
            if (std::fabs(percent) > WARNING_PERCENT && !disturbed) {
                warnings.push_back("warning: CPU " + std::to_string(target.cpu) + " " + state +
                                   ": measured " + fixed(mhz, 0) + " MHz, " +
                                   fixed(std::fabs(percent), 0) +
                                   (percent < 0 ? " % below" : " % above") + " cpufreq's current " +
                                   mhz_cell(cur_khz) + " MHz");
            }
            RowParams params;
            params.measurement = "clock";
            params.op = state[0] == 'i' ? "idle" : "after_load";
            params.cpus = result.cpus;
            params.extra = {{"cpu", std::to_string(target.cpu)}, {"measured_mhz", fixed(mhz, 1)}};
            if (cur_khz > 0) params.extra.push_back({"cur_khz", std::to_string(cur_khz)});
            if (target.max_khz > 0) {
                params.extra.push_back({"max_khz", std::to_string(target.max_khz)});
            }
            const uint64_t adds = result.iterations * ADDS_PER_ITERATION;
            Figure measured_mhz;
            measured_mhz.report = [adds] { report_nanoseconds("add", adds); };
            measured_mhz.key = "ns_per_operation";
            measured_mhz.factors = {1000.0};
            measured_mhz.reciprocal = true;
            measured_mhz.decimals = 0;
            emit_row(session, params, {cpus, state}, {measured_mhz},
                     {mhz_cell(cur_khz), mhz_cell(target.max_khz),
                      std::isnan(percent) ? "n/a" : fixed(percent, 1)});
        }
    }
    end_table(session);
    if (warnings.empty()) return;
    before_output(session);
    FILE* to = session->json ? stderr : session->out;
    for (const std::string& warning : warnings) {
        std::fprintf(to, "%s%s\n", session->json ? "boardmark: " : "", warning.c_str());
    }
}

}  // namespace

const Measurement CLOCK = {Command::CLOCK, "clock", no_memory_problem, rows, run};
