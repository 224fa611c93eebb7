/* Test double for a serial port in RS-485 mode, loaded into the ninetx tools
 * and ninerx with LD_PRELOAD. It interposes open, fcntl, ioctl, read, write,
 * tcflush and nanosleep, records every call on the device in a log file (one
 * line per call), and passes the calls through to a real pseudo-terminal,
 * except:
 *
 * - TIOCSRS485 always succeeds (a pty has no RS-485 mode), its record is
 *   logged field by field, kept, written back as a driver would (delays
 *   rounded when asked) and returned by TIOCGRS485;
 * - ADDRB in c_cflag is kept (a pty clears it) unless the driver is to
 *   refuse nine-bit addressing;
 * - TIOCGICOUNT returns counters given in the environment;
 * - read returns input given in the environment: the marked bytes a UART
 *   with PARMRK delivers, which a pty cannot produce;
 * - where the kernel interface cannot take termios2 requests (qemu user
 *   mode answers ENOSYS), the double keeps the device's termios2 record itself;
 * - failures, short writes, EINTR, refused driver-defined bits and a pause
 *   until a stop signal can be injected through the environment.
 *
 * Environment:
 *   SERIAL_DOUBLE_DEVICE   path of the device; only calls on it are touched
 *   SERIAL_DOUBLE_LOG      file the records are appended to
 *   SERIAL_DOUBLE_FAIL     space-separated EVENT or EVENT#N: fail (EIO) every
 *                          such call, or only the N-th
 *   SERIAL_DOUBLE_HOLD     EVENT#N: before doing the N-th such call, log
 *                          "hold" and wait for SIGINT, SIGTERM or SIGHUP
 *   SERIAL_DOUBLE_REFUSE_CDRV=1  TCSETS2/TCSETSW2/TCSETSF2 with any of the
 *                          driver-defined c_cflag bits 23-25 fail (EINVAL)
 *   SERIAL_DOUBLE_WRITES   "short": at most 2 bytes per write; "eintr": every
 *                          odd-numbered write fails with EINTR; "shortfail":
 *                          1 byte of a longer write, then the next write fails
 *   SERIAL_DOUBLE_INPUT    hex digits (blanks ignored): what reads return, in
 *                          order; once it is used up a read waits VTIME
 *                          tenths of a second and returns 0
 *   SERIAL_DOUBLE_READ_CHUNK  at most this many bytes per read (default 4096)
 *   SERIAL_DOUBLE_ICOUNT   space-separated records rx:frame:parity:overrun:
 *                          brk:buf_overrun; the N-th TIOCGICOUNT returns the
 *                          N-th record (the last one from then on). Unset:
 *                          TIOCGICOUNT goes to the pty
 *   SERIAL_DOUBLE_RS485_ROUND  N: the driver rounds the RTS delays up to a
 *                          multiple of N ms
 *   SERIAL_DOUBLE_ADDRB    "clear": the driver clears ADDRB and the RS-485
 *                          addressing flags (no address mode); "fail":
 *                          TIOCSRS485 with SER_RS485_ADDRB fails (EINVAL)
 * EVENT is one of open, fcntl_getfl, fcntl_setfl, TCGETS2, TCSETS2, TCSETSW2,
 * TCSETSF2, TIOCSRS485, TIOCGRS485, TIOCGICOUNT, tcflush, read, write,
 * nanosleep.
 *
 * Compiled without 64-bit time_t/off_t redirections so that the plain and
 * the 64-bit entry points can both be defined here. */
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _GNU_SOURCE 1

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>

#define REQ_TCGETS 0x5401UL
#define REQ_TCGETS2 0x802C542AUL
#define REQ_TCSETS2 0x402C542BUL
#define REQ_TCSETSW2 0x402C542CUL
#define REQ_TCSETSF2 0x402C542DUL
#define REQ_TIOCSRS485 0x542FUL
#define REQ_TIOCGRS485 0x542EUL
#define REQ_TIOCGICOUNT 0x545DUL
#define CDRV_BITS 0x03800000u
#define ADDRB_BIT 0x20000000u
#define RS485_ADDRESSING 0x1C0u /* SER_RS485_ADDRB | ADDR_RECV | ADDR_DEST */
#define VTIME_INDEX 5

