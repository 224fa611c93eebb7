// The run context: where and how this process measures, for the context line
// that heads the JSON reports and the summary report_context prints in text.
//
// It comes from uname, the process's affinity, the environment, the
// calibration record, the current sample set and the files of procfs and
// sysfs. The machine's facts are read once per process and kept; the load
// average and the temperatures are read again for every context line. Files
// are opened non-blocking and only regular files are read, so that no read
// can stall; what cannot be read is null, never an error. Nothing here
// calibrates.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "internal.h"
#include "lib_timing.h"

namespace {

using timing_internal::write_json_number;
using timing_internal::write_json_string;

constexpr int SCHEMA_VERSION = 1;
constexpr size_t PATH_BYTES = PATH_MAX;
constexpr size_t LINE_BYTES = 4096;
constexpr size_t MAX_FILE_BYTES = 4 << 20;  // /proc/cpuinfo of a very large machine
constexpr int MAX_NUMBERED = 65535;         // highest cpuN, policyN, thermal_zoneN looked at
constexpr long MAX_CPU = 8191;              // as the placement's largest mask
constexpr int MAX_CACHE_INDEX = 32;
constexpr int MAX_CPU_KINDS = 8;
constexpr int MAX_GOVERNORS = 4;
constexpr int MAX_WARNINGS = 8;
constexpr int32_t FEW_SAMPLES = 5;

#define CONTEXT_TEXT_OF(x) #x
#define CONTEXT_TEXT(x) CONTEXT_TEXT_OF(x)
#if defined(__clang__)
constexpr const char* COMPILER = "Clang " CONTEXT_TEXT(__clang_major__) "." CONTEXT_TEXT(
    __clang_minor__) "." CONTEXT_TEXT(__clang_patchlevel__);
#elif defined(__GNUC__)
constexpr const char* COMPILER = "GCC " CONTEXT_TEXT(__GNUC__) "." CONTEXT_TEXT(
    __GNUC_MINOR__) "." CONTEXT_TEXT(__GNUC_PATCHLEVEL__);
#else
constexpr const char* COMPILER = nullptr;
#endif
#undef CONTEXT_TEXT
#undef CONTEXT_TEXT_OF

// ---- files below the root ----

char system_root[PATH_BYTES] = "";

struct Path {
    char text[PATH_BYTES];
    bool ok;  // false when root and path did not fit
};

__attribute__((format(printf, 1, 2))) Path path_of(const char* format, ...) {
    Path path;
    const int root = snprintf(path.text, sizeof path.text, "%s", system_root);
    va_list args;
    va_start(args, format);
    const size_t used = root < 0 ? sizeof path.text : static_cast<size_t>(root);
    int rest = -1;
    if (used < sizeof path.text) {
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
        rest = vsnprintf(path.text + used, sizeof path.text - used, format, args);
    }
    va_end(args);
    path.ok = rest >= 0 && static_cast<size_t>(rest) < sizeof path.text - used;
    return path;
}

bool is_directory(const Path& path) {
    struct stat st;
    return path.ok && stat(path.text, &st) == 0 && S_ISDIR(st.st_mode);
}

// A descriptor of the regular file at path, opened so that no read waits.
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

// Calls take(line, cut) for each line of the file, without its line end;
// a line longer than LINE_BYTES - 1 comes cut short with cut set. take
// returns false to stop. False when the file cannot be opened.
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

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// text without its leading and trailing blanks (changes text).
char* trim(char* text) {
    while (is_blank(*text)) ++text;
    size_t n = strlen(text);
    while (n > 0 && is_blank(text[n - 1])) text[--n] = '\0';
    return text;
}

// The file's first line without surrounding blanks into out; false when the
// file cannot be read, the line is empty or does not fit.
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

// A decimal integer file (blanks around allowed); -1 when there is none.
long long read_count(const Path& path) {
    char text[64];
    if (!read_value(path, text, sizeof text)) return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= 0 ? value : -1;
}

// A signed decimal integer file, such as a temperature in millidegrees.
bool read_signed(const Path& path, long long* value) {
    char text[64];
    if (!read_value(path, text, sizeof text)) return false;
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

// The highest N of the directory's entries named prefix followed by decimal
// digits only; -1 when there is none.
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

// ---- writing ----

void key(FILE* stream, const char* name) {
    fputc(',', stream);
    write_json_string(stream, name);
    fputc(':', stream);
}

// An empty text stands for a value that could not be read.
void write_text_or_null(FILE* stream, const char* text) {
    write_json_string(stream, text != nullptr && text[0] != '\0' ? text : nullptr);
}

void write_count_or_null(FILE* stream, long long value) {
    if (value < 0) {
        fputs("null", stream);
    } else {
        fprintf(stream, "%lld", value);
    }
}

// ,"name": and the value, null when empty (a text) or negative (a count).
void text_member(FILE* stream, const char* name, const char* text) {
    key(stream, name);
    write_text_or_null(stream, text);
}

void count_member(FILE* stream, const char* name, long long value) {
    key(stream, name);
    write_count_or_null(stream, value);
}

// A CPU list as a JSON array, or null when it is not one.
void write_cpu_array(FILE* stream, const char* text) {
    if (!each_listed_cpu(text, [](int) {})) {
        fputs("null", stream);
        return;
    }
    const char* separator = "[";
    each_listed_cpu(text, [&](int cpu) {
        fprintf(stream, "%s%d", separator, cpu);
        separator = ",";
    });
    fputc(']', stream);
}

// What render(stream) writes, in new malloc'ed memory; null when it reports
// that it wrote nothing, or when memory ran out.
template <typename Render>
char* rendered(Render render) {
    char* text = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&text, &length);
    if (memory == nullptr) return nullptr;
    const bool wrote = render(memory);
    if (fclose(memory) != 0 || !wrote) {
        free(text);
        return nullptr;
    }
    return text;
}

// ---- the CPU model ----

struct KnownCore {
    unsigned long implementer;
    unsigned long part;
    const char* name;
};

// "CPU implementer" and "CPU part" codes of /proc/cpuinfo on ARM.
constexpr KnownCore KNOWN_CORES[] = {
    {0x41, 0xb02, "ARM11 MPCore"},    {0x41, 0xb36, "ARM1136"},
    {0x41, 0xb56, "ARM1156"},         {0x41, 0xb76, "ARM1176"},
    {0x41, 0xc05, "Cortex-A5"},       {0x41, 0xc07, "Cortex-A7"},
    {0x41, 0xc08, "Cortex-A8"},       {0x41, 0xc09, "Cortex-A9"},
    {0x41, 0xc0d, "Cortex-A12"},      {0x41, 0xc0e, "Cortex-A17"},
    {0x41, 0xc0f, "Cortex-A15"},      {0x41, 0xd01, "Cortex-A32"},
    {0x41, 0xd03, "Cortex-A53"},      {0x41, 0xd04, "Cortex-A35"},
    {0x41, 0xd05, "Cortex-A55"},      {0x41, 0xd06, "Cortex-A65"},
    {0x41, 0xd07, "Cortex-A57"},      {0x41, 0xd08, "Cortex-A72"},
    {0x41, 0xd09, "Cortex-A73"},      {0x41, 0xd0a, "Cortex-A75"},
    {0x41, 0xd0b, "Cortex-A76"},      {0x41, 0xd0c, "Neoverse N1"},
    {0x41, 0xd0d, "Cortex-A77"},      {0x41, 0xd0e, "Cortex-A76AE"},
    {0x41, 0xd40, "Neoverse V1"},     {0x41, 0xd41, "Cortex-A78"},
    {0x41, 0xd42, "Cortex-A78AE"},    {0x41, 0xd44, "Cortex-X1"},
    {0x41, 0xd46, "Cortex-A510"},     {0x41, 0xd47, "Cortex-A710"},
    {0x41, 0xd48, "Cortex-X2"},       {0x41, 0xd49, "Neoverse N2"},
    {0x41, 0xd4a, "Neoverse E1"},     {0x41, 0xd4b, "Cortex-A78C"},
    {0x41, 0xd4d, "Cortex-A715"},     {0x41, 0xd4e, "Cortex-X3"},
    {0x41, 0xd4f, "Neoverse V2"},     {0x41, 0xd80, "Cortex-A520"},
    {0x41, 0xd81, "Cortex-A720"},     {0x41, 0xd82, "Cortex-X4"},
    {0x46, 0x001, "A64FX"},           {0x48, 0xd01, "TaiShan v110"},
    {0x51, 0x800, "Kryo 2xx Gold"},   {0x51, 0x801, "Kryo 2xx Silver"},
    {0x51, 0x803, "Kryo 3xx Silver"}, {0x51, 0x804, "Kryo 4xx Gold"},
    {0x51, 0x805, "Kryo 4xx Silver"}, {0x51, 0xc00, "Falkor"},
};

struct CpuKind {
    unsigned long implementer;
    unsigned long part;
    int count;
};

// What /proc/cpuinfo says about the CPU model: the first "model name", and
// the ARM cores by implementer and part, in order of first appearance.
struct CpuinfoScan {
    char model_name[256];
    CpuKind kinds[MAX_CPU_KINDS];
    int kind_count;
    int processors;  // "processor" lines
    bool has_implementer;
    bool has_part;
    unsigned long implementer;
    unsigned long part;

