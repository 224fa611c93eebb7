// The board's half of the system test: runs one scenario on the emulated ARM
// board and prints what it observed as one "@@ " line on standard output. It
// judges nothing itself; the host compares the lines with what it expects.
//
//   board_probe run LABEL PROGRAM [ARG...]    exit status, stdout and stderr
//   board_probe serial LABEL TOOL DEVICE BAUD MS   a serial tool run, then SIGINT
//
// <asm/termbits.h> is used instead of glibc's <termios.h>, which does not
// know termios2 and cannot be mixed with it.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
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
int serial_command(int argc, char** argv) {
    if (argc != 7) return EXIT_BAD_USAGE;
    const char* label = argv[2];
    char* tool_argv[] = {argv[3], argv[4], argv[5], nullptr};
    const char* device = argv[4];
    const int run_ms = std::atoi(argv[6]);
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
    sleep_ms(run_ms / 2);
    const int running_read = ioctl(fd, TCGETS2, &running);
    const int rs485_read = ioctl(fd, TIOCGRS485, &rs485_running);
    sleep_ms(run_ms - run_ms / 2);
    kill(pid, SIGINT);
    const ChildOutcome o = wait_bounded(pid, PROGRAM_WAIT_MS);
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

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: board_probe run|serial ...\n");
        return EXIT_BAD_USAGE;
    }
    const std::string command = argv[1];
    int status = EXIT_BAD_USAGE;
    if (command == "run") status = run_command(argc, argv);
    if (command == "serial") status = serial_command(argc, argv);
    if (status == EXIT_BAD_USAGE) std::fprintf(stderr, "board_probe: bad arguments\n");
    return status;
}