struct Termios2 {
    uint32_t c_iflag, c_oflag, c_cflag, c_lflag;
    uint8_t c_line;
    uint8_t c_cc[19];
    uint32_t c_ispeed, c_ospeed;
};
_Static_assert(sizeof(struct Termios2) == 44, "termios2 layout");

struct Rs485 {
    uint32_t flags, delay_rts_before_send, delay_rts_after_send;
    uint8_t addr_recv, addr_dest, padding0[2];
    uint32_t rest[4];
};
_Static_assert(sizeof(struct Rs485) == 32, "serial_rs485 layout");

/* The 64-bit timespec of 32-bit glibc (little-endian ARM). */
struct Timespec64 {
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t padding;
};

enum Event {
    EV_OPEN,
    EV_FCNTL_GETFL,
    EV_FCNTL_SETFL,
    EV_TCGETS2,
    EV_TCSETS2,
    EV_TCSETSW2,
    EV_TCSETSF2,
    EV_TIOCSRS485,
    EV_TIOCGRS485,
    EV_TIOCGICOUNT,
    EV_TCFLUSH,
    EV_READ,
    EV_WRITE,
    EV_NANOSLEEP,
    EV_COUNT
};
static const char* const EVENT_NAMES[EV_COUNT] = {
    "open",       "fcntl_getfl", "fcntl_setfl", "TCGETS2", "TCSETS2", "TCSETSW2", "TCSETSF2",
    "TIOCSRS485", "TIOCGRS485",  "TIOCGICOUNT", "tcflush", "read",    "write",    "nanosleep"};

static unsigned event_calls[EV_COUNT];
static int device_fd = -1;
static int log_fd = -1;
static int emulating = 0; /* termios2 kept here, not in the kernel */
static struct Termios2 emulated;
static unsigned write_calls;
static int last_write_short;
static struct Rs485 rs485_kept; /* what TIOCGRS485 returns: RS-485 off at start */
static uint32_t addrb_kept;     /* ADDRB as last set */
static size_t input_used;       /* bytes of SERIAL_DOUBLE_INPUT read so far */

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

static ssize_t real_write(int fd, const void* buf, size_t count) {
    static ssize_t (*fn)(int, const void*, size_t);
    if (!fn) fn = (ssize_t(*)(int, const void*, size_t))real("write");
    return fn(fd, buf, count);
}

static int real_ioctl(int fd, unsigned long request, void* arg) {
    static int (*fn)(int, unsigned long, ...);
#ifdef __arm__
    if (!fn) fn = (int (*)(int, unsigned long, ...))real("__ioctl_time64");
#endif
    if (!fn) fn = (int (*)(int, unsigned long, ...))real("ioctl");
    return fn(fd, request, arg);
}

static void log_line(const char* format, ...) {
    const char* path = getenv("SERIAL_DOUBLE_LOG");
    if (!path) return;
    if (log_fd < 0) {
        int (*open_fn)(const char*, int, ...) = (int (*)(const char*, int, ...))real("open");
        log_fd = open_fn(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_fd < 0) return;
    }
    char line[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line - 1, format, ap);
    va_end(ap);
    if (n < 0) return;
    if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    const int saved_errno = errno;
    real_write(log_fd, line, (size_t)n);
    errno = saved_errno;
}

/* Does the space-separated list in `variable` name `event`, plain or with
 * "#N" where N is this call's number? (Spaces, since qemu -E splits its
 * argument at commas.) */
static int listed(const char* variable, enum Event event, unsigned call) {
    const char* list = getenv(variable);
    if (!list) return 0;
    const char* name = EVENT_NAMES[event];
    const size_t len = strlen(name);
    for (const char* p = list; *p;) {
        const char* end = strchr(p, ' ');
        if (!end) end = p + strlen(p);
        if ((size_t)(end - p) >= len && strncmp(p, name, len) == 0) {
            if (p + len == end) return 1;
            if (p[len] == '#' && strtoul(p + len + 1, NULL, 10) == call) return 1;
        }
        p = *end ? end + 1 : end;
    }
    return 0;
}

