// ninetx_flag_b: leaves the ninth bit to the serial driver, asked for with
// the driver-defined bit 25 alone (no termios parity); one write per frame.
#include "transmit.h"

namespace {

constexpr uint32_t FLAG_B_BITS = CDRV_BIT25;
static_assert(FLAG_B_BITS == 0x02000000, "ninetx_flag_b bits");

void flag_b_cycle(int fd, LineSettings* working, const unsigned char* frame) {
    working->c_cflag |= FLAG_B_BITS;
    if (!apply_in_cycle(fd, working)) return;
    send_bytes(fd, frame, FRAME_BYTES);
}

}  // namespace

int main(int argc, char** argv) { return run_transmit(argc, argv, flag_b_cycle); }
