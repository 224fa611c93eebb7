#include "transmit.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

static_assert(TCIOFLUSH == 2, "TCIOFLUSH");
static_assert((O_RDWR | O_NOCTTY) == 0x102, "read/write, no controlling terminal");

namespace {

// Every text the tools print.
constexpr const char* USAGE_FORMAT = "usage: %s DEVICE BAUD%s";
constexpr const char* BAD_BAUD_FORMAT = "invalid baud rate: %s\n";
constexpr const char* OPEN_FAILED_FORMAT = "could not open %s\n";
constexpr const char* GET_FAILED_FORMAT = "tcgetattr() failed: %s\n";
constexpr const char* SET_FAILED_FORMAT = "tcsetattr() failed: %s\n";
constexpr const char* RS485_FAILED_FORMAT = "ioctl() failed: %s\n";
constexpr const char* WRITE_FAILED_FORMAT = "write() failed: %s\n";
constexpr char ABANDONED_TEXT[] =
    "stopped with output pending: output discarded, settings put back\n";
constexpr char ABANDONED_UNRESTORED_TEXT[] =
    "stopped with output pending: output discarded, settings not put back\n";

constexpr int ARGUMENT_COUNT = 2;  // DEVICE BAUD
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Stop requests received (SIGINT, SIGTERM or SIGHUP), counted up to 2. The
// first ends the run after the cycle in progress; a second ends it at once.
volatile std::sig_atomic_t stop_requested = 0;

// Set while the main flow is in (or about to enter) a write or a draining
// apply, which a stalled line can block for ever.
volatile std::sig_atomic_t output_pending = 0;

// What a second request needs to put the line back from the handler.
int line_fd = -1;
LineSettings line_saved;

void write_stderr(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

// Discards the pending output, puts the found settings back without waiting
// and exits with 255. Only async-signal-safe calls: the stop handler runs it
// from inside a blocked write or TCSETSW2.
[[noreturn]] void abandon_output() {
    sigset_t stop_signals;  // a further request must not start this again
    sigemptyset(&stop_signals);
    for (const int s : STOP_SIGNALS) sigaddset(&stop_signals, s);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    tcflush(line_fd, TCOFLUSH);  // result ignored: the put-back matters
    if (set_termios2(line_fd, APPLY_NOW, &line_saved) == 0) {
        write_stderr(ABANDONED_TEXT, sizeof ABANDONED_TEXT - 1);
    } else {
        write_stderr(ABANDONED_UNRESTORED_TEXT, sizeof ABANDONED_UNRESTORED_TEXT - 1);
    }
    _exit(EXIT_SETUP_FAILED);
}

void on_stop_request(int) {
    if (stop_requested < 2) stop_requested = stop_requested + 1;
    if (stop_requested >= 2 && output_pending) abandon_output();
}

// Installed restarting, so that a first request lets a blocked write or
// apply go on and the cycle finish; each stop signal is held off while the
// handler runs, so the count is never updated twice at once.
void install_stop_handlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_request;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int s : STOP_SIGNALS) sigaddset(&action.sa_mask, s);
    for (const int s : STOP_SIGNALS) sigaction(s, &action, nullptr);
}

// Brackets a call that may block on output. A second request that came
// before the call ends the run here; one that comes during it ends the run
// from the handler.
void begin_output() {
    std::atomic_signal_fence(std::memory_order_seq_cst);  // line_fd, line_saved first
    output_pending = 1;
    if (stop_requested >= 2) abandon_output();
}

void end_output() { output_pending = 0; }

void report_error(const char* format, int error) {
    std::fprintf(stderr, format, std::strerror(error));
}

int exit_with_usage(const char* program, const char* extra_usage) {
    std::printf(USAGE_FORMAT, program, extra_usage);
    return EXIT_SETUP_FAILED;
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
    begin_output();
    const int r = set_termios2(fd, APPLY_AFTER_DRAIN, working);
    end_output();
    if (r < 0) {
        report_error(SET_FAILED_FORMAT, errno);
        return false;
    }
    return true;
}

bool send_bytes(int fd, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        begin_output();
        const ssize_t sent = write(fd, bytes, count);
        end_output();
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

bool parse_address(const char* text, uint8_t* address) {
    if (text == nullptr || *text == '\0') return false;
    unsigned value = 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const char* digits = text + 2;
        const size_t length = std::strlen(digits);
        if (length < 1 || length > 2) return false;
        for (const char* p = digits; *p != '\0'; ++p) {
            const char c = static_cast<char>(*p | 0x20);  // lower case
            if (*p >= '0' && *p <= '9') {
                value = value * 16 + static_cast<unsigned>(*p - '0');
            } else if (c >= 'a' && c <= 'f') {
                value = value * 16 + static_cast<unsigned>(c - 'a' + 10);
            } else {
                return false;
            }
        }
    } else {
        for (const char* p = text; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9') return false;
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (value > 255) return false;
        }
    }
    *address = static_cast<uint8_t>(value);
    return true;
}

int run_transmit(int argc, char** argv, SendCycle cycle) {
    return run_transmit(argc, argv, TransmitVariant{cycle, "", 0, nullptr, nullptr});
}

int run_transmit(int argc, char** argv, const TransmitVariant& variant) {
    install_stop_handlers();  // first, before anything can fail

    if (argc != ARGUMENT_COUNT + variant.extra_count + 1) {
        return exit_with_usage(argc > 0 ? argv[0] : "", variant.extra_usage);
    }
    const char* device = argv[1];
    uint32_t baud = 0;
    if (!parse_baud(argv[2], &baud)) {
        std::fprintf(stderr, BAD_BAUD_FORMAT, argv[2]);
        return EXIT_SETUP_FAILED;
    }
    if (variant.check_extra != nullptr && !variant.check_extra(argv + ARGUMENT_COUNT + 1)) {
        return EXIT_SETUP_FAILED;
    }

    const int fd = open_line(device);
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
    const bool rs485_on = enable_rs485(fd) == 0;
    if (!rs485_on) report_error(RS485_FAILED_FORMAT, errno);
    if (!rs485_on || (variant.set_up != nullptr && !variant.set_up(fd, &working))) {
        // Leave the port as it was found, and say so when that fails too.
        if (set_termios2(fd, APPLY_NOW, &saved) != 0) report_error(SET_FAILED_FORMAT, errno);
        return EXIT_SETUP_FAILED;
    }
    line_saved = saved;
    line_fd = fd;

    const unsigned char frame[FRAME_BYTES] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    // A cycle once begun runs to its end; the count is read before the first
    // cycle and after each one.
    while (!stop_requested) {
        variant.cycle(fd, &working, frame);
        pause_between_cycles();
    }

    // Wait for the last frame to leave before the old settings take over; a
    // second request cuts the wait short.
    begin_output();
    const int restored = set_termios2(fd, APPLY_AFTER_DRAIN, &saved);
    end_output();
    if (restored != 0) {
        report_error(SET_FAILED_FORMAT, errno);
        return EXIT_SETUP_FAILED;
    }
    return EXIT_STOPPED;
}