/* Counts the call; holds when asked to; returns 1 when it is to fail. */
static int begin_event(enum Event event) {
    const unsigned call = ++event_calls[event];
    if (listed("SERIAL_DOUBLE_HOLD", event, call)) {
        static const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
        sigset_t block, old;
        sigemptyset(&block);
        for (int i = 0; i < 3; ++i) sigaddset(&block, STOP_SIGNALS[i]);
        sigprocmask(SIG_BLOCK, &block, &old);
        log_line("hold %s", EVENT_NAMES[event]);
        sigset_t waiting = old;
        for (int i = 0; i < 3; ++i) sigdelset(&waiting, STOP_SIGNALS[i]);
        sigsuspend(&waiting); /* returns once the tool's handler has run */
        sigprocmask(SIG_SETMASK, &old, NULL);
    }
    return listed("SERIAL_DOUBLE_FAIL", event, call);
}

static void format_settings(char* out, size_t size, const struct Termios2* t) {
    char cc[2 * 19 + 1];
    for (int i = 0; i < 19; ++i) snprintf(cc + 2 * i, 3, "%02x", t->c_cc[i]);
    snprintf(out, size,
             "iflag=0x%08x oflag=0x%08x cflag=0x%08x lflag=0x%08x line=%u cc=%s ispeed=%u "
             "ospeed=%u",
             t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag, t->c_line, cc, t->c_ispeed,
             t->c_ospeed);
}

static uint32_t standard_speed(uint32_t cflag) {
    switch (cflag & 0x100fu) {
        case 0x0du:
            return 9600;
        case 0x0eu:
            return 19200;
        case 0x0fu:
            return 38400;
        case 0x1001u:
            return 57600;
        case 0x1002u:
            return 115200;
        default:
            return 0;
    }
}

static int fail_with(int error) {
    errno = error;
    return -1;
}

static int addrb_mode(const char* mode) {
    const char* value = getenv("SERIAL_DOUBLE_ADDRB");
    return value && strcmp(value, mode) == 0;
}

static int device_get(int fd, struct Termios2* t) {
    if (!emulating) {
        const int r = real_ioctl(fd, REQ_TCGETS2, t);
        if (r == 0) t->c_cflag |= addrb_kept;
        if (r == 0 || errno != ENOSYS) return r;
        /* No termios2 on this kernel interface: start from the legacy record. */
        memset(&emulated, 0, sizeof emulated);
        if (real_ioctl(fd, REQ_TCGETS, &emulated) != 0) return -1;
        emulated.c_ispeed = emulated.c_ospeed = standard_speed(emulated.c_cflag);
        emulating = 1;
    }
    *t = emulated;
    return 0;
}

static int device_set(int fd, unsigned long request, const struct Termios2* asked) {
    struct Termios2 t = *asked;
    if (addrb_mode("clear")) t.c_cflag &= ~ADDRB_BIT;
    addrb_kept = t.c_cflag & ADDRB_BIT;
    if (emulating) {
        emulated = t;
        return 0;
    }
    return real_ioctl(fd, request, &t);
}

/* The n-th byte of SERIAL_DOUBLE_INPUT, or -1 past its end. */
static int input_byte(size_t n) {
    const char* hex = getenv("SERIAL_DOUBLE_INPUT");
    size_t seen = 0;
    for (const char* p = hex; p && *p; ++p) {
        if (*p == ' ') continue;
        if (!p[1]) return -1;
        if (seen++ == n) {
            char pair[3] = {p[0], p[1], 0};
            return (int)strtoul(pair, NULL, 16);
        }
        ++p;
    }
    return -1;
}

/* Counter record `call` (from 1) of SERIAL_DOUBLE_ICOUNT into the 20 ints of
 * struct serial_icounter_struct. */
