#include "serial_line.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
static_assert(REQUEST_TIOCGRS485 == TIOCGRS485, "TIOCGRS485");
static_assert(REQUEST_TIOCGICOUNT == TIOCGICOUNT, "TIOCGICOUNT");

static_assert(IFLAG_IGNBRK == IGNBRK && IFLAG_BRKINT == BRKINT && IFLAG_IGNPAR == IGNPAR &&
                  IFLAG_PARMRK == PARMRK && IFLAG_INPCK == INPCK && IFLAG_ISTRIP == ISTRIP,
              "c_iflag bits");
static_assert(CC_VTIME == VTIME && CC_VMIN == VMIN, "c_cc indexes");
static_assert(CFLAG_CREAD == CREAD, "CREAD");
#ifdef ADDRB
static_assert(CFLAG_ADDRB == ADDRB, "ADDRB");
#endif

static_assert(sizeof(Rs485Settings) == sizeof(struct serial_rs485), "Rs485Settings size");
static_assert(offsetof(Rs485Settings, delay_rts_after_send) ==
                  offsetof(struct serial_rs485, delay_rts_after_send),
              "delay_rts_after_send");
#ifdef SER_RS485_ADDRB
static_assert(RS485_ADDRB == SER_RS485_ADDRB && RS485_ADDR_RECV == SER_RS485_ADDR_RECV &&
                  RS485_ADDR_DEST == SER_RS485_ADDR_DEST,
              "RS-485 addressing flags");
static_assert(offsetof(Rs485Settings, addr_recv) == offsetof(struct serial_rs485, addr_recv) &&
                  offsetof(Rs485Settings, addr_dest) == offsetof(struct serial_rs485, addr_dest),
              "RS-485 addresses");
#endif
static_assert(sizeof(UartCounters) == sizeof(struct serial_icounter_struct), "UartCounters size");
static_assert(offsetof(UartCounters, rx) == offsetof(struct serial_icounter_struct, rx) &&
                  offsetof(UartCounters, frame) == offsetof(struct serial_icounter_struct, frame) &&
                  offsetof(UartCounters, parity) ==
                      offsetof(struct serial_icounter_struct, parity) &&
                  offsetof(UartCounters, buf_overrun) ==
                      offsetof(struct serial_icounter_struct, buf_overrun),
              "UartCounters fields");

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

int get_rs485(int fd, Rs485Settings* settings) { return ioctl(fd, TIOCGRS485, settings); }

int set_rs485(int fd, Rs485Settings* settings) { return ioctl(fd, TIOCSRS485, settings); }

int get_uart_counters(int fd, UartCounters* counters) { return ioctl(fd, TIOCGICOUNT, counters); }

int open_line(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}