    // Ends one processor's block: its core counts once.
    void end_block() {
        if (has_implementer && has_part) {
            int k = 0;
            while (k < kind_count &&
                   (kinds[k].implementer != implementer || kinds[k].part != part)) {
                ++k;
            }
            if (k == kind_count && kind_count < MAX_CPU_KINDS)
                kinds[kind_count++] = {implementer, part, 0};
            if (k < kind_count) ++kinds[k].count;
        }
        has_implementer = false;
        has_part = false;
    }

    void take(char* line) {
        char* colon = strchr(line, ':');
        if (colon == nullptr) return;
        *colon = '\0';
        const char* name = trim(line);
        const char* value = trim(colon + 1);
        if (strcmp(name, "processor") == 0) {
            end_block();
            ++processors;
        } else if (strcmp(name, "model name") == 0 && model_name[0] == '\0') {
            snprintf(model_name, sizeof model_name, "%s", value);
        } else if (strcmp(name, "CPU implementer") == 0) {
            implementer = strtoul(value, nullptr, 0);
            has_implementer = true;
        } else if (strcmp(name, "CPU part") == 0) {
            part = strtoul(value, nullptr, 0);
            has_part = true;
        }
    }
};

// "4x Cortex-A53 + 2x Cortex-A72", unknown cores as "0x41:0xd4c"; x86's
// model name; empty when /proc/cpuinfo names neither.
void read_cpu_model(char* out, size_t size) {
    out[0] = '\0';
    CpuinfoScan scan{};
    if (!for_each_line(path_of("/proc/cpuinfo"), [&scan](char* line, bool) {
            scan.take(line);
            return true;
        })) {
        return;
    }
    scan.end_block();
    if (scan.kind_count == 0) {
        snprintf(out, size, "%s", scan.model_name);
        return;
    }
    // Older 32-bit kernels list the processors first and the codes once.
    if (scan.kind_count == 1 && scan.processors > scan.kinds[0].count) {
        scan.kinds[0].count = scan.processors;
    }
    size_t used = 0;
    for (int k = 0; k < scan.kind_count && used < size; ++k) {
        const CpuKind& kind = scan.kinds[k];
        const KnownCore* const end = KNOWN_CORES + sizeof KNOWN_CORES / sizeof KNOWN_CORES[0];
        const KnownCore* known = std::find_if(KNOWN_CORES, end, [&kind](const KnownCore& core) {
            return core.implementer == kind.implementer && core.part == kind.part;
        });
        const char* name = known != end ? known->name : nullptr;
        const int n = name != nullptr
                          ? snprintf(out + used, size - used, "%s%dx %s", k > 0 ? " + " : "",
                                     kind.count, name)
                          : snprintf(out + used, size - used, "%s%dx 0x%02lx:0x%03lx",
                                     k > 0 ? " + " : "", kind.count, kind.implementer, kind.part);
        if (n < 0) break;
        used += static_cast<size_t>(n);
    }
}

// ---- caches and frequency policies ----

struct CacheEntry {
    long long level;  // -1: unreadable
    char type[32];    // "": unreadable
    long long size_bytes;
    char shared[LINE_BYTES];
};

// "32K", "1024K", "8M" as sysfs writes cache sizes: bytes, or -1.
long long cache_bytes(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long long n = strtoll(text, &end, 10);
    if (errno != 0 || end == text || n < 0) return -1;
    int shift = 0;
    if (*end == 'K') shift = 10;
    if (*end == 'M') shift = 20;
    if (*end == 'G') shift = 30;
    if (shift != 0) ++end;
    if (*end != '\0' || n > (LLONG_MAX >> shift)) return -1;
    return n << shift;
}

bool same_cache(const CacheEntry& a, const CacheEntry& b) {
    return a.level == b.level && strcmp(a.type, b.type) == 0 && strcmp(a.shared, b.shared) == 0;
}

// The caches of every CPU, each distinct (level, type, shared_cpu_list) once.
bool write_caches(FILE* stream) {
    const int last_cpu = highest_numbered(path_of("/sys/devices/system/cpu"), "cpu");
    CacheEntry* seen = nullptr;
    size_t count = 0;
    size_t room = 0;
    CacheEntry entry;
    bool out_of_memory = false;
    for (int cpu = 0; cpu <= last_cpu && !out_of_memory; ++cpu) {
        for (int index = 0; index < MAX_CACHE_INDEX; ++index) {
            const char* base = "/sys/devices/system/cpu/cpu%d/cache/index%d/%s";
            if (!is_directory(path_of("/sys/devices/system/cpu/cpu%d/cache/index%d", cpu, index))) {
                break;
            }
            entry.level = read_count(path_of(base, cpu, index, "level"));
            if (!read_value(path_of(base, cpu, index, "type"), entry.type, sizeof entry.type)) {
                entry.type[0] = '\0';
            }
            char size[64];
            entry.size_bytes = read_value(path_of(base, cpu, index, "size"), size, sizeof size)
                                   ? cache_bytes(size)
                                   : -1;
            if (!read_value(path_of(base, cpu, index, "shared_cpu_list"), entry.shared,
                            sizeof entry.shared)) {
                entry.shared[0] = '\0';
            }
            bool known = false;
            for (size_t i = 0; i < count && !known; ++i) known = same_cache(seen[i], entry);
            if (known) continue;
            if (count == room) {
                const size_t more = room == 0 ? 16 : 2 * room;
                void* grown = realloc(seen, more * sizeof *seen);
                if (grown == nullptr) {
                    out_of_memory = true;
                    break;
                }
                seen = static_cast<CacheEntry*>(grown);
                room = more;
            }
            seen[count++] = entry;
            fprintf(stream, "%s{\"level\":", count == 1 ? "[" : ",");
            write_count_or_null(stream, entry.level);
            text_member(stream, "type", entry.type);
            count_member(stream, "size_bytes", entry.size_bytes);
            text_member(stream, "shared_cpu_list", entry.shared);
            fputc('}', stream);
        }
    }
    free(seen);
    if (count > 0) fputc(']', stream);
    return count > 0 && !out_of_memory;
}

// ---- the machine's facts, read once ----

struct MachineFacts {
    bool filled;
    char host[sizeof(utsname::nodename)];
    char kernel[sizeof(utsname::release)];
    char machine[sizeof(utsname::machine)];
    char executable[PATH_BYTES];
    char cpu_model[512];
    long long cpus_online;  // -1: unknown
    char* caches_json;      // rendered arrays; null: none could be read
    char* cpufreq_json;
    char governors[MAX_GOVERNORS][32];  // the distinct governors, in policy order
    int governor_count;
    long long top_khz;  // the highest max_khz of a policy; -1: none
};

MachineFacts facts;

void note_policy(const char* governor, long long max_khz) {
    if (max_khz > facts.top_khz) facts.top_khz = max_khz;
    if (governor[0] == '\0') return;
    for (int i = 0; i < facts.governor_count; ++i) {
        if (strcmp(facts.governors[i], governor) == 0) return;
    }
    if (facts.governor_count < MAX_GOVERNORS) {
        snprintf(facts.governors[facts.governor_count++], sizeof facts.governors[0], "%s",
                 governor);
    }
}

// Each frequency policy: its CPUs, governor and current, lowest and highest
// frequency in kHz.
bool write_cpufreq(FILE* stream) {
    const int last = highest_numbered(path_of("/sys/devices/system/cpu/cpufreq"), "policy");
    int written = 0;
    for (int n = 0; n <= last; ++n) {
        const char* base = "/sys/devices/system/cpu/cpufreq/policy%d/%s";
        if (!is_directory(path_of("/sys/devices/system/cpu/cpufreq/policy%d", n))) continue;
        char cpus[LINE_BYTES];
        const bool has_cpus = read_value(path_of(base, n, "related_cpus"), cpus, sizeof cpus) ||
                              read_value(path_of(base, n, "affected_cpus"), cpus, sizeof cpus);
        char governor[32];
        if (!read_value(path_of(base, n, "scaling_governor"), governor, sizeof governor)) {
            governor[0] = '\0';
        }
        const long long max_khz = read_count(path_of(base, n, "scaling_max_freq"));
        fputs(written++ == 0 ? "[{\"cpus\":" : ",{\"cpus\":", stream);
        if (has_cpus) {
            write_cpu_array(stream, cpus);
        } else {
            fputs("null", stream);
        }
        text_member(stream, "governor", governor);
        count_member(stream, "cur_khz", read_count(path_of(base, n, "scaling_cur_freq")));
        count_member(stream, "min_khz", read_count(path_of(base, n, "scaling_min_freq")));
        count_member(stream, "max_khz", max_khz);
        fputc('}', stream);
        note_policy(governor, max_khz);
    }
    if (written > 0) fputc(']', stream);
    return written > 0;
}

long long count_online_cpus() {
    char list[LINE_BYTES];
    if (!read_value(path_of("/sys/devices/system/cpu/online"), list, sizeof list)) return -1;
    long long count = 0;
    return each_listed_cpu(list, [&count](int) { ++count; }) ? count : -1;
}

void forget_facts() {
    free(facts.caches_json);
    free(facts.cpufreq_json);
    memset(&facts, 0, sizeof facts);
}

const MachineFacts& machine_facts() {
    if (facts.filled) return facts;
    forget_facts();
    facts.filled = true;
    struct utsname names;
    if (uname(&names) == 0) {
        snprintf(facts.host, sizeof facts.host, "%s", names.nodename);
        snprintf(facts.kernel, sizeof facts.kernel, "%s", names.release);
        snprintf(facts.machine, sizeof facts.machine, "%s", names.machine);
    }
    const Path exe = path_of("/proc/self/exe");
    const ssize_t n =
        exe.ok ? readlink(exe.text, facts.executable, sizeof facts.executable - 1) : -1;
    facts.executable[n > 0 ? n : 0] = '\0';
    read_cpu_model(facts.cpu_model, sizeof facts.cpu_model);
    facts.cpus_online = count_online_cpus();
    facts.top_khz = -1;
    facts.caches_json = rendered(write_caches);
    facts.cpufreq_json = rendered(write_cpufreq);
    return facts;
}

// ---- what is read at every context line ----

bool read_load_average(double load[3]) {
    char text[256];
    return read_value(path_of("/proc/loadavg"), text, sizeof text) &&
           sscanf(text, "%lf %lf %lf", &load[0], &load[1], &load[2]) == 3;
}

// Calls take(type, celsius) for each thermal zone in order, with an empty
// type or a NaN temperature for what cannot be read. Returns the zone count.
template <typename Take>
int each_thermal_zone(Take take) {
    const int last = highest_numbered(path_of("/sys/class/thermal"), "thermal_zone");
    int zones = 0;
    for (int n = 0; n <= last; ++n) {
        if (!is_directory(path_of("/sys/class/thermal/thermal_zone%d", n))) continue;
        char type[64];
        if (!read_value(path_of("/sys/class/thermal/thermal_zone%d/type", n), type, sizeof type)) {
            type[0] = '\0';
        }
        long long millidegrees = 0;
        const bool known =
            read_signed(path_of("/sys/class/thermal/thermal_zone%d/temp", n), &millidegrees);
        take(type, known ? static_cast<double>(millidegrees) / 1000.0 : NAN);
        ++zones;
    }
    return zones;
}

// Calls take(cpu) for each CPU the process may run on; false when the
// affinity cannot be read.
template <typename Take>
bool each_allowed_cpu(Take take) {
    unsigned long* mask = nullptr;
    size_t bytes = 0;
    if (timing_internal::read_allowed_mask(
            timing_internal::placement_mask_bytes(online_cpu_count()), &mask, &bytes) != 0) {
        return false;
    }
    constexpr size_t WORD_BITS = 8 * sizeof(unsigned long);
    for (size_t bit = 0; bit < 8 * bytes; ++bit) {
        if ((mask[bit / WORD_BITS] >> (bit % WORD_BITS)) & 1UL) take(static_cast<int>(bit));
    }
    free(mask);
    return true;
}

const char* source_name(CalibrationSource source) {
    switch (source) {
        case CALIBRATION_SOURCE_ENVIRONMENT:
            return "environment";
        case CALIBRATION_SOURCE_CANDIDATE:
            return "candidate";
        case CALIBRATION_SOURCE_FALLBACK:
            return "fallback";
        case CALIBRATION_SOURCE_MEASURED:
            return "measured";
        case CALIBRATION_SOURCE_SKIPPED:
            return "skipped";
        case CALIBRATION_SOURCE_NONE:
            break;
    }
    return nullptr;
}

struct Warnings {
    char text[MAX_WARNINGS][160];
    int count;

    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        if (count == MAX_WARNINGS) return;
        va_list args;
        va_start(args, format);
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above
        vsnprintf(text[count++], sizeof text[0], format, args);
        va_end(args);
    }
};