static void fill_counters(int32_t* c, unsigned call) {
    const char* list = getenv("SERIAL_DOUBLE_ICOUNT");
    const char* record = list;
    for (unsigned i = 1; i < call;) {
        const char* next = strchr(record, ' ');
        if (!next) break;
        record = next + 1;
        ++i;
    }
    memset(c, 0, 20 * sizeof(int32_t));
    static const int FIELDS[] = {4, 6, 8, 7, 9, 10}; /* rx frame parity overrun brk buf_overrun */
    const char* p = record;
    for (int f = 0; f < 6 && p && *p && *p != ' '; ++f) {
        char* end;
        c[FIELDS[f]] = (int32_t)strtoul(p, &end, 10);
        p = *end == ':' ? end + 1 : NULL;
    }
}

static uint32_t round_up(uint32_t ms) {
    const char* step = getenv("SERIAL_DOUBLE_RS485_ROUND");
    const uint32_t n = step ? (uint32_t)strtoul(step, NULL, 10) : 0;
    return n ? (ms + n - 1) / n * n : ms;
}

static int device_ioctl(int fd, unsigned long request, void* arg) {
    char text[400];
    switch (request) {
        case REQ_TCGETS2: {
            if (begin_event(EV_TCGETS2)) {
                log_line("TCGETS2 rc=-1");
                return fail_with(EIO);
            }
            const int r = device_get(fd, (struct Termios2*)arg);
            format_settings(text, sizeof text, (const struct Termios2*)arg);
            log_line("TCGETS2 %s rc=%d", r == 0 ? text : "-", r);
            return r;
        }
        case REQ_TCSETS2:
        case REQ_TCSETSW2:
        case REQ_TCSETSF2: {
            const enum Event ev = request == REQ_TCSETS2    ? EV_TCSETS2
                                  : request == REQ_TCSETSW2 ? EV_TCSETSW2
                                                            : EV_TCSETSF2;
            const struct Termios2* t = (const struct Termios2*)arg;
            format_settings(text, sizeof text, t);
            int r;
            int error = 0;
            if (begin_event(ev)) {
                r = -1;
                error = EIO;
            } else if (getenv("SERIAL_DOUBLE_REFUSE_CDRV") && (t->c_cflag & CDRV_BITS)) {
                r = -1;
                error = EINVAL;
            } else {
                r = device_set(fd, request, t);
                error = errno;
            }
            log_line("%s %s rc=%d", EVENT_NAMES[ev], text, r);
            if (r != 0) errno = error;
            return r;
        }
        case REQ_TIOCSRS485: {
            struct Rs485* rs = (struct Rs485*)arg;
            const uint32_t* words = (const uint32_t*)arg;
            int error = begin_event(EV_TIOCSRS485) ? EIO : 0;
            if (!error && addrb_mode("fail") && (rs->flags & RS485_ADDRESSING)) error = EINVAL;
            log_line(
                "TIOCSRS485 flags=0x%x before=%u after=%u rest=%u,%u,%u,%u,%u addr_recv=%u "
                "addr_dest=%u rc=%d",
                rs->flags, rs->delay_rts_before_send, rs->delay_rts_after_send, words[3], words[4],
                words[5], words[6], words[7], rs->addr_recv, rs->addr_dest, error ? -1 : 0);
            if (error) return fail_with(error);
            rs485_kept = *rs;
            if (addrb_mode("clear")) rs485_kept.flags &= ~RS485_ADDRESSING;
            rs485_kept.delay_rts_before_send = round_up(rs->delay_rts_before_send);
            rs485_kept.delay_rts_after_send = round_up(rs->delay_rts_after_send);
            *rs = rs485_kept; /* what the driver applied goes back to the caller */
            return 0;
        }
        case REQ_TIOCGRS485: {
            if (begin_event(EV_TIOCGRS485)) {
                log_line("TIOCGRS485 rc=-1");
                return fail_with(EIO);
            }
            *(struct Rs485*)arg = rs485_kept;
            log_line("TIOCGRS485 rc=0");
            return 0;
        }
        case REQ_TIOCGICOUNT: {
            const unsigned call = event_calls[EV_TIOCGICOUNT] + 1;
            if (begin_event(EV_TIOCGICOUNT)) {
                log_line("TIOCGICOUNT rc=-1");
                return fail_with(EIO);
            }
            if (!getenv("SERIAL_DOUBLE_ICOUNT")) {
                const int r = real_ioctl(fd, request, arg);
                log_line("TIOCGICOUNT rc=%d", r);
                return r;
            }
            fill_counters((int32_t*)arg, call);
            log_line("TIOCGICOUNT rc=0");
            return 0;
        }
        default: {
            const int r = real_ioctl(fd, request, arg);
            log_line("ioctl request=0x%lx rc=%d", request, r);
            return r;
        }
    }
}

