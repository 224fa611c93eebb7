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

// c_cflag bits of Linux termios.
constexpr uint32_t CFLAG_CS8 = 0x00000030;
constexpr uint32_t CFLAG_PARENB = 0x00000100;
constexpr uint32_t CFLAG_PARODD = 0x00000200;
constexpr uint32_t CFLAG_CLOCAL = 0x00000800;
constexpr uint32_t CFLAG_BOTHER = 0x00001000;
constexpr uint32_t CFLAG_CMSPAR = 0x40000000;

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

#endif
