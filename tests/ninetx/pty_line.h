// A pseudo-terminal standing in for the serial port, and an independent
// reading of its termios2 record (straight from <asm/termbits.h>).
#ifndef TESTS_NINETX_PTY_LINE_H
#define TESTS_NINETX_PTY_LINE_H

#include <string>

struct PtyLine {
    int master = -1;
    int slave = -1;  // kept open so that the tool's close never hangs the line up
    std::string slave_path;
};

// Opens a pty pair; master non-blocking. False on failure.
bool open_pty_line(PtyLine* line);
void close_pty_line(PtyLine* line);

// Appends what the tool has written so far, as read from the master (a
// bounded amount per call); true when anything was read.
bool drain_pty_line(const PtyLine& line, std::string* wire);

// The slave's termios2 record as raw bytes (44), or "" when the request is
// not available (qemu-arm and qemu-aarch64 user mode answer ENOSYS).
std::string read_line_settings(const PtyLine& line);

// Whether TCGETS2 works in this process (false under qemu-arm and qemu-aarch64 7).
bool termios2_available();

#endif
