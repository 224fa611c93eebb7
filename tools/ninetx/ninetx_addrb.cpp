// ninetx_addrb: nine-bit frames by the kernel's own addressing (Linux 6.0 and
// later): ADDRB in c_cflag, and RS-485 with SER_RS485_ADDRB and
// SER_RS485_ADDR_DEST, so that the driver sends ADDR as the address byte.
// Each cycle re-arms the destination address with TIOCSRS485 once the
// previous frame has left, then writes the frame's five data bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "transmit.h"

namespace {

constexpr const char* BAD_ADDRESS_FORMAT = "invalid address: %s\n";
constexpr const char* ADDRB_REFUSED_FORMAT =
    "nine-bit addressing refused by the driver: %s (it needs Linux 6.0 or later and a UART "
    "with an address mode)\n";
constexpr const char* RS485_FAILED_FORMAT = "ioctl() failed: %s\n";

uint8_t destination = 0;

Rs485Settings addressing() {
    Rs485Settings rs485;
    std::memset(&rs485, 0, sizeof rs485);
    rs485.flags = RS485_ENABLED | RS485_RTS_ON_SEND | RS485_ADDRB | RS485_ADDR_DEST;
    rs485.addr_dest = destination;
    return rs485;
}

bool check_address(char** extra) {
    if (parse_address(extra[0], &destination)) return true;
    std::fprintf(stderr, BAD_ADDRESS_FORMAT, extra[0]);
    return false;
}

// ADDRB must survive in the applied settings and the addressing flags in the
// record the driver writes back; a driver without the mode clears them.
bool set_up_addressing(int fd, LineSettings* working) {
    working->c_cflag |= CFLAG_ADDRB;
    LineSettings applied;
    if (set_termios2(fd, APPLY_NOW, working) != 0) {
        std::fprintf(stderr, ADDRB_REFUSED_FORMAT, std::strerror(errno));
        return false;
    }
    if (get_termios2(fd, &applied) != 0 || (applied.c_cflag & CFLAG_ADDRB) == 0) {
        std::fprintf(stderr, ADDRB_REFUSED_FORMAT, "ADDRB cleared in the applied settings");
        return false;
    }
    Rs485Settings rs485 = addressing();
    if (set_rs485(fd, &rs485) != 0) {
        std::fprintf(stderr, ADDRB_REFUSED_FORMAT, std::strerror(errno));
        return false;
    }
    if ((rs485.flags & (RS485_ADDRB | RS485_ADDR_DEST)) != (RS485_ADDRB | RS485_ADDR_DEST)) {
        std::fprintf(stderr, ADDRB_REFUSED_FORMAT, "SER_RS485_ADDRB cleared in the applied record");
        return false;
    }
    return true;
}

void addrb_cycle(int fd, LineSettings* working, const unsigned char* frame) {
    if (!apply_in_cycle(fd, working)) return;  // the previous frame has left
    Rs485Settings rs485 = addressing();
    if (set_rs485(fd, &rs485) != 0) {
        std::fprintf(stderr, RS485_FAILED_FORMAT, std::strerror(errno));
        return;
    }
    send_bytes(fd, frame + 1, FRAME_BYTES - 1);
}

}  // namespace

int main(int argc, char** argv) {
    return run_transmit(argc, argv,
                        TransmitVariant{addrb_cycle, " ADDR", 1, check_address, set_up_addressing});
}
