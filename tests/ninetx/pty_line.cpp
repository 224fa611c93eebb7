#include "pty_line.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

bool open_pty_line(PtyLine* line) {
    line->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (line->master < 0 || grantpt(line->master) != 0 || unlockpt(line->master) != 0) {
        return false;
    }
    const char* name = ptsname(line->master);
    if (name == nullptr) return false;
    line->slave_path = name;
    line->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line->slave < 0) return false;
    const int flags = fcntl(line->master, F_GETFL);
    return flags >= 0 && fcntl(line->master, F_SETFL, flags | O_NONBLOCK) == 0;
}

void close_pty_line(PtyLine* line) {
    if (line->slave >= 0) close(line->slave);
    if (line->master >= 0) close(line->master);
    line->slave = line->master = -1;
}

bool drain_pty_line(const PtyLine& line, std::string* wire) {
    // Bounded per call, so that a tool writing without end cannot keep the
    // caller here; beyond 1 MiB the bytes are read and dropped.
    constexpr int MAX_READS = 16;
    constexpr size_t MAX_KEPT = 1 << 20;
    char buffer[4096];
    bool got = false;
    for (int reads = 0; reads < MAX_READS; ++reads) {
        const ssize_t n = read(line.master, buffer, sizeof buffer);
        if (n > 0) {
            if (wire->size() < MAX_KEPT) wire->append(buffer, static_cast<size_t>(n));
            got = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EAGAIN: nothing more for now
        }
    }
    return got;
}

std::string read_line_settings(const PtyLine& line) {
    struct termios2 settings;
    if (ioctl(line.slave, TCGETS2, &settings) != 0) return "";
    return std::string(reinterpret_cast<const char*>(&settings), sizeof settings);
}

bool termios2_available() {
    PtyLine line;
    const bool ok = open_pty_line(&line) && !read_line_settings(line).empty();
    close_pty_line(&line);
    return ok;
}