// The conditions under which a measurement deserves less trust.
Warnings warnings_now(const MachineFacts& machine, const double* load) {
    Warnings w{};
    for (int i = 0; i < machine.governor_count; ++i) {
        if (strcmp(machine.governors[i], "performance") != 0) {
            w.add("CPU frequency governor is %s, not performance", machine.governors[i]);
        }
    }
    if (load != nullptr && machine.cpus_online > 0 &&
        load[0] > static_cast<double>(machine.cpus_online) / 2) {
        w.add("load average %.2f is above half the %lld online CPUs", load[0], machine.cpus_online);
    }
    timing_internal::SettledCalibration calibration;
    if (timing_internal::settled_calibration(&calibration) &&
        calibration.enough_source == CALIBRATION_SOURCE_FALLBACK) {
        w.add("enough interval is the one-second fallback: no candidate passed the linearity test");
    }
    SampleSummary summary;
    if (sample_set_summarize(current_sample_set(), &summary) == 0 && summary.count < FEW_SAMPLES) {
        w.add("current sample set has %d sample%s: its spread means little",
              static_cast<int>(summary.count), summary.count == 1 ? "" : "s");
    }
    if (timing_internal::workers_have_run() &&
        !timing_internal::placement_policy_pins(getenv("QUENTAR_SCHED"))) {
        w.add("workers ran unpinned: no QUENTAR_SCHED policy applied");
    }
    return w;
}

