#include "transmit.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

static_assert(TCIOFLUSH == 2, "TCIOFLUSH");
static_assert((O_RDWR | O_NOCTTY) == 0x102, "read/write, no controlling terminal");

namespace {

// Every text the tools print.
constexpr const char* USAGE_FORMAT = "usage: %s DEVICE BAUD";
constexpr const char* BAD_BAUD_FORMAT = "invalid baud rate: %s\n";
constexpr const char* OPEN_FAILED_FORMAT = "could not open %s\n";
constexpr const char* GET_FAILED_FORMAT = "tcgetattr() failed: %s\n";
constexpr const char* SET_FAILED_FORMAT = "tcsetattr() failed: %s\n";
constexpr const char* RS485_FAILED_FORMAT = "ioctl() failed: %s\n";
constexpr const char* WRITE_FAILED_FORMAT = "write() failed: %s\n";

constexpr int ARGUMENT_COUNT = 2;  // DEVICE BAUD

volatile std::sig_atomic_t stop_requested = 0;

void on_interrupt(int) { stop_requested = 1; }

void report_error(const char* format, int error) {
    std::fprintf(stderr, format, std::strerror(error));
}

int exit_with_usage(const char* program) {
    std::printf(USAGE_FORMAT, program);
    return EXIT_SETUP_FAILED;
}

// Opens without waiting for carrier detect, then switches to blocking mode
// for everything after. Returns -1 when either step fails.
int open_device(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Raw 8-bit mode at baud; line discipline and control characters as found.
LineSettings raw_settings(const LineSettings& saved, uint32_t baud) {
    LineSettings working = saved;
    working.c_iflag = 0;
    working.c_oflag = 0;
    working.c_cflag = RAW_LINE_CFLAG;
    working.c_lflag = 0;
    working.c_ispeed = baud;
    working.c_ospeed = baud;
    return working;
}

void pause_between_cycles() {
    const struct timespec zero = {0, 0};
    nanosleep(&zero, nullptr);  // result ignored
}

}  // namespace

bool apply_in_cycle(int fd, const LineSettings* working) {
    if (set_termios2(fd, APPLY_AFTER_DRAIN, working) < 0) {
        report_error(SET_FAILED_FORMAT, errno);
        return false;
    }
    return true;
}

bool send_bytes(int fd, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t sent = write(fd, bytes, count);
        if (sent < 0) {
            if (errno == EINTR) continue;
            report_error(WRITE_FAILED_FORMAT, errno);
            return false;
        }
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool parse_baud(const char* text, uint32_t* baud) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    if (value == 0) return false;
    *baud = static_cast<uint32_t>(value);
    return true;
}

int run_transmit(int argc, char** argv, SendCycle cycle) {
    std::signal(SIGINT, on_interrupt);  // first, before anything can fail

    if (argc != ARGUMENT_COUNT + 1) return exit_with_usage(argc > 0 ? argv[0] : "");
    const char* device = argv[1];
    uint32_t baud = 0;
    if (!parse_baud(argv[2], &baud)) {
        std::fprintf(stderr, BAD_BAUD_FORMAT, argv[2]);
        return EXIT_SETUP_FAILED;
    }

    const int fd = open_device(device);
    if (fd < 0) {
        std::fprintf(stderr, OPEN_FAILED_FORMAT, device);
        return EXIT_SETUP_FAILED;
    }
    LineSettings saved;
    if (get_termios2(fd, &saved) != 0) {
        report_error(GET_FAILED_FORMAT, errno);
        return EXIT_SETUP_FAILED;
    }
    LineSettings working = raw_settings(saved, baud);
    tcflush(fd, TCIOFLUSH);  // result ignored
    if (set_termios2(fd, APPLY_NOW, &working) != 0) {
        report_error(SET_FAILED_FORMAT, errno);
        return EXIT_SETUP_FAILED;
    }
    if (enable_rs485(fd) != 0) {
        const int error = errno;
        set_termios2(fd, APPLY_NOW, &saved);  // leave the port as it was found
        report_error(RS485_FAILED_FORMAT, error);
        return EXIT_SETUP_FAILED;
    }

    const unsigned char frame[FRAME_BYTES] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    // A cycle once begun runs to its end; the flag is read before the first
    // cycle and after each one.
    while (!stop_requested) {
        cycle(fd, &working, frame);
        pause_between_cycles();
    }

    // Wait for the last frame to leave before the old settings take over.
    if (set_termios2(fd, APPLY_AFTER_DRAIN, &saved) != 0) {
        report_error(SET_FAILED_FORMAT, errno);
        return EXIT_SETUP_FAILED;
    }
    return EXIT_STOPPED;
}
