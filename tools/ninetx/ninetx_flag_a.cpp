// ninetx_flag_a: leaves the ninth bit to the serial driver, asked for with
// stick parity and the driver-defined bits 23 and 24; one write per frame.
#include "transmit.h"

namespace {

constexpr uint32_t FLAG_A_BITS = CFLAG_CMSPAR | CDRV_BIT24 | CDRV_BIT23 | CFLAG_PARENB;
static_assert(FLAG_A_BITS == 0x41800100, "ninetx_flag_a bits");

void flag_a_cycle(int fd, LineSettings* working, const unsigned char* frame) {
    working->c_cflag |= FLAG_A_BITS;
    if (!apply_in_cycle(fd, working)) return;
    send_bytes(fd, frame, FRAME_BYTES);
}

}  // namespace

int main(int argc, char** argv) { return run_transmit(argc, argv, flag_a_cycle); }