// The current time as "2026-12-09T01:38:48Z"; false when it cannot be had.
bool utc_now(char* out, size_t size) {
    const time_t now = time(nullptr);
    struct tm parts;
    return now != static_cast<time_t>(-1) && gmtime_r(&now, &parts) != nullptr &&
           strftime(out, size, "%Y-%m-%dT%H:%M:%SZ", &parts) > 0;
}

void write_calibration_json(FILE* stream) {
    timing_internal::SettledCalibration c;
    if (!timing_internal::settled_calibration(&c)) {
        fputs("null", stream);
        return;
    }
    fprintf(stream, "{\"enough_us\":%d", static_cast<int>(c.enough_us));
    text_member(stream, "enough_source", source_name(c.enough_source));
    fprintf(stream, ",\"timer_overhead_us\":%llu",
            static_cast<unsigned long long>(c.timer_overhead));
    text_member(stream, "timer_overhead_source", source_name(c.timer_source));
    key(stream, "iteration_overhead_us");
    write_json_number(stream, c.iteration_overhead, true);
    text_member(stream, "iteration_overhead_source", source_name(c.loop_source));
    fputc('}', stream);
}

void write_fragment_or_null(FILE* stream, const char* fragment) {
    fputs(fragment != nullptr ? fragment : "null", stream);
}

