// The CPU model as /proc/cpuinfo gives it: ARM cores named from their
// implementer and part codes and counted per kind, or x86's model name.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "context.h"

using timing_internal::trim;

namespace {

constexpr int MAX_CPU_KINDS = 8;

// Whether the blank-separated list holds word.
bool has_word(const char* list, const char* word) {
    const size_t n = strlen(word);
    for (const char* p = strstr(list, word); p != nullptr; p = strstr(p + 1, word)) {
        const bool starts = p == list || timing_internal::is_blank(p[-1]);
        if (starts && (p[n] == '\0' || timing_internal::is_blank(p[n]))) return true;
    }
    return false;
}

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
    bool hypervisor;  // a "flags" line names the hypervisor flag

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
        } else if (strcmp(name, "flags") == 0 && !hypervisor) {
            hypervisor = has_word(value, "hypervisor");
        }
    }
};

// "4x Cortex-A53 + 2x Cortex-A72", unknown cores as "0x41:0xd4c"; x86's
// model name; empty when /proc/cpuinfo names neither.
}  // namespace

namespace timing_internal {

void read_cpu_model(char* out, size_t size, bool* hypervisor) {
    out[0] = '\0';
    *hypervisor = false;
    CpuinfoScan scan{};
    if (!for_each_line(path_of("/proc/cpuinfo"), [&scan](char* line, bool) {
            scan.take(line);
            return true;
        })) {
        return;
    }
    scan.end_block();
    *hypervisor = scan.hypervisor;
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

}  // namespace timing_internal
