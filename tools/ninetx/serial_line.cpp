#include "serial_line.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

// The record and the constants above must be what this platform's kernel
// headers say; a mismatch stops the build instead of sending wrong requests.
static_assert(sizeof(struct termios2) == 44, "termios2 is 44 bytes");
static_assert(sizeof(LineSettings) == sizeof(struct termios2), "LineSettings size");
static_assert(offsetof(LineSettings, c_iflag) == offsetof(struct termios2, c_iflag), "c_iflag");
static_assert(offsetof(LineSettings, c_oflag) == offsetof(struct termios2, c_oflag), "c_oflag");
static_assert(offsetof(LineSettings, c_cflag) == offsetof(struct termios2, c_cflag), "c_cflag");
static_assert(offsetof(LineSettings, c_lflag) == offsetof(struct termios2, c_lflag), "c_lflag");
static_assert(offsetof(LineSettings, c_line) == offsetof(struct termios2, c_line), "c_line");
static_assert(offsetof(LineSettings, c_cc) == offsetof(struct termios2, c_cc), "c_cc");
static_assert(LINE_CC_COUNT == NCCS, "c_cc length");
static_assert(offsetof(LineSettings, c_ispeed) == offsetof(struct termios2, c_ispeed), "ispeed");
static_assert(offsetof(LineSettings, c_ospeed) == offsetof(struct termios2, c_ospeed), "ospeed");

static_assert(REQUEST_TCGETS2 == TCGETS2, "TCGETS2");
static_assert(REQUEST_TCSETS2 == TCSETS2, "TCSETS2");
static_assert(REQUEST_TCSETSW2 == TCSETSW2, "TCSETSW2");
static_assert(REQUEST_TCSETSF2 == TCSETSF2, "TCSETSF2");
static_assert(REQUEST_TIOCSRS485 == TIOCSRS485, "TIOCSRS485");

static_assert(CFLAG_CS8 == CS8, "CS8");
static_assert(CFLAG_PARENB == PARENB, "PARENB");
static_assert(CFLAG_PARODD == PARODD, "PARODD");
static_assert(CFLAG_CLOCAL == CLOCAL, "CLOCAL");
static_assert(CFLAG_BOTHER == BOTHER, "BOTHER");
static_assert(CFLAG_CMSPAR == CMSPAR, "CMSPAR");
static_assert(RAW_LINE_CFLAG == 6192, "raw line c_cflag");

// The driver-defined bits must not collide with anything termios assigns.
constexpr uint32_t TERMIOS_CFLAG_BITS = CBAUD | CBAUDEX | CSIZE | CSTOPB | CREAD | PARENB | PARODD |
                                        HUPCL | CLOCAL | CIBAUD | CMSPAR | CRTSCTS
#ifdef ADDRB
                                        | ADDRB
#endif
    ;
static_assert(((CDRV_BIT23 | CDRV_BIT24 | CDRV_BIT25) & TERMIOS_CFLAG_BITS) == 0,
              "driver-defined bits are free in termios");

static_assert(sizeof(struct serial_rs485) == 32, "serial_rs485 is 32 bytes");
static_assert(RS485_ENABLED == SER_RS485_ENABLED, "SER_RS485_ENABLED");
static_assert(RS485_RTS_ON_SEND == SER_RS485_RTS_ON_SEND, "SER_RS485_RTS_ON_SEND");

namespace {

// Indexed by the set_termios2 action.
constexpr unsigned long SET_REQUESTS[] = {TCSETS2, TCSETSW2, TCSETSF2};
static_assert(SET_REQUESTS[APPLY_NOW] == TCSETS2, "action 0 applies at once");
static_assert(SET_REQUESTS[APPLY_AFTER_DRAIN] == TCSETSW2, "action 1 waits for output");
static_assert(SET_REQUESTS[APPLY_AFTER_DRAIN_DISCARD_INPUT] == TCSETSF2, "action 2 also flushes");

}  // namespace

int get_termios2(int fd, LineSettings* settings) { return ioctl(fd, TCGETS2, settings); }

int set_termios2(int fd, int action, const LineSettings* settings) {
    // Unsigned comparison: a negative action is out of range as well.
    if (static_cast<unsigned>(action) >= sizeof(SET_REQUESTS) / sizeof(SET_REQUESTS[0])) {
        return -EINVAL;
    }
    return ioctl(fd, SET_REQUESTS[action], settings);
}

int enable_rs485(int fd) {
    struct serial_rs485 rs485;
    std::memset(&rs485, 0, sizeof rs485);  // delays and the reserved words zero
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    return ioctl(fd, TIOCSRS485, &rs485);
}
