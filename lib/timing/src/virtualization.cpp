// Whether this process runs on the machine itself. Two things stand between
// a program and a board's CPU in practice:
// - a user-mode emulator such as qemu-arm, which answers the program's
//   system calls and shows it its own /proc/self/exe. It recognises that
//   name literally, so "/proc/self/./exe", which the kernel resolves to the
//   same link, names the emulator instead of the program;
// - a virtual machine, which its firmware tables (DMI), the x86 CPU flag
//   "hypervisor", /sys/hypervisor or the device tree of a virtual board name.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "context.h"

namespace {

using namespace timing_internal;

// Words in DMI's sys_vendor or product_name that only virtual machines carry.
constexpr const char* VIRTUAL_DMI_WORDS[] = {"QEMU",       "KVM",
                                             "VMware",     "VirtualBox",
                                             "innotek",    "Xen",
                                             "Bochs",      "BHYVE",
                                             "Parallels",  "Virtual Machine",
                                             "Amazon EC2", "Google Compute Engine",
                                             "OpenStack",  "Cloud Hypervisor",
                                             "Firecracker"};

// Device tree compatible strings of boards that only exist in emulators.
constexpr const char* VIRTUAL_BOARDS[] = {"linux,dummy-virt", "qemu,"};

// The emulator's name when /proc/self/exe and /proc/self/./exe differ.
bool user_mode_emulator(char* name, size_t size) {
    char own[PATH_BYTES];
    char real[PATH_BYTES];
    const Path own_path = path_of("/proc/self/exe");
    const Path real_path = path_of("/proc/self/./exe");
    const ssize_t own_n = own_path.ok ? readlink(own_path.text, own, sizeof own - 1) : -1;
    const ssize_t real_n = real_path.ok ? readlink(real_path.text, real, sizeof real - 1) : -1;
    if (own_n <= 0 || real_n <= 0) return false;
    own[own_n] = '\0';
    real[real_n] = '\0';
    if (strcmp(own, real) == 0) return false;
    const char* slash = strrchr(real, '/');
    snprintf(name, size, "%.64s", slash != nullptr ? slash + 1 : real);
    return true;
}

bool virtual_dmi(char* evidence, size_t size) {
    for (const char* file : {"sys_vendor", "product_name"}) {
        char value[128];
        if (!read_value(path_of("/sys/class/dmi/id/%s", file), value, sizeof value)) continue;
        for (const char* word : VIRTUAL_DMI_WORDS) {
            if (strstr(value, word) != nullptr) {
                snprintf(evidence, size, "DMI %s %.64s", file, value);
                return true;
            }
        }
    }
    return false;
}

bool virtual_board(char* evidence, size_t size) {
    for (const char* file :
         {"/proc/device-tree/compatible", "/sys/firmware/devicetree/base/compatible"}) {
        char list[1024];
        const long n = read_bytes(path_of("%s", file), list, sizeof list);
        // NUL-separated strings, most specific first.
        for (long at = 0; at < n; at += static_cast<long>(strlen(list + at)) + 1) {
            for (const char* board : VIRTUAL_BOARDS) {
                if (strncmp(list + at, board, strlen(board)) == 0) {
                    snprintf(evidence, size, "device tree %s", list + at);
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace

namespace timing_internal {

void detect_virtualization(bool hypervisor_flag, char* out, size_t size) {
    out[0] = '\0';
    char found[128];
    if (user_mode_emulator(found, sizeof found)) {
        snprintf(out, size, "user-mode emulator %s", found);
        return;
    }
    char type[32];
    if (virtual_dmi(found, sizeof found) || virtual_board(found, sizeof found)) {
        snprintf(out, size, "virtual machine (%s)", found);
    } else if (read_value(path_of("/sys/hypervisor/type"), type, sizeof type)) {
        snprintf(out, size, "virtual machine (hypervisor %s)", type);
    } else if (hypervisor_flag) {
        snprintf(out, size, "virtual machine (CPU flag hypervisor)");
    }
}

}  // namespace timing_internal