// ---- the human summary ----

const char* or_unknown(const char* text) {
    return text != nullptr && text[0] != '\0' ? text : "unknown";
}

// Consecutive CPUs as ranges: "0-3,6".
struct CpuRanges {
    FILE* stream;
    int first = -2;
    int last = -2;
    bool printed = false;

    void flush() {
        if (first < 0) return;
        fprintf(stream, last > first ? "%s%d-%d" : "%s%d", printed ? "," : "", first, last);
        printed = true;
    }
    void take(int cpu) {
        if (cpu != last + 1) {
            flush();
            first = cpu;
        }
        last = cpu;
    }
};

}  // namespace

namespace timing_internal {

void set_system_root(const char* root) {
    if (root == nullptr || strlen(root) >= sizeof system_root) return;
    snprintf(system_root, sizeof system_root, "%s", root);
    forget_facts();
}

void write_context_json(FILE* stream) {
    const MachineFacts& machine = machine_facts();
    fprintf(stream, "{\"report\":\"context\",\"schema\":%d", SCHEMA_VERSION);
    text_member(stream, "library_version", LIB_TIMING_VERSION);
    char date[32];
    text_member(stream, "date", utc_now(date, sizeof date) ? date : nullptr);
    text_member(stream, "host", machine.host);
    text_member(stream, "executable", machine.executable);
    text_member(stream, "kernel", machine.kernel);
    text_member(stream, "machine", machine.machine);
    text_member(stream, "cpu_model", machine.cpu_model);
    count_member(stream, "cpus_online", machine.cpus_online);

    key(stream, "cpus_allowed");
    char* allowed = rendered([](FILE* s) {
        const char* separator = "[";
        const bool read = each_allowed_cpu([&](int cpu) {
            fprintf(s, "%s%d", separator, cpu);
            separator = ",";
        });
        fputs(separator[0] == '[' ? "[]" : "]", s);
        return read;
    });
    write_fragment_or_null(stream, allowed);
    free(allowed);
    key(stream, "caches");
    write_fragment_or_null(stream, machine.caches_json);
    key(stream, "cpufreq");
    write_fragment_or_null(stream, machine.cpufreq_json);

    double load[3];
    const bool has_load = read_load_average(load);
    key(stream, "load_avg");
    if (has_load) {
        for (int i = 0; i < 3; ++i) {
            fputc(i == 0 ? '[' : ',', stream);
            write_json_number(stream, load[i], true);
        }
        fputc(']', stream);
    } else {
        fputs("null", stream);
    }
    key(stream, "thermal");
    char* thermal = rendered([](FILE* s) {
        const int zones =
            each_thermal_zone([s, first = true](const char* type, double celsius) mutable {
                fputs(first ? "[{\"type\":" : ",{\"type\":", s);
                first = false;
                write_text_or_null(s, type);
                key(s, "celsius");
                write_json_number(s, celsius, true);
                fputc('}', s);
            });
        if (zones > 0) fputc(']', s);
        return zones > 0;
    });
    write_fragment_or_null(stream, thermal);
    free(thermal);

    text_member(stream, "placement", getenv("QUENTAR_SCHED"));
    key(stream, "calibration");
    write_calibration_json(stream);
    key(stream, "build");
    fputs("{\"compiler\":", stream);
    write_json_string(stream, COMPILER);
    text_member(stream, "build_type", LIB_TIMING_BUILD_TYPE);
    fprintf(stream, ",\"time_t_bytes\":%d,\"off_t_bytes\":%d,\"long_bytes\":%d}",
            static_cast<int>(sizeof(time_t)), static_cast<int>(sizeof(off_t)),
            static_cast<int>(sizeof(long)));

    const Warnings warnings = warnings_now(machine, has_load ? load : nullptr);
    key(stream, "warnings");
    fputc('[', stream);
    for (int i = 0; i < warnings.count; ++i) {
        if (i > 0) fputc(',', stream);
        write_json_string(stream, warnings.text[i]);
    }
    fputs("]}\n", stream);
}

void write_context_text(FILE* stream) {
    const MachineFacts& machine = machine_facts();
    fprintf(stream, "machine: %s, %s, ", or_unknown(machine.machine),
            or_unknown(machine.cpu_model));
    if (machine.cpus_online >= 0) {
        fprintf(stream, "%lld CPUs online", machine.cpus_online);
    } else {
        fputs("online CPUs unknown", stream);
    }
    CpuRanges allowed{stream};
    fputs(", allowed ", stream);
    if (each_allowed_cpu([&allowed](int cpu) { allowed.take(cpu); })) {
        allowed.flush();
    } else {
        fputs("unknown", stream);
    }
    if (machine.governor_count > 0) {
        fprintf(stream, ", governor %s", machine.governors[0]);
        for (int i = 1; i < machine.governor_count; ++i)
            fprintf(stream, "/%s", machine.governors[i]);
    }
    if (machine.top_khz > 0) fprintf(stream, ", up to %lld MHz", machine.top_khz / 1000);
    fputc('\n', stream);

    fprintf(stream, "kernel: %s on %s, load ", or_unknown(machine.kernel),
            or_unknown(machine.host));
    double load[3];
    const bool has_load = read_load_average(load);
    if (has_load) {
        fprintf(stream, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    } else {
        fputs("unknown", stream);
    }
    char hottest[64] = "";
    double hottest_celsius = -HUGE_VAL;
    each_thermal_zone([&](const char* type, double celsius) {
        if (celsius > hottest_celsius) {
            hottest_celsius = celsius;
            snprintf(hottest, sizeof hottest, "%s", or_unknown(type));
        }
    });
    if (hottest[0] != '\0') fprintf(stream, ", hottest zone %s %.1f C", hottest, hottest_celsius);
    const char* placement = getenv("QUENTAR_SCHED");
    fprintf(stream, ", QUENTAR_SCHED %s\n", placement != nullptr ? placement : "unset");

    timing_internal::SettledCalibration c;
    if (timing_internal::settled_calibration(&c)) {
        fprintf(stream,
                "calibration: enough %d us (%s), timer overhead %llu us (%s), loop overhead %.8f "
                "us (%s)\n",
                static_cast<int>(c.enough_us), source_name(c.enough_source),
                static_cast<unsigned long long>(c.timer_overhead), source_name(c.timer_source),
                c.iteration_overhead, source_name(c.loop_source));
    } else {
        fputs("calibration: not done yet\n", stream);
    }

    const Warnings warnings = warnings_now(machine, has_load ? load : nullptr);
    for (int i = 0; i < warnings.count; ++i) {
        fprintf(stream, "%s%s", i == 0 ? "warnings: " : "; ", warnings.text[i]);
    }
    if (warnings.count > 0) fputc('\n', stream);
}

}  // namespace timing_internal
