// ninetx_soft: nine-bit frames by stick parity. The first byte goes out with
// the parity bit forced to 1 (mark), the other five with it forced to 0
// (space): 11 bit times per character.
#include "transmit.h"

namespace {

void soft_cycle(int fd, LineSettings* working, const unsigned char* frame) {
    working->c_cflag |= CFLAG_CMSPAR | CFLAG_PARENB | CFLAG_PARODD;  // mark
    if (!apply_in_cycle(fd, working)) return;
    if (!send_bytes(fd, frame, 1)) return;
    // The drain wait of this apply keeps byte 0x01 on mark parity.
    working->c_cflag &= ~CFLAG_PARODD;
    working->c_cflag |= CFLAG_CMSPAR | CFLAG_PARENB;  // space
    if (!apply_in_cycle(fd, working)) return;
    send_bytes(fd, frame + 1, FRAME_BYTES - 1);
}

}  // namespace

int main(int argc, char** argv) { return run_transmit(argc, argv, soft_cycle); }
