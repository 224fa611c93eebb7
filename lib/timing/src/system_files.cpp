// Non-blocking reads of procfs and sysfs below the system root.
#include "system_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

char system_root[timing_internal::PATH_BYTES] = "";

timing_internal::Path vpath(const char* base, const char* format, va_list args) {
    timing_internal::Path path;
    const int head = snprintf(path.text, sizeof path.text, "%s", base);
    const size_t used = head < 0 ? sizeof path.text : static_cast<size_t>(head);
    int rest = -1;
    if (used < sizeof path.text) {
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started by the caller
        rest = vsnprintf(path.text + used, sizeof path.text - used, format, args);
    }
    path.ok = rest >= 0 && static_cast<size_t>(rest) < sizeof path.text - used;
    return path;
}

}  // namespace

namespace timing_internal {

void forget_machine_facts();

void set_system_root(const char* root) {
    if (root == nullptr || strlen(root) >= sizeof system_root) return;
    snprintf(system_root, sizeof system_root, "%s", root);
    forget_machine_facts();
}

const char* system_root_text() { return system_root; }

Path path_of(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const Path path = vpath(system_root, format, args);
    va_end(args);
    return path;
}

Path path_below(const char* base, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const Path path = vpath(base, format, args);
    va_end(args);
    return path;
}

bool is_directory(const Path& path) {
    struct stat st;
    return path.ok && stat(path.text, &st) == 0 && S_ISDIR(st.st_mode);
}

int open_regular(const Path& path) {
    if (!path.ok) return -1;
    const int fd = open(path.text, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char* trim(char* text) {
    while (is_blank(*text)) ++text;
    size_t n = strlen(text);
    while (n > 0 && is_blank(text[n - 1])) text[--n] = '\0';
    return text;
}

bool read_value(const Path& path, char* out, size_t size) {
    out[0] = '\0';
    bool fits = false;
    const bool read = for_each_line(path, [&](char* line, bool cut) {
        const char* value = trim(line);
        const size_t n = strlen(value);
        fits = !cut && n > 0 && n < size;
        if (fits) memcpy(out, value, n + 1);
        return false;
    });
    return read && fits;
}

long read_bytes(const Path& path, char* out, size_t size) {
    out[0] = '\0';
    const int fd = open_regular(path);
    if (fd < 0) return -1;
    size_t used = 0;
    while (used + 1 < size) {
        const ssize_t n = read(fd, out + used, size - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    out[used] = '\0';
    close(fd);
    return static_cast<long>(used);
}

long long read_count(const Path& path) {
    char text[64];
    if (!read_value(path, text, sizeof text)) return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0 ? value : -1;
}

bool read_signed(const Path& path, long long* value) {
    char text[64];
    if (!read_value(path, text, sizeof text)) return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

bool read_cpu_ticks(uint64_t* busy, uint64_t* total) {
    bool found = false;
    for_each_line(path_of("/proc/stat"), [&](char* line, bool) {
        unsigned long long v[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        found = sscanf(line, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                       &v[3], &v[4], &v[5], &v[6], &v[7]) >= 4;
        *busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7];
        *total = *busy + v[3] + v[4];
        return false;
    });
    return found;
}

int highest_numbered(const Path& directory, const char* prefix) {
    if (!directory.ok) return -1;
    DIR* dir = opendir(directory.text);
    if (dir == nullptr) return -1;
    const size_t skip = strlen(prefix);
    int highest = -1;
    while (const struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (strncmp(name, prefix, skip) != 0 || name[skip] < '0' || name[skip] > '9') continue;
        char* end = nullptr;
        const long n = strtol(name + skip, &end, 10);
        if (*end == '\0' && n <= MAX_NUMBERED && n > highest) highest = static_cast<int>(n);
    }
    closedir(dir);
    return highest;
}

}  // namespace timing_internal
