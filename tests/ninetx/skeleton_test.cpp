// The skeleton's own functions, called in this process.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "pty_line.h"
#include "transmit.h"

TEST(ParseBaud, AcceptsDecimalRatesFromOneToTheTopOf32Bits) {
    const struct {
        const char* text;
        uint32_t value;
    } good[] = {{"1", 1},
                {"9600", 9600},
                {"0009600", 9600},
                {"4294967295", 4294967295u},
                {"250000", 250000}};
    for (const auto& c : good) {
        uint32_t baud = 0;
        EXPECT_TRUE(parse_baud(c.text, &baud)) << c.text;
        EXPECT_EQ(baud, c.value) << c.text;
    }
}

TEST(ParseBaud, RejectsZeroSignsBlanksTrailingTextAndOverflow) {
    const char* bad[] = {"",
                         "0",
                         "000",
                         "-9600",
                         "+9600",
                         " 9600",
                         "9600 ",
                         "9600x",
                         "96O0",
                         "0x2580",
                         "4294967296",
                         "9600.0",
                         "1e6",
                         "abc",
                         "\t1",
                         "18446744073709551616",
                         "99999999999999999999999"};
    for (const char* text : bad) {
        uint32_t baud = 12345;
        EXPECT_FALSE(parse_baud(text, &baud)) << '"' << text << '"';
        EXPECT_EQ(baud, 12345u) << "left untouched on rejection: " << text;
    }
    uint32_t baud = 0;
    EXPECT_FALSE(parse_baud(nullptr, &baud));
}

TEST(SetTermios2, ActionOutsideTheTableReturnsMinusEinvalWithoutASystemCall) {
    LineSettings settings;
    std::memset(&settings, 0, sizeof settings);
    // On fd -1 any ioctl would fail with EBADF; -22 and an untouched errno
    // show that none was made.
    for (int action : {3, 4, 100, -1, INT_MIN, INT_MAX}) {
        errno = 0;
        EXPECT_EQ(set_termios2(-1, action, &settings), -EINVAL) << action;
        EXPECT_EQ(errno, 0) << action;
    }
    for (int action : {APPLY_NOW, APPLY_AFTER_DRAIN, APPLY_AFTER_DRAIN_DISCARD_INPUT}) {
        errno = 0;
        EXPECT_EQ(set_termios2(-1, action, &settings), -1) << action;
        // EBADF from the kernel; qemu user mode (arm, aarch64) says ENOSYS first.
        EXPECT_TRUE(errno == EBADF || errno == ENOSYS) << action << ": " << errno;
    }
}

TEST(SerialLine, Termios2RoundTripsOnAPseudoTerminal) {
    if (!termios2_available()) GTEST_SKIP() << "no termios2 requests here (qemu user mode)";
    PtyLine line;
    ASSERT_TRUE(open_pty_line(&line));
    LineSettings before;
    ASSERT_EQ(get_termios2(line.slave, &before), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&before), sizeof before),
              read_line_settings(line));

    LineSettings raw = before;
    raw.c_iflag = raw.c_oflag = raw.c_lflag = 0;
    // A pty keeps CREAD set whatever it is given; ask for it so the read-back matches.
    raw.c_cflag = RAW_LINE_CFLAG | 0x80u;
    raw.c_ispeed = raw.c_ospeed = 123457;  // not a standard rate: BOTHER carries it
    for (int action : {APPLY_NOW, APPLY_AFTER_DRAIN, APPLY_AFTER_DRAIN_DISCARD_INPUT}) {
        ASSERT_EQ(set_termios2(line.slave, action, &raw), 0) << action;
        LineSettings now;
        ASSERT_EQ(get_termios2(line.slave, &now), 0);
        EXPECT_EQ(now.c_cflag, raw.c_cflag) << action;
        EXPECT_EQ(now.c_ospeed, 123457u) << action;
        EXPECT_EQ(now.c_ispeed, 123457u) << action;
        EXPECT_EQ(now.c_lflag, 0u) << action;
    }
    ASSERT_EQ(set_termios2(line.slave, APPLY_NOW, &before), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&before), sizeof before),
              read_line_settings(line));

    // A pty has no RS-485 mode: the driver's own answer.
    errno = 0;
    EXPECT_EQ(enable_rs485(line.slave), -1);
    EXPECT_EQ(errno, ENOTTY);
    close_pty_line(&line);
}
