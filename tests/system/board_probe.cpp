// The board's half of the system test: runs one scenario on the emulated ARM
// board and prints what it observed as one "@@ " line on standard output. It
// judges nothing itself; the host compares the lines with what it expects.
//
//   board_probe run LABEL PROGRAM [ARG...]    exit status, stdout and stderr
//   board_probe serial LABEL TOOL DEVICE BAUD MS   a serial tool run, then SIGINT
//   board_probe pty LABEL TOOL BAUD                 the same on a pseudo-terminal
//   board_probe placement LABEL POLICY ALLOWED     driver_run with 4 workers under
//                                                  QUENTAR_SCHED=POLICY, the probe
//                                                  restricted to ALLOWED ("all" or "2,3")
//   board_probe pmu                                whether the PMU opens a cycle counter
//                                                  on the probe, user mode only and in
//                                                  every mode (0 or the errno), and
//                                                  what the latter counts over a loop
//
// <asm/termbits.h> is used instead of glibc's <termios.h>, which does not
// know termios2 and cannot be mixed with it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <lib_timing.h>
#include <linux/perf_event.h>
#include <linux/serial.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process.h"

namespace {

const int EXIT_BAD_USAGE = 2;
const int PROGRAM_WAIT_MS = 20000;  // a tool that ignores SIGINT must not hang the board
const char* const OUT_PATH = "/tmp/board_probe.out";
const char* const ERR_PATH = "/tmp/board_probe.err";

// Text with everything but printable ASCII written as \n or \xHH, so that a
// missing or extra line feed shows in the result line.
std::string escaped(const std::string& text) {
    std::string out;
    char buf[8];
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c > 0x7e || c == '\\' || c == '"') {
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string read_file(const char* path) {
    std::string text;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return text;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

std::string hex_bytes(const void* data, size_t size) {
    std::string out;
    char buf[4];
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
    }
    return out;
}

std::string outcome_text(const ChildOutcome& o) {
    if (o.timed_out) return "timeout";
    if (o.exited) return std::to_string(o.exit_code);
    if (o.signalled) return "signal" + std::to_string(o.signal_number);
    return "unknown";
}

// Starts argv[0] with stdout and stderr going to OUT_PATH and ERR_PATH.
pid_t start_program(char** argv) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int out = open(OUT_PATH, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(ERR_PATH, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    execv(argv[0], argv);
    _exit(127);
}

void sleep_ms(int ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Waits at most ms for pid to end; true, with its outcome, when it did.
bool ended_within(pid_t pid, int ms, ChildOutcome* outcome) {
    for (int waited = 0; waited <= ms; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            outcome->exited = WIFEXITED(status);
            outcome->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            outcome->signalled = WIFSIGNALED(status);
            outcome->signal_number = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return true;
        }
        sleep_ms(10);
    }
    return false;
}

int run_command(int argc, char** argv) {
    if (argc < 4) return EXIT_BAD_USAGE;
    const pid_t pid = start_program(argv + 3);
    if (pid < 0) return 1;
    const ChildOutcome o = wait_bounded(pid, PROGRAM_WAIT_MS);
    std::printf("@@ run %s exit=%s stdout=\"%s\" stderr=\"%s\"\n", argv[2], outcome_text(o).c_str(),
                escaped(read_file(OUT_PATH)).c_str(), escaped(read_file(ERR_PATH)).c_str());
    return 0;
}

// Runs TOOL DEVICE BAUD for MS milliseconds, reads the line settings the tool
// applied while it runs, interrupts it and reads the settings it left. The
// probe keeps its own descriptor open throughout so that every reading is of
// the same open line.
int observe_serial_run(const char* label, char* tool, char* device, char* baud, int run_ms) {
    char* tool_argv[] = {tool, device, baud, nullptr};
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::printf("@@ serial %s error=open:%s\n", label, std::strerror(errno));
        return 0;
    }
    struct termios2 before;
    struct termios2 running;
    struct termios2 after;
    std::memset(&before, 0, sizeof before);
    std::memset(&running, 0, sizeof running);
    std::memset(&after, 0, sizeof after);
    struct serial_rs485 rs485_running;
    std::memset(&rs485_running, 0, sizeof rs485_running);
    if (ioctl(fd, TCGETS2, &before) != 0) {
        std::printf("@@ serial %s error=tcgets2:%s\n", label, std::strerror(errno));
        return 0;
    }

    const pid_t pid = start_program(tool_argv);
    if (pid < 0) return 1;
    // A tool that refuses its arguments or the line ends by itself and gets
    // no SIGINT; one that runs is interrupted after run_ms.
    ChildOutcome o;
    bool ended = ended_within(pid, run_ms / 2, &o);
    const int running_read = ioctl(fd, TCGETS2, &running);
    const int rs485_read = ioctl(fd, TIOCGRS485, &rs485_running);
    if (!ended) ended = ended_within(pid, run_ms - run_ms / 2, &o);
    if (!ended) {
        kill(pid, SIGINT);
        o = wait_bounded(pid, PROGRAM_WAIT_MS);
    }
    const int after_read = ioctl(fd, TCGETS2, &after);

    const bool restored = after_read == 0 && std::memcmp(&before, &after, sizeof before) == 0;
    std::printf(
        "@@ serial %s exit=%s running_cflag=0x%08x running_ispeed=%u running_ospeed=%u "
        "running_iflag=0x%x running_oflag=0x%x running_lflag=0x%x rs485_flags=%s restored=%s "
        "before=%s running=%s after=%s stdout=\"%s\" stderr=\"%s\"\n",
        label, outcome_text(o).c_str(), running_read == 0 ? running.c_cflag : 0u, running.c_ispeed,
        running.c_ospeed, running.c_iflag, running.c_oflag, running.c_lflag,
        rs485_read == 0 ? std::to_string(rs485_running.flags).c_str() : "unreadable",
        restored ? "yes" : "no", hex_bytes(&before, sizeof before).c_str(),
        hex_bytes(&running, sizeof running).c_str(), hex_bytes(&after, sizeof after).c_str(),
        escaped(read_file(OUT_PATH)).c_str(), escaped(read_file(ERR_PATH)).c_str());
    close(fd);
    return 0;
}

int serial_command(int argc, char** argv) {
    if (argc != 7) return EXIT_BAD_USAGE;
    return observe_serial_run(argv[2], argv[3], argv[4], argv[5], std::atoi(argv[6]));
}

// A pseudo-terminal has termios2 but no RS-485: the tool must refuse it and
// leave the line as it found it.
int pty_command(int argc, char** argv) {
    if (argc != 5) return EXIT_BAD_USAGE;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::printf("@@ serial %s error=pty:%s\n", argv[2], std::strerror(errno));
        return 0;
    }
    std::string slave = ptsname(master);
    const int status = observe_serial_run(argv[2], argv[3], &slave[0], argv[4], 2000);
    close(master);
    return status;
}

const int PLACEMENT_WORKERS = 4;

// Filled by the workers' body calls; lives in memory shared with the parent.
struct PlacementRecord {
    uint32_t cpus_seen[PLACEMENT_WORKERS];  // bit c: some body call ran on CPU c
    uint32_t body_calls[PLACEMENT_WORKERS];
    uint32_t stray_calls;  // worker index or CPU number outside the record
};

void record_cpu_body(uint32_t iterations, void* user_arg) {
    volatile uint32_t work = 0;
    for (uint32_t i = 0; i < iterations; ++i) work = work + i;
    PlacementRecord* record = static_cast<PlacementRecord*>(user_arg);
    const int worker = current_worker_index();
    const int cpu = sched_getcpu();
    if (worker < 0 || worker >= PLACEMENT_WORKERS || cpu < 0 || cpu >= 32) {
        __atomic_add_fetch(&record->stray_calls, 1, __ATOMIC_RELAXED);
        return;
    }
    __atomic_or_fetch(&record->cpus_seen[worker], 1u << cpu, __ATOMIC_RELAXED);
    __atomic_add_fetch(&record->body_calls[worker], 1, __ATOMIC_RELAXED);
}

// "2,3" -> affinity {2, 3}; "all" leaves the affinity alone.
bool restrict_affinity(const char* allowed) {
    if (std::strcmp(allowed, "all") == 0) return true;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const char* p = allowed; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') continue;
        CPU_SET(std::atoi(p), &set);
        while (p[1] >= '0' && p[1] <= '9') ++p;
    }
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// The CPUs of one worker as "2", "0+1" when it ran on several, "-" when never.
std::string cpu_list(uint32_t mask) {
    std::string out;
    for (int cpu = 0; cpu < 32; ++cpu) {
        if ((mask & (1u << cpu)) == 0) continue;
        if (!out.empty()) out += "+";
        out += std::to_string(cpu);
    }
    return out.empty() ? "-" : out;
}

int placement_command(int argc, char** argv) {
    if (argc != 5) return EXIT_BAD_USAGE;
    const char* label = argv[2];
    if (!restrict_affinity(argv[4])) {
        std::printf("@@ placement %s error=affinity:%s\n", label, std::strerror(errno));
        return 0;
    }
    setenv("QUENTAR_SCHED", argv[3], 1);
    void* shared = mmap(nullptr, sizeof(PlacementRecord), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    PlacementRecord* record = static_cast<PlacementRecord*>(shared);
    std::memset(record, 0, sizeof *record);

    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    uint32_t allowed_mask = 0;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        for (int cpu = 0; cpu < 32; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) allowed_mask |= 1u << cpu;
        }
    }

