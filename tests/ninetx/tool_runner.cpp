#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "time_scale.h"

extern char** environ;

namespace {

// How long the double's log must stay the same for the tool's output to count
// as stalled (every call on the device adds a line), and the pause between
// the two stop requests; scaled like every bound here.
constexpr int STALL_MS = 500;

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::vector<DoubleEvent> read_log(const std::string& path) {
    std::vector<DoubleEvent> events;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> words = split_words(line);
        if (words.empty()) continue;
        DoubleEvent event;
        event.name = words[0];
        for (size_t i = 1; i < words.size(); ++i) {
            const size_t eq = words[i].find('=');
            if (eq == std::string::npos) {
                event.fields[words[i]] = "";
            } else {
                event.fields[words[i].substr(0, eq)] = words[i].substr(eq + 1);
            }
        }
        events.push_back(event);
    }
    return events;
}

bool log_has_hold(const std::string& path) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 5, "hold ") == 0) return true;
    }
    return false;
}

// Reads a bounded amount of what fd holds; *open turns false at end of file.
void read_available(int fd, std::string* into, bool* open) {
    constexpr int MAX_READS = 16;
    constexpr size_t MAX_KEPT = 1 << 20;
    char buffer[4096];
    for (int reads = 0; reads < MAX_READS; ++reads) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (into->size() < MAX_KEPT) into->append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            *open = false;
            return;
        } else if (errno != EINTR) {
            return;
        }
    }
}

long long monotonic_ms() { return static_cast<long long>(monotonic_seconds() * 1000); }

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// The command line: the emulator first when cross built. Under the emulator
// the double's variables go to the guest through -E, so that the host side
// of the emulator never sees an ARM LD_PRELOAD.
std::vector<std::string> command_line(const std::string& program,
                                      const std::vector<std::string>& args,
                                      const std::vector<std::string>& extra_env,
                                      std::vector<std::string>* host_env) {
    std::vector<std::string> argv = split_words(TOOL_EMULATOR);
    const bool emulated = !argv.empty();
    for (char** e = environ; *e != nullptr; ++e) {
        // An extra variable replaces one of the same name.
        const std::string entry(*e);
        bool replaced = false;
        for (const std::string& variable : extra_env) {
            const size_t eq = variable.find('=');
            replaced =
                replaced || (!emulated && entry.compare(0, eq + 1, variable, 0, eq + 1) == 0);
        }
        if (!replaced) host_env->push_back(entry);
    }
    for (const std::string& variable : extra_env) {
        if (emulated) {
            argv.push_back("-E");
            argv.push_back(variable);
        } else {
            host_env->push_back(variable);
        }
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(&s[0]);
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::string DoubleEvent::field(const std::string& key) const {
    const auto it = fields.find(key);
    return it == fields.end() ? std::string("<none>") : it->second;
}

std::vector<std::string> event_names(const std::vector<DoubleEvent>& events) {
    std::vector<std::string> names;
    for (const DoubleEvent& e : events) names.push_back(e.name);
    return names;
}

std::vector<DoubleEvent> events_named(const std::vector<DoubleEvent>& events,
                                      const std::string& name) {
    std::vector<DoubleEvent> result;
    for (const DoubleEvent& e : events) {
        if (e.name == name) result.push_back(e);
    }
    return result;
}

ToolRun run_tool(const std::string& program, const std::vector<std::string>& args,
                 const ToolRunOptions& options, PtyLine* line) {
    ToolRun run;
    char dir_template[] = "/tmp/ninetx_test.XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) return run;
    const std::string log_path = std::string(dir) + "/double.log";

    std::vector<std::string> extra_env;
    if (options.preload_double) {
        extra_env.push_back(std::string("LD_PRELOAD=") + SERIAL_DOUBLE_PATH);
        if (line != nullptr) extra_env.push_back("SERIAL_DOUBLE_DEVICE=" + line->slave_path);
        if (options.log) extra_env.push_back("SERIAL_DOUBLE_LOG=" + log_path);
        extra_env.insert(extra_env.end(), options.double_env.begin(), options.double_env.end());
        // A sanitizer runtime wants to be loaded first; the double comes before it.
        const char* asan = getenv("ASAN_OPTIONS");
        extra_env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                            ":verify_asan_link_order=0");
    }
    std::vector<std::string> host_env;
    std::vector<std::string> argv = command_line(program, args, extra_env, &host_env);
    std::vector<char*> argv_p = pointers(argv);
    std::vector<char*> env_p = pointers(host_env);

    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0) return run;
    if (pipe(err_pipe) != 0) return run;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
        execve(argv_p[0], argv_p.data(), env_p.data());
        execvpe(argv_p[0], argv_p.data(), env_p.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return run;
    }
    set_nonblocking(out_pipe[0]);
    set_nonblocking(err_pipe[0]);

    // Poll until both output pipes close (the tool has exited) or the deadline.
    bool out_open = true;
    bool err_open = true;
    const bool stall = options.interrupt == Interrupt::TWICE_WHEN_STALLED;
    off_t logged = 0;  // the size of the double's log, and since when
    long long logged_since = 0;
    long long signalled_at = 0;
    const struct timespec pause = {0, 1000000};  // 1 ms
    const long long deadline = monotonic_ms() + scaled_ms(options.timeout_ms);
    const long long stall_ms = scaled_ms(STALL_MS);
    while ((out_open || err_open) && monotonic_ms() < deadline) {
        read_available(out_pipe[0], &run.out, &out_open);
        read_available(err_pipe[0], &run.err, &err_open);
        if (line != nullptr && !stall) drain_pty_line(*line, &run.wire);
        const long long now = monotonic_ms();
        if (stall && run.signals_sent == 0) {
            struct stat log_stat;
            const off_t size = stat(log_path.c_str(), &log_stat) == 0 ? log_stat.st_size : 0;
            if (size != logged) {
                logged = size;
                logged_since = now;
            }
        }
        bool due = false;
        int signal_number = options.signal;
        if (run.signals_sent == 0) {
            due = (options.interrupt == Interrupt::ON_HOLD && log_has_hold(log_path)) ||
                  (options.interrupt == Interrupt::AFTER_BYTES &&
                   run.wire.size() >= options.interrupt_after_bytes) ||
                  (stall && logged > 0 && now - logged_since >= stall_ms);
        } else if (stall && run.signals_sent == 1 && now - signalled_at >= stall_ms) {
            due = true;
            signal_number = options.second_signal;
        }
        if (due) {
            kill(pid, signal_number);
            run.interrupted = true;
            ++run.signals_sent;
            signalled_at = now;
        }
        nanosleep(&pause, nullptr);
    }
    if (!out_open && !err_open && run.signals_sent > 0) {
        run.exit_ms_after_last_signal = monotonic_ms() - signalled_at;
    }
    run.outcome = wait_bounded(pid, out_open || err_open ? 0 : 10000);
    read_available(out_pipe[0], &run.out, &out_open);
    read_available(err_pipe[0], &run.err, &err_open);
    // The tool is gone: what is left on the master is finite.
    for (int i = 0; line != nullptr && i < 1000 && drain_pty_line(*line, &run.wire); ++i) {
    }
    close(out_pipe[0]);
    close(err_pipe[0]);

    run.events = read_log(log_path);
    unlink(log_path.c_str());
    rmdir(dir);
    return run;
}