static int interposed_ioctl(int fd, unsigned long request, void* arg) {
    if (fd != device_fd || device_fd < 0) return real_ioctl(fd, request, arg);
    return device_ioctl(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return interposed_ioctl(fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return interposed_ioctl(fd, request, arg);
}

static int interposed_open(const char* name, const char* path, int flags, mode_t mode) {
    int (*fn)(const char*, int, ...) = (int (*)(const char*, int, ...))real(name);
    const char* device = getenv("SERIAL_DOUBLE_DEVICE");
    if (!device || strcmp(path, device) != 0) return fn(path, flags, mode);
    if (begin_event(EV_OPEN)) {
        log_line("open flags=0x%x rc=-1", (unsigned)flags);
        return fail_with(EIO);
    }
    const int fd = fn(path, flags, mode);
    log_line("open flags=0x%x rc=%s", (unsigned)flags, fd >= 0 ? "fd" : "-1");
    if (fd >= 0) device_fd = fd;
    return fd;
}

static mode_t open_mode(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return interposed_open("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode(flags, ap);
    va_end(ap);
    return interposed_open("open64", path, flags, mode);
}

static int interposed_fcntl(const char* name, int fd, int cmd, void* arg) {
    int (*fn)(int, int, ...) = (int (*)(int, int, ...))real(name);
    if (fd != device_fd || device_fd < 0 || (cmd != F_GETFL && cmd != F_SETFL)) {
        return fn(fd, cmd, arg);
    }
    if (cmd == F_GETFL) {
        const int fails = begin_event(EV_FCNTL_GETFL);
        const int r = fails ? fail_with(EIO) : fn(fd, cmd);
        log_line("fcntl_getfl rc=%s", r >= 0 ? "flags" : "-1");
        return r;
    }
    const int flags = (int)(intptr_t)arg;
    const int fails = begin_event(EV_FCNTL_SETFL);
    const int r = fails ? fail_with(EIO) : fn(fd, cmd, flags);
    log_line("fcntl_setfl nonblock=%d rc=%d", (flags & O_NONBLOCK) != 0, r);
    return r;
}

int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return interposed_fcntl("fcntl", fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return interposed_fcntl("fcntl64", fd, cmd, arg);
}

/* 32-bit glibc with a 64-bit time_t sends fcntl here. */
int __fcntl_time64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return interposed_fcntl("__fcntl_time64", fd, cmd, arg);
}

int tcflush(int fd, int queue) {
    int (*fn)(int, int) = (int (*)(int, int))real("tcflush");
    if (fd != device_fd || device_fd < 0) return fn(fd, queue);
    const int r = begin_event(EV_TCFLUSH) ? fail_with(EIO) : fn(fd, queue);
    log_line("tcflush queue=%d rc=%d", queue, r);
    return r;
}

ssize_t write(int fd, const void* buf, size_t count) {
    if (fd != device_fd || device_fd < 0) return real_write(fd, buf, count);
    char hex[2 * 64 + 1] = "";
    const unsigned char* bytes = (const unsigned char*)buf;
    for (size_t i = 0; i < count && i < 64; ++i) snprintf(hex + 2 * i, 3, "%02x", bytes[i]);

    const unsigned call = ++write_calls;
    const char* mode = getenv("SERIAL_DOUBLE_WRITES");
    ssize_t r;
    int error = 0;
    if (begin_event(EV_WRITE)) {
        r = -1;
        error = EIO;
    } else if (mode && strcmp(mode, "eintr") == 0 && call % 2 == 1) {
        r = -1;
        error = EINTR;
    } else if (mode && strcmp(mode, "shortfail") == 0 && last_write_short) {
        r = -1;
        error = EIO;
        last_write_short = 0;
    } else if (mode && strcmp(mode, "shortfail") == 0 && count > 1) {
        r = real_write(fd, buf, 1);
        last_write_short = 1;
    } else if (mode && strcmp(mode, "short") == 0 && count > 2) {
        r = real_write(fd, buf, 2);
    } else {
        r = real_write(fd, buf, count);
        error = errno;
    }
    log_line("write count=%zu bytes=%s rc=%zd", count, hex, r);
    if (r < 0) errno = error;
    return r;
}

static ssize_t interposed_read(int fd, void* buf, size_t count) {
    ssize_t (*fn)(int, void*, size_t) = (ssize_t(*)(int, void*, size_t))real("read");
    if (fd != device_fd || device_fd < 0 || !getenv("SERIAL_DOUBLE_INPUT")) {
        return fn(fd, buf, count);
    }
    if (begin_event(EV_READ)) {
        log_line("read rc=-1");
        return fail_with(EIO);
    }
    const char* chunk = getenv("SERIAL_DOUBLE_READ_CHUNK");
    const size_t limit = chunk ? (size_t)strtoul(chunk, NULL, 10) : 4096;
    unsigned char* bytes = (unsigned char*)buf;
    size_t n = 0;
    for (int b; n < count && n < limit && (b = input_byte(input_used)) >= 0; ++n, ++input_used) {
        bytes[n] = (unsigned char)b;
    }
    if (n == 0) {
        /* Nothing arrives: VMIN 0 with VTIME, as a UART would answer. */
        struct Termios2 t;
        const long tenths = device_get(fd, &t) == 0 ? t.c_cc[VTIME_INDEX] : 1;
        const struct timespec wait = {tenths / 10, tenths % 10 * 100000000L};
        int (*sleep_fn)(const struct timespec*, struct timespec*) =
            (int (*)(const struct timespec*, struct timespec*))real("nanosleep");
        if (sleep_fn(&wait, NULL) != 0) return -1; /* EINTR: a signal ends the wait */
        return 0;
    }
    char hex[2 * 64 + 1] = "";
    for (size_t i = 0; i < n && i < 64; ++i) snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    log_line("read count=%zu bytes=%s rc=%zd", count, hex, (ssize_t)n);
    return (ssize_t)n;
}

ssize_t read(int fd, void* buf, size_t count) { return interposed_read(fd, buf, count); }

ssize_t __read_chk(int fd, void* buf, size_t count, size_t size) {
    (void)size;
    return interposed_read(fd, buf, count);
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
    int (*fn)(const struct timespec*, struct timespec*) =
        (int (*)(const struct timespec*, struct timespec*))real("nanosleep");
    const int fails = begin_event(EV_NANOSLEEP);
    log_line("nanosleep sec=%lld nsec=%ld", (long long)request->tv_sec, (long)request->tv_nsec);
    return fails ? fail_with(EIO) : fn(request, remaining);
}

int __nanosleep64(const struct Timespec64* request, struct Timespec64* remaining) {
    int (*fn)(const struct Timespec64*, struct Timespec64*) =
        (int (*)(const struct Timespec64*, struct Timespec64*))real("__nanosleep64");
    const int fails = begin_event(EV_NANOSLEEP);
    log_line("nanosleep sec=%lld nsec=%ld", (long long)request->tv_sec, (long)request->tv_nsec);
    return fails ? fail_with(EIO) : fn(request, remaining);
}
