// Linux termios2 and RS-485 requests on a serial device. The kernel's
// <asm/termbits.h> cannot share a translation unit with glibc's <termios.h>,
// so this header carries its own copy of the 44-byte termios2 record and the
// flag values; serial_line.cpp checks both against the kernel headers.
#ifndef NINETX_SERIAL_LINE_H
#define NINETX_SERIAL_LINE_H

#include <cstdint>

constexpr int LINE_CC_COUNT = 19;

// Byte-for-byte the kernel's struct termios2.
struct LineSettings {
    uint32_t c_iflag;
    uint32_t c_oflag;
    uint32_t c_cflag;
    uint32_t c_lflag;
    uint8_t c_line;
    uint8_t c_cc[LINE_CC_COUNT];
    uint32_t c_ispeed;
    uint32_t c_ospeed;
};

// Request numbers: 32-bit ARM, arm64 and x86_64 all use the generic ioctl
// encoding (direction, the 44-byte record size, 'T', number).
constexpr unsigned long REQUEST_TCGETS2 = 0x802C542A;
constexpr unsigned long REQUEST_TCSETS2 = 0x402C542B;
constexpr unsigned long REQUEST_TCSETSW2 = 0x402C542C;
constexpr unsigned long REQUEST_TCSETSF2 = 0x402C542D;
constexpr unsigned long REQUEST_TIOCSRS485 = 0x542F;
constexpr unsigned long REQUEST_TIOCGRS485 = 0x542E;
constexpr unsigned long REQUEST_TIOCGICOUNT = 0x545D;

// c_iflag bits of Linux termios.
constexpr uint32_t IFLAG_IGNBRK = 0x001;
constexpr uint32_t IFLAG_BRKINT = 0x002;
constexpr uint32_t IFLAG_IGNPAR = 0x004;
constexpr uint32_t IFLAG_PARMRK = 0x008;
constexpr uint32_t IFLAG_INPCK = 0x010;
constexpr uint32_t IFLAG_ISTRIP = 0x020;

// c_cc indexes.
constexpr int CC_VTIME = 5;
constexpr int CC_VMIN = 6;

// c_cflag bits of Linux termios.
constexpr uint32_t CFLAG_CS8 = 0x00000030;
constexpr uint32_t CFLAG_CREAD = 0x00000080;
constexpr uint32_t CFLAG_PARENB = 0x00000100;
constexpr uint32_t CFLAG_PARODD = 0x00000200;
constexpr uint32_t CFLAG_CLOCAL = 0x00000800;
constexpr uint32_t CFLAG_BOTHER = 0x00001000;
constexpr uint32_t CFLAG_CMSPAR = 0x40000000;
// Linux 6.0 and later: the ninth bit is an address bit the driver handles.
constexpr uint32_t CFLAG_ADDRB = 0x20000000;

// c_cflag bits that the serial driver defines; Linux termios leaves them free.
constexpr uint32_t CDRV_BIT23 = 0x00800000;
constexpr uint32_t CDRV_BIT24 = 0x01000000;
constexpr uint32_t CDRV_BIT25 = 0x02000000;

// Raw 8-bit line at the rate in c_ispeed/c_ospeed, modem lines ignored,
// receiver off, one stop bit, no parity: 6192.
constexpr uint32_t RAW_LINE_CFLAG = CFLAG_BOTHER | CFLAG_CLOCAL | CFLAG_CS8;

// RS-485 flags: mode on, RTS at logical 1 while sending and 0 after.
constexpr uint32_t RS485_ENABLED = 1;
constexpr uint32_t RS485_RTS_ON_SEND = 2;
// Linux 6.0 and later: nine-bit addressing, with a receive filter address
// (addr_recv) and a destination address the driver sends (addr_dest).
constexpr uint32_t RS485_ADDRB = 1u << 6;
constexpr uint32_t RS485_ADDR_RECV = 1u << 7;
constexpr uint32_t RS485_ADDR_DEST = 1u << 8;

// Byte-for-byte the kernel's struct serial_rs485 of Linux 6.0 (older
// kernels have five reserved words where the addresses are).
struct Rs485Settings {
    uint32_t flags;
    uint32_t delay_rts_before_send;  // milliseconds
    uint32_t delay_rts_after_send;   // milliseconds
    uint8_t addr_recv;
    uint8_t addr_dest;
    uint8_t padding0[2];
    uint32_t padding1[4];
};

// Byte-for-byte the kernel's struct serial_icounter_struct: what the UART
// has counted since the driver started, wrapping.
struct UartCounters {
    int32_t cts, dsr, rng, dcd;
    int32_t rx, tx;
    int32_t frame, overrun, parity, brk;
    int32_t buf_overrun;
    int32_t reserved[9];
};

// Actions of set_termios2, numbered like TCSANOW, TCSADRAIN and TCSAFLUSH.
constexpr int APPLY_NOW = 0;
constexpr int APPLY_AFTER_DRAIN = 1;
constexpr int APPLY_AFTER_DRAIN_DISCARD_INPUT = 2;

// TCGETS2 into settings; the ioctl result (0, or -1 with errno set).
int get_termios2(int fd, LineSettings* settings);

// Applies settings with TCSETS2, TCSETSW2 or TCSETSF2 chosen by action. An
// action outside 0..2 returns -22 (-EINVAL) without a system call.
int set_termios2(int fd, int action, const LineSettings* settings);

// TIOCSRS485 with RS-485 on, RTS on send, no delays; the ioctl result.
int enable_rs485(int fd);

// TIOCGRS485, TIOCSRS485 and TIOCGICOUNT; the ioctl result. A driver
// answers TIOCSRS485 by writing back what it applied (unsupported flags
// cleared, delays rounded).
int get_rs485(int fd, Rs485Settings* settings);
int set_rs485(int fd, Rs485Settings* settings);
int get_uart_counters(int fd, UartCounters* counters);

// Opens path read/write without waiting for carrier detect (an RS-485 line
// never raises it) and without becoming its controlling terminal, then
// switches to blocking mode. -1 when either step fails.
int open_line(const char* path);

#endif
