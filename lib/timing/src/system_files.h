// Reading procfs and sysfs without ever blocking: files are opened
// non-blocking and only regular files are read. Every path is taken below
// the system root, which is "/" except in tests that lay out a fake tree.
// What cannot be read gives an empty text, -1 or false, never an error.
#ifndef LIB_TIMING_SYSTEM_FILES_H
#define LIB_TIMING_SYSTEM_FILES_H

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace timing_internal {

constexpr size_t PATH_BYTES = PATH_MAX;
constexpr size_t LINE_BYTES = 4096;
constexpr size_t MAX_FILE_BYTES = 4 << 20;  // /proc/cpuinfo of a very large machine
constexpr int MAX_NUMBERED = 65535;         // highest cpuN, policyN, thermal_zoneN looked at
constexpr long MAX_CPU = 8191;              // as the placement's largest mask

struct Path {
    char text[PATH_BYTES];
    bool ok;  // false when the path did not fit
};

// The path format gives below the system root.
__attribute__((format(printf, 1, 2))) Path path_of(const char* format, ...);
// The path format gives below base, a directory named as it is (no root).
__attribute__((format(printf, 2, 3))) Path path_below(const char* base, const char* format, ...);
// The system root as set for tests ("" for the real system).
const char* system_root_text();

bool is_directory(const Path& path);
// A descriptor of the regular file at path, opened so that no read waits; -1.
int open_regular(const Path& path);

bool is_blank(char c);
// text without its leading and trailing blanks (changes text).
char* trim(char* text);

// Calls take(line, cut) for each line of the file, without its line end; a
// line longer than LINE_BYTES - 1 comes cut short with cut set. take returns
// false to stop. False when the file cannot be opened.
template <typename Take>
bool for_each_line(const Path& path, Take take) {
    const int fd = open_regular(path);
    if (fd < 0) return false;
    char chunk[1024];
    char line[LINE_BYTES];
    size_t used = 0;
    size_t total = 0;
    bool cut = false;
    bool going = true;
    while (going && total < MAX_FILE_BYTES) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<size_t>(n);
        for (ssize_t i = 0; going && i < n; ++i) {
            if (chunk[i] == '\n') {
                line[used] = '\0';
                going = take(line, cut);
                used = 0;
                cut = false;
            } else if (used + 1 < sizeof line) {
                line[used++] = chunk[i];
            } else {
                cut = true;
            }
        }
    }
    if (going && used > 0) {
        line[used] = '\0';
        take(line, cut);
    }
    close(fd);
    return true;
}

// The file's first line without surrounding blanks into out; false when the
// file cannot be read, the line is empty or does not fit.
bool read_value(const Path& path, char* out, size_t size);
// Up to size - 1 bytes of the file as they are, NUL-terminated; the byte
// count, or -1 when the file cannot be read.
long read_bytes(const Path& path, char* out, size_t size);
// A decimal integer file (blanks around allowed); -1 when there is none.
long long read_count(const Path& path);
// A signed decimal integer file, such as a temperature in millidegrees.
bool read_signed(const Path& path, long long* value);
// The first line of /proc/stat: the time all CPUs were busy (user, nice,
// system, irq, softirq, steal; guest time is inside user) and in all, in
// clock ticks; false when it cannot be read.
bool read_cpu_ticks(uint64_t* busy, uint64_t* total);
// The highest N of the directory's entries named prefix followed by decimal
// digits only; -1 when there is none.
int highest_numbered(const Path& directory, const char* prefix);

// Calls take(cpu) for each CPU of a list such as "0-3,6" or "0 1 2 3"; false
// when the text is not such a list (take may have been called by then).
template <typename Take>
bool each_listed_cpu(const char* text, Take take) {
    const char* p = text;
    bool any = false;
    while (*p != '\0') {
        if (*p == ',' || is_blank(*p)) {
            ++p;
            continue;
        }
        if (*p < '0' || *p > '9') return false;
        char* end = nullptr;
        const long first = strtol(p, &end, 10);
        long last = first;
        if (*end == '-') {
            p = end + 1;
            if (*p < '0' || *p > '9') return false;
            last = strtol(p, &end, 10);
        }
        if (last < first || last > MAX_CPU) return false;
        for (long cpu = first; cpu <= last; ++cpu) take(static_cast<int>(cpu));
        any = true;
        p = end;
    }
    return any;
}

}  // namespace timing_internal

#endif