    std::fflush(nullptr);
    driver_run(nullptr, record_cpu_body, nullptr, 0, PLACEMENT_WORKERS, 0, -1, record);

    std::string workers;
    std::string calls;
    for (int w = 0; w < PLACEMENT_WORKERS; ++w) {
        if (w > 0) {
            workers += ",";
            calls += ",";
        }
        workers += cpu_list(record->cpus_seen[w]);
        calls += std::to_string(record->body_calls[w]);
    }
    std::printf(
        "@@ placement %s allowed=%s workers=%s body_calls=%s stray_calls=%u median_us=%llu "
        "median_iterations=%llu\n",
        label, cpu_list(allowed_mask).c_str(), workers.c_str(), calls.c_str(), record->stray_calls,
        static_cast<unsigned long long>(clock_elapsed_us()),
        static_cast<unsigned long long>(clock_iterations()));
    munmap(shared, sizeof(PlacementRecord));
    return 0;
}

// A cycle counter on the calling thread, or -1 with errno set.
int open_cycles(bool user_only) {
    struct perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_CPU_CYCLES;
    attr.disabled = 1;
    attr.exclude_kernel = user_only ? 1 : 0;
    attr.exclude_hv = user_only ? 1 : 0;
    return static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
}

int pmu_command(int argc, char**) {
    if (argc != 2) return EXIT_BAD_USAGE;
    int errors[2];
    long long counted = -1;
    for (int all_modes = 0; all_modes < 2; ++all_modes) {
        errno = 0;
        const int fd = open_cycles(all_modes == 0);
        errors[all_modes] = fd >= 0 ? 0 : errno;
        if (fd < 0) continue;
        if (all_modes == 1) {
            ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
            volatile uint32_t sum = 0;
            for (uint32_t i = 0; i < 1000000; ++i) sum = sum + i;
            ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
            uint64_t value = 0;
            if (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) {
                counted = static_cast<long long>(value);
            }
        }
        close(fd);
    }
    std::printf("@@ pmu cycles user_only_errno=%d all_modes_errno=%d all_modes_count=%lld\n",
                errors[0], errors[1], counted);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: board_probe run|serial|pty|placement|pmu ...\n");
        return EXIT_BAD_USAGE;
    }
    const std::string command = argv[1];
    int status = EXIT_BAD_USAGE;
    if (command == "run") status = run_command(argc, argv);
    if (command == "serial") status = serial_command(argc, argv);
    if (command == "pty") status = pty_command(argc, argv);
    if (command == "placement") status = placement_command(argc, argv);
    if (command == "pmu") status = pmu_command(argc, argv);
    if (status == EXIT_BAD_USAGE) std::fprintf(stderr, "board_probe: bad arguments\n");
    return status;
}
