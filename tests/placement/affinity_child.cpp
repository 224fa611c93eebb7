#include "affinity_child.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "child_process.h"

const char* const CANNOT_SET_UP = "cannot set up";

namespace {

std::string read_all(int fd) {
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return text;
        }
    }
}

void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

std::string in_child(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "child failed: no pipe";
    const ChildOutcome outcome = run_in_child(
        [&]() {
            close(fds[0]);
            write_all(fds[1], body());
            close(fds[1]);
            return 0;
        },
        20000);
    close(fds[1]);
    const std::string text = read_all(fds[0]);
    close(fds[0]);
    if (!outcome.exited || outcome.exit_code != 0) {
        return "child failed: exit " + std::to_string(outcome.exit_code) + " signal " +
               std::to_string(outcome.signal_number) + (outcome.timed_out ? " timed out" : "");
    }
    return text;
}

std::vector<int> allowed_cpus() {
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}

bool restrict_to(const std::vector<int>& cpus) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

std::string placed(int result, const std::vector<int>& cpus) {
    std::string text = "result " + std::to_string(result) + " on {";
    for (size_t i = 0; i < cpus.size(); ++i) {
        if (i > 0) text += ",";
        text += std::to_string(cpus[i]);
    }
    return text + "}";
}

bool pretend_online_cpus(int n) {
    char path[] = "/tmp/placement_online_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    write_all(fd, n == 1 ? "0\n" : "0-" + std::to_string(n - 1) + "\n");
    close(fd);
    bool mounted = false;
    if (unshare(CLONE_NEWNS) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
        // Nothing mounted here may reach the namespace the child came from.
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
            mounted = mount(path, "/sys/devices/system/cpu/online", nullptr, MS_BIND, nullptr) == 0;
        }
    }
    unlink(path);  // a mounted file stays readable
    return mounted && sysconf(_SC_NPROCESSORS_ONLN) == n;
}

bool refuse_getaffinity() {
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_sched_getaffinity, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0) return false;
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) != 0 && errno == EPERM;
}

std::string capture_stderr(const std::function<void()>& fn) {
    std::fflush(stderr);
    char path[] = "/tmp/placement_stderr_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "no capture file";
    unlink(path);
    const int saved = dup(2);
    dup2(fd, 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    lseek(fd, 0, SEEK_SET);
    const std::string text = read_all(fd);
    close(fd);
    return text;
}
