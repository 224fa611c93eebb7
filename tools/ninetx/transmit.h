// The skeleton shared by the nine-bit transmit tools: argument checks, line
// set-up, the send loop until SIGINT, SIGTERM or SIGHUP, and putting the line
// back. Each tool supplies only its send cycle.
#ifndef NINETX_TRANSMIT_H
#define NINETX_TRANSMIT_H

#include <cstddef>
#include <cstdint>

#include "serial_line.h"

constexpr int EXIT_STOPPED = 0;         // run ended by a stop request, line put back
constexpr int EXIT_SETUP_FAILED = 255;  // usage, bad rate, set-up or restore failure,
                                        // or a second stop request

constexpr std::size_t FRAME_BYTES = 6;  // 0x01 .. 0x06

// One send cycle. It changes working->c_cflag, applies it with
// apply_in_cycle and writes (parts of) frame with send_bytes; it returns
// early when either reports a failure.
using SendCycle = void (*)(int fd, LineSettings* working, const unsigned char* frame);

// Applies working once queued output has left (TCSETSW2). On failure prints
// "tcsetattr() failed: ..." and returns false. A second stop request while it
// waits ends the process (see run_transmit).
bool apply_in_cycle(int fd, const LineSettings* working);

// Writes all count bytes, continuing after short writes and EINTR. On failure
// prints "write() failed: ..." and returns false. A second stop request while
// it blocks ends the process.
bool send_bytes(int fd, const unsigned char* bytes, std::size_t count);

// Accepts only decimal digits, value 1 to 4294967295.
bool parse_baud(const char* text, uint32_t* baud);

// A nine-bit address: decimal 0 to 255, or 0x and one or two hex digits.
bool parse_address(const char* text, uint8_t* address);

// What a transmit tool adds to the skeleton beyond DEVICE BAUD.
struct TransmitVariant {
    SendCycle cycle;
    const char* extra_usage;  // appended to the usage line, e.g. " ADDR"
    int extra_count;          // arguments after BAUD
    // Checks the extra arguments before the device is opened; prints its
    // message and returns false when they are wrong (exit 255).
    bool (*check_extra)(char** extra);
    // Runs once RS-485 is on; prints its message and returns false when the
    // driver refuses (the found settings go back, exit 255).
    bool (*set_up)(int fd, LineSettings* working);
};

// The whole run: argv is the program name, DEVICE and BAUD. Returns the exit
// status. A first SIGINT, SIGTERM or SIGHUP ends the run after the cycle in
// progress and puts the found settings back once the last frame has left
// (0). A second one discards the pending output, puts them back at once,
// prints one line and exits with 255 at once.
int run_transmit(int argc, char** argv, SendCycle cycle);

// The same with extra arguments and a set-up step.
int run_transmit(int argc, char** argv, const TransmitVariant& variant);

#endif
