// The run context read from fake /proc and /sys trees: what each layout of
// the files gives, what is kept and what is read again, and null for what
// is missing.
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "internal.h"
#include "json_reader.h"
#include "lib_timing.h"
#include "report_capture.h"
#include "run_conditions.h"
#include "time_scale.h"

namespace {

// A directory that stands for "/", removed with everything in it.
class FakeRoot {
   public:
    FakeRoot() {
        char name[] = "/tmp/run_context.XXXXXX";
        if (mkdtemp(name) != nullptr) root_ = name;
        timing_internal::set_system_root(root_.c_str());
    }
    ~FakeRoot() {
        timing_internal::set_system_root("");
        nftw(
            root_.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    FakeRoot(const FakeRoot&) = delete;
    FakeRoot& operator=(const FakeRoot&) = delete;

    // Writes text to the file at path below the root, making its directories.
    void file(const std::string& path, const std::string& text) const {
        for (size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            mkdir((root_ + path.substr(0, slash)).c_str(), 0700);
        }
        FILE* f = fopen((root_ + path).c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    std::string path(const std::string& below) const { return root_ + below; }

   private:
    std::string root_ = "/nonexistent";
};

// The context line report_context writes in JSON mode, checked to be one
// JSON object on one line.
std::string context_line() {
    set_report_format(REPORT_FORMAT_JSON);
    const std::string text = report_text([] { report_context(); });
    set_report_format(REPORT_FORMAT_TEXT);
    JsonNode value;
    std::string error;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_TRUE(read_json(text, &value, &error, JSON_STRICT)) << error << " in " << text;
    EXPECT_EQ(value.type, JsonNode::Type::OBJECT);
    return text;
}

::testing::AssertionResult has(const std::string& line, const std::string& fragment) {
    if (line.find(fragment) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << fragment << "\nin " << line;
}

void cache(const FakeRoot& root, int cpu, int index, const char* level, const char* type,
           const char* size, const char* shared) {
    const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cache/index" +
                            std::to_string(index) + "/";
    root.file(dir + "level", std::string(level) + "\n");
    root.file(dir + "type", std::string(type) + "\n");
    root.file(dir + "size", std::string(size) + "\n");
    root.file(dir + "shared_cpu_list", std::string(shared) + "\n");
}

void policy(const FakeRoot& root, int n, const char* cpus, const char* governor, const char* cur,
            const char* min, const char* max) {
    const std::string dir = "/sys/devices/system/cpu/cpufreq/policy" + std::to_string(n) + "/";
    root.file(dir + "related_cpus", std::string(cpus) + "\n");
    root.file(dir + "scaling_governor", std::string(governor) + "\n");
    root.file(dir + "scaling_cur_freq", std::string(cur) + "\n");
    root.file(dir + "scaling_min_freq", std::string(min) + "\n");
    root.file(dir + "scaling_max_freq", std::string(max) + "\n");
}

// One processor's block of /proc/cpuinfo as arm64 and newer 32-bit kernels
// write it.
std::string arm_block(int cpu, const char* implementer, const char* part) {
    return "processor\t: " + std::to_string(cpu) +
           "\nmodel name\t: ARMv7 Processor rev 3 (v7l)\nBogoMIPS\t: 108.00\n"
           "Features\t: half thumb fastmult vfp edsp neon\nCPU implementer\t: " +
           implementer + "\nCPU architecture: 7\nCPU variant\t: 0x0\nCPU part\t: " + part +
           "\nCPU revision\t: 3\n\n";
}

// Nothing readable: every value from a file is null, the rest is there.
// Runs first: the process has not calibrated yet.
TEST(RunContext, MissingFilesGiveNullAndTheProcessFactsRemain) {
    unsetenv("QUENTAR_SCHED");
    FakeRoot root;
    const std::string line = context_line();
    EXPECT_EQ(line.rfind("{\"report\":\"context\",\"schema\":1,\"library_version\":\"0.1.0\",", 0),
              0u)
        << line;
    for (const char* key : {"executable", "cpu_model", "cpus_online", "caches", "cpufreq",
                            "load_avg", "thermal", "placement", "calibration"}) {
        EXPECT_TRUE(has(line, "\"" + std::string(key) + "\":null"));
    }
    JsonNode value;
    ASSERT_TRUE(read_json(line, &value, nullptr, JSON_STRICT));
    for (const char* key : {"date", "host", "kernel", "machine"}) {
        ASSERT_NE(value.member(key), nullptr) << key;
        EXPECT_EQ(value.member(key)->type, JsonNode::Type::STRING) << key;
    }
    EXPECT_EQ(value.member("date")->text.size(), 20u) << "2026-12-09T01:38:48Z";
    EXPECT_TRUE(has(line, "\"time_t_bytes\":8,\"off_t_bytes\":8,\"long_bytes\":" +
                              std::to_string(sizeof(long)) + "}"));
    EXPECT_TRUE(has(line, "\"warnings\":[]}"));

    // The text summary: machine, kernel and load, calibration; no warnings.
    const std::string text = report_text([] { report_context(); });
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0].rfind("machine: ", 0), 0u) << text;
    EXPECT_TRUE(has(lines[0], ", unknown, online CPUs unknown, allowed "));
    EXPECT_TRUE(has(lines[1], ", load unknown, QUENTAR_SCHED unset"));
    EXPECT_EQ(lines[2], "calibration: not done yet");
}

TEST(RunContext, X86ModelNameCachesOnceEachAndWhatIsReadAgain) {
    FakeRoot root;
    std::string cpuinfo;
    for (int cpu = 0; cpu < 2; ++cpu) {
        cpuinfo += "processor\t: " + std::to_string(cpu) +
                   "\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"
                   "flags\t\t: " +
                   std::string(6000, 'f') + "\n\n";  // longer than any line kept
    }
    root.file("/proc/cpuinfo", cpuinfo);
    root.file("/sys/devices/system/cpu/online", "0-1\n");
    for (int cpu = 0; cpu < 2; ++cpu) {
        const char* own = cpu == 0 ? "0" : "1";
        cache(root, cpu, 0, "1", "Data", "32K", own);
        cache(root, cpu, 1, "1", "Instruction", "32K", own);
        cache(root, cpu, 2, "2", "Unified", "1024K", own);
        cache(root, cpu, 3, "3", "Unified", "32M", "0-1");
    }
    policy(root, 0, "0", "powersave", "1800000", "800000", "3400000");
    policy(root, 1, "1", "powersave", "2000000", "800000", "3400000");
    root.file("/proc/loadavg", "1.50 0.40 0.33 1/123 4567\n");
    root.file("/sys/class/thermal/thermal_zone0/type", "x86_pkg_temp\n");
    root.file("/sys/class/thermal/thermal_zone0/temp", "48300\n");
    root.file("/sys/class/thermal/thermal_zone1/type", "acpitz\n");  // no temperature

    std::string line = context_line();
    EXPECT_TRUE(has(line, "\"cpu_model\":\"Intel(R) Xeon(R) CPU @ 2.20GHz\",\"cpus_online\":2,"));
    EXPECT_TRUE(has(
        line,
        "\"caches\":[{\"level\":1,\"type\":\"Data\",\"size_bytes\":32768,\"shared_cpu_list\":\"0\"}"
        ","
        "{\"level\":1,\"type\":\"Instruction\",\"size_bytes\":32768,\"shared_cpu_list\":\"0\"},"
        "{\"level\":2,\"type\":\"Unified\",\"size_bytes\":1048576,\"shared_cpu_list\":\"0\"},"
        "{\"level\":3,\"type\":\"Unified\",\"size_bytes\":33554432,\"shared_cpu_list\":\"0-1\"},"
        "{\"level\":1,\"type\":\"Data\",\"size_bytes\":32768,\"shared_cpu_list\":\"1\"},"
        "{\"level\":1,\"type\":\"Instruction\",\"size_bytes\":32768,\"shared_cpu_list\":\"1\"},"
        "{\"level\":2,\"type\":\"Unified\",\"size_bytes\":1048576,\"shared_cpu_list\":\"1\"}],"));
    EXPECT_TRUE(has(line,
                    "\"cpufreq\":[{\"cpus\":[0],\"governor\":\"powersave\",\"cur_khz\":1800000,"
                    "\"min_khz\":800000,\"max_khz\":3400000},{\"cpus\":[1],\"governor\":"
                    "\"powersave\",\"cur_khz\":2000000,\"min_khz\":800000,\"max_khz\":3400000}],"));
    EXPECT_TRUE(has(line,
                    "\"load_avg\":[1.5,0.4,0.33],\"thermal\":[{\"type\":\"x86_pkg_temp\","
                    "\"celsius\":48.3},{\"type\":\"acpitz\",\"celsius\":null}],"));
    EXPECT_TRUE(has(line,
                    "\"warnings\":[\"CPU frequency governor is powersave, not performance\","
                    "\"load average 1.50 is above half the 2 online CPUs\"]}"));

    // The load and the temperatures are read again; the rest was kept.
    root.file("/proc/loadavg", "0.25 0.40 0.33 1/123 4567\n");
    root.file("/sys/class/thermal/thermal_zone0/temp", "-1500\n");
    policy(root, 0, "0", "performance", "1", "1", "1");
    root.file("/proc/cpuinfo", "model name\t: Other\n");
    line = context_line();
    EXPECT_TRUE(has(line, "\"cpu_model\":\"Intel(R) Xeon(R) CPU @ 2.20GHz\""));
    EXPECT_TRUE(has(line, "\"governor\":\"powersave\",\"cur_khz\":1800000,"));
    EXPECT_TRUE(has(line,
                    "\"load_avg\":[0.25,0.4,0.33],\"thermal\":[{\"type\":\"x86_pkg_temp\","
                    "\"celsius\":-1.5},"));
    EXPECT_TRUE(
        has(line, "\"warnings\":[\"CPU frequency governor is powersave, not performance\"]}"));
}

TEST(RunContext, BigLittleArmBoardNamesEachClusterAndItsPolicy) {
    FakeRoot root;
    std::string cpuinfo;
    for (int cpu = 0; cpu < 6; ++cpu)
        cpuinfo += arm_block(cpu, "0x41", cpu < 4 ? "0xd03" : "0xd08");
    root.file("/proc/cpuinfo", cpuinfo + "Hardware\t: Rockchip RK3399\n");
    root.file("/sys/devices/system/cpu/online", "0-5\n");
    policy(root, 0, "0 1 2 3", "schedutil", "1416000", "408000", "1416000");
    policy(root, 4, "4 5", "performance", "1800000", "408000", "1800000");
    root.file("/proc/loadavg", "0.10 0.05 0.01 1/80 900\n");

    const std::string line = context_line();
    EXPECT_TRUE(has(line, "\"cpu_model\":\"4x Cortex-A53 + 2x Cortex-A72\",\"cpus_online\":6,"));
    EXPECT_TRUE(
        has(line,
            "\"cpufreq\":[{\"cpus\":[0,1,2,3],\"governor\":\"schedutil\",\"cur_khz\":"
            "1416000,\"min_khz\":408000,\"max_khz\":1416000},{\"cpus\":[4,5],\"governor\":"
            "\"performance\",\"cur_khz\":1800000,\"min_khz\":408000,\"max_khz\":1800000}],"));
    EXPECT_TRUE(
        has(line, "\"warnings\":[\"CPU frequency governor is schedutil, not performance\"]}"));
    const std::string text = report_text([] { report_context(); });
    EXPECT_TRUE(has(text, "4x Cortex-A53 + 2x Cortex-A72, 6 CPUs online, allowed "));
    EXPECT_TRUE(has(text, ", governor schedutil/performance, up to 1800 MHz\n"));
}

TEST(RunContext, OlderArmLayoutAndUnknownCores) {
    FakeRoot root;
    // Kernels before 3.8 list the processors, then the codes once.
    root.file("/proc/cpuinfo",
              "Processor\t: ARMv7 Processor rev 10 (v7l)\nprocessor\t: 0\nBogoMIPS\t: 790.52\n\n"
              "processor\t: 1\nBogoMIPS\t: 790.52\n\nFeatures\t: swp half thumb fastmult vfp\n"
              "CPU implementer\t: 0x41\nCPU architecture: 7\nCPU variant\t: 0x2\n"
              "CPU part\t: 0xc09\nCPU revision\t: 10\n\nHardware\t: Freescale i.MX 6Quad\n");
    EXPECT_TRUE(has(context_line(), "\"cpu_model\":\"2x Cortex-A9\""));

    FakeRoot other;
    std::string cpuinfo;
    for (int cpu = 0; cpu < 4; ++cpu) {
        cpuinfo += cpu < 2 ? arm_block(cpu, "0x41", "0xc07") : arm_block(cpu, "0x56", "0x584");
    }
    other.file("/proc/cpuinfo", cpuinfo);
    EXPECT_TRUE(has(context_line(), "\"cpu_model\":\"2x Cortex-A7 + 2x 0x56:0x584\""));
}

// The calibration appears once settled, never started by the context, with
// where each value came from.
TEST(RunContext, CalibrationAppearsOnceSettledWithItsSources) {
    setenv("ENOUGH", "5000", 1);
    setenv("TIMING_O", "2", 1);
    setenv("LAPCOST", "0.25", 1);
    setenv("QUENTAR_SCHED", "SINGLE", 1);
    const std::string before = context_line();
    EXPECT_TRUE(has(before, "\"placement\":\"SINGLE\",\"calibration\":null,"));
    EXPECT_TRUE(has(context_line(), "\"calibration\":null,")) << "the context did not calibrate";
    ensure_calibrated();
    EXPECT_TRUE(has(context_line(),
                    "\"calibration\":{\"enough_us\":5000,\"enough_source\":\"environment\","
                    "\"timer_overhead_us\":2,\"timer_overhead_source\":\"environment\","
                    "\"iteration_overhead_us\":0.25,\"iteration_overhead_source\":"
                    "\"environment\"},"));
    EXPECT_TRUE(has(report_text([] { report_context(); }),
                    "\ncalibration: enough 5000 us (environment), timer overhead 2 us "
                    "(environment), loop overhead 0.25000000 us (environment)\n"));
}

// The public record of the machine's facts: what the context line shows,
// with the line sizes, and the caches of another board's copied tree.
TEST(RunContext, MachineFactsRecordAndCachesOfACopiedTree) {
    FakeRoot root;
    root.file("/sys/devices/system/cpu/online", "0-3\n");
    root.file("/sys/devices/system/cpu/present", "0-5\n");
    for (int cpu = 0; cpu < 2; ++cpu) {
        cache(root, cpu, 0, "1", "Data", "32K", cpu == 0 ? "0" : "1");
        cache(root, cpu, 2, "2", "Unified", "512K", "0-1");  // index1 missing
    }
    root.file("/sys/devices/system/cpu/cpu0/cache/index0/coherency_line_size", "64\n");
    policy(root, 2, "0-1", "ondemand", "600000", "408000", "1200000");
    const MachineRecord* machine = machine_facts();
    EXPECT_EQ(machine->cpus_online, 4);
    EXPECT_EQ(machine->cpus_present, 6);
    ASSERT_EQ(machine->cache_count, 3);
    EXPECT_EQ(machine->caches[0].line_bytes, 64);
    EXPECT_EQ(machine->caches[2].line_bytes, -1);
    EXPECT_EQ(machine->caches[1].level, 2);
    EXPECT_EQ(machine->caches[1].size_bytes, 512 * 1024);
    EXPECT_STREQ(machine->caches[2].shared_cpu_list, "1");
    ASSERT_EQ(machine->policy_count, 1);
    EXPECT_EQ(machine->policies[0].number, 2);
    EXPECT_STREQ(machine->policies[0].cpus, "0-1");
    EXPECT_STREQ(machine->policies[0].governor, "ondemand");
    EXPECT_EQ(machine->policies[0].max_khz, 1200000);
    EXPECT_STREQ(machine->virtualization, "");

    CpuCache two[2];
    EXPECT_EQ(read_cpu_caches("/nonexistent", two, 2), 0);
    FakeRoot other;  // a copied tree read directly, whatever the root
    cache(other, 0, 0, "1", "Data", "16K", "0");
    cache(other, 0, 1, "1", "Instruction", "16K", "0");
    cache(other, 0, 2, "2", "Unified", "256K", "0");
    const std::string tree = other.path("/sys/devices/system/cpu");
    timing_internal::set_system_root("");
    EXPECT_EQ(read_cpu_caches(tree.c_str(), two, 2), 3);
    EXPECT_STREQ(two[1].type, "Instruction");
    EXPECT_EQ(two[1].size_bytes, 16 * 1024);
}

// What says that a virtual machine stands between the program and the CPU,
// and what does not.
TEST(RunContext, VirtualMachineEvidence) {
    const struct {
        const char* file;
        std::string text;
        const char* found;
    } cases[] = {
        {"/sys/class/dmi/id/sys_vendor", "QEMU\n", "virtual machine (DMI sys_vendor QEMU)"},
        {"/sys/class/dmi/id/product_name", "VMware Virtual Platform\n",
         "virtual machine (DMI product_name VMware Virtual Platform)"},
        {"/sys/class/dmi/id/sys_vendor", "Dell Inc.\n", ""},
        {"/proc/device-tree/compatible", std::string("linux,dummy-virt\0", 17),
         "virtual machine (device tree linux,dummy-virt)"},
        {"/sys/firmware/devicetree/base/compatible",
         std::string("raspberrypi,4-model-b\0brcm,bcm2711\0", 36), ""},
        {"/sys/hypervisor/type", "xen\n", "virtual machine (hypervisor xen)"},
        {"/proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisor lahf_lm\n",
         "virtual machine (CPU flag hypervisor)"},
        {"/proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisors\n", ""},
    };
    for (const auto& c : cases) {
        FakeRoot root;
        root.file(c.file, c.text);
        EXPECT_STREQ(machine_facts()->virtualization, c.found) << c.file;
    }
    FakeRoot root;
    root.file("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    EXPECT_TRUE(has(context_line(),
                    "\"warnings\":[\"runs in a virtual machine (DMI sys_vendor QEMU): other "
                    "guests may share its CPUs\"]}"));
}

// The real system: the emulator that runs the cross-built tests is named in
// the warnings; natively no emulator is.
TEST(RunContext, NamesTheUserModeEmulatorThatRunsIt) {
    const std::string found = machine_facts()->virtualization;
    const std::string line = context_line();
#ifdef TIMING_TEST_UNDER_EMULATOR
    EXPECT_EQ(found.rfind("user-mode emulator qemu-", 0), 0u) << found;
    EXPECT_TRUE(has(line, "\"runs under the user-mode emulator qemu-"));
#else
    EXPECT_EQ(found.find("emulator"), std::string::npos) << found;
    EXPECT_EQ(line.find("emulator"), std::string::npos) << line;
#endif
}

// A run's system conditions from a fake tree whose files change between the
// readings before and after the run: exact shares below the top frequency,
// temperature peaks, cooling steps and throttle flags, each with its reason.
TEST(RunContext, RunConditionsFromTheFilesBeforeAndAfter) {
    using File = std::pair<std::string, std::string>;
    const std::string policy = "/sys/devices/system/cpu/cpufreq/policy0/";
    const std::string zone = "/sys/class/thermal/thermal_zone0/";
    const std::string cooling = "/sys/class/thermal/cooling_device0/";
    const std::string flags = "/sys/devices/platform/soc/soc:firmware/get_throttled";
    const struct {
        std::vector<File> before;
        std::vector<File> after;
        const char* fragment;  // of the run's JSON
        const char* reason;    // "" when the run is not disturbed
        double cpu1_mhz = 0;   // the clock measured on CPU 1, 0 none
    } cases[] = {
        {{{policy + "related_cpus", "0 1 2 3\n"},
          {policy + "stats/time_in_state", "600000 900\n1200000 50\n1800000 100\n"}},
         {{policy + "stats/time_in_state", "600000 900\n1200000 84\n1800000 166\n"}},
         "\"cpufreq\":[{\"policy\":0,\"cpus\":[0,1,2,3],\"top_khz\":1800000,"
         "\"below_top_share\":0.34,\"ran_workers\":true,\"source\":\"stats/time_in_state at "
         "the start and the end\"}]",
         "CPUs 0-3 ran below 1800 MHz for 34 % of the run"},
        {{{policy + "related_cpus", "0-1\n"},
          {policy + "stats/time_in_state", "1200000 5\n1800000 100\n"}},
         {{policy + "stats/time_in_state", "1200000 6\n1800000 199\n"}},
         "\"below_top_share\":0.01,",
         ""},
        {{{policy + "related_cpus", "4-5\n"},
          {policy + "cpuinfo_max_freq", "2000000\n"},
          {policy + "scaling_cur_freq", "2000000\n"}},
         {{policy + "scaling_cur_freq", "1500000\n"}},
         "\"below_top_share\":0.5,\"ran_workers\":true,\"source\":\"scaling_cur_freq at the "
         "start and the end\"",
         "CPUs 4-5 ran below 2000 MHz for 50 % of the run"},
        {{{zone + "type", "cpu-thermal\n"}, {zone + "temp", "50000\n"}},
         {{zone + "temp", "61500\n"}},
         "\"thermal\":[{\"type\":\"cpu-thermal\",\"start_celsius\":50,\"end_celsius\":61.5,"
         "\"max_celsius\":70.25,",
         ""},
        {{{cooling + "type", "cpufreq-cpu0\n"}, {cooling + "cur_state", "0\n"}},
         {{cooling + "cur_state", "2\n"}},
         "\"cooling\":[{\"device\":0,\"type\":\"cpufreq-cpu0\",\"start_state\":0,"
         "\"end_state\":2,",
         "cooling device 0 (cpufreq-cpu0) stepped up from 0 to 2"},
        {{{cooling + "type", "fan\n"}, {cooling + "cur_state", "3\n"}},
         {{cooling + "cur_state", "1\n"}},
         "\"start_state\":3,\"end_state\":1,",
         ""},
        {{{flags, "0\n"}},
         {{flags, "20002\n"}},
         "\"throttle\":{\"start_flags\":0,\"end_flags\":131074,",
         "firmware throttle flags went from 0x0 to 0x20002"},
        {{{flags, "50000\n"}}, {{flags, "50000\n"}}, "\"end_flags\":327680,", ""},
        {{{policy + "related_cpus", "0-1\n"},
          {policy + "cpuinfo_max_freq", "2000000\n"},
          {policy + "scaling_cur_freq", "2000000\n"}},
         {},
         "\"below_top_share\":0,",
         "CPU 1 measured at 1800 MHz, 10 % below the claimed 2000 MHz",
         1800},
        {{{policy + "related_cpus", "0-1\n"},
          {policy + "cpuinfo_max_freq", "2000000\n"},
          {policy + "scaling_cur_freq", "2000000\n"}},
         {},
         "\"below_top_share\":0,",
         "",
         1950},
    };
    for (const auto& c : cases) {
        FakeRoot root;
        for (const File& f : c.before) root.file(f.first, f.second);
        ASSERT_EQ(set_measured_clock(1, c.cpu1_mhz), 0);
        timing_internal::conditions_new_driver_run();
        ASSERT_TRUE(timing_internal::conditions_prepare(0, false));
        timing_internal::conditions_run_starts();
        // A reading while the run goes on, hotter than both ends.
        if (!c.before.empty() && c.before[0].first == zone + "type") {
            root.file(zone + "temp", "70250\n");
            timing_internal::conditions_run_goes_on();
        }
        for (const File& f : c.after) root.file(f.first, f.second);
        timing_internal::conditions_run_ends();
        timing_internal::conditions_release();
        const timing_internal::DriverConditions* conditions =
            timing_internal::latest_driver_conditions();
        ASSERT_NE(conditions, nullptr);
        ASSERT_EQ(conditions->run_count, 1);
        char* text = nullptr;
        size_t length = 0;
        FILE* memory = open_memstream(&text, &length);
        ASSERT_NE(memory, nullptr);
        timing_internal::write_conditions_json(memory, conditions);
        fclose(memory);
        const std::string line(text, length);
        free(text);
        EXPECT_TRUE(has(line, c.fragment));
        EXPECT_TRUE(has(line, "\"other_load\":{\"cpu_share\":null,"));
        const std::string reason = c.reason;
        EXPECT_TRUE(
            has(line, reason.empty() ? "\"warnings\":[]" : "\"warnings\":[\"" + reason + "\"]"));
    }
    // The measured clock stays in the context line until forgotten.
    EXPECT_TRUE(has(context_line(), ",\"measured_clock\":[{\"cpu\":1,\"mhz\":1950}],"));
    EXPECT_TRUE(
        has(report_text([] { report_context(); }), "\nclock: measured 1950 MHz on CPU 1\n"));
    ASSERT_EQ(set_measured_clock(1, 0), 0);
    EXPECT_FALSE(has(context_line(), "measured_clock"));
}

// wait_idle against a /proc/stat that a child advances every 50 ms: quiet
// after 3 seconds of idle ticks; busy ticks make it give up at its limit,
// with the share it saw among the context's warnings.
TEST(RunContext, WaitIdleUntilQuietOrGivesUpWithTheShareSeen) {
    const struct {
        int busy_step;
        int idle_step;
        double max_seconds;
        int returned;
        double low_share;  // bounds of the share seen
        double high_share;
    } cases[] = {{0, 10, 10, 0, 0.0, 0.1}, {5, 5, 2, 1, 0.45, 0.5}};
    for (const auto& c : cases) {
        FakeRoot root;
        root.file("/proc/stat", "cpu  0 0 0 0 0 0 0 0 0 0\n");
        const std::string stat = root.path("/proc/stat");
        const pid_t ticker = fork();
        ASSERT_GE(ticker, 0);
        if (ticker == 0) {
            const pid_t parent = getppid();
            for (long busy = 0, idle = 0; getppid() == parent;
                 busy += c.busy_step, idle += c.idle_step) {
                FILE* f = fopen((stat + ".new").c_str(), "w");
                if (f == nullptr) _exit(1);
                fprintf(f, "cpu  %ld 0 0 %ld 0 0 0 0 0 0\n", busy, idle);
                fclose(f);
                rename((stat + ".new").c_str(), stat.c_str());
                usleep(50000);
            }
            _exit(0);
        }
        IdleWaitResult result;
        const double started = monotonic_seconds();
        const int returned = wait_idle(c.max_seconds, &result);
        const double waited = monotonic_seconds() - started;
        kill(ticker, SIGKILL);
        wait_bounded(ticker, 10000);
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(result.quiet, c.returned == 0 ? 1 : 0);
        EXPECT_GE(result.busy_share, c.low_share);
        EXPECT_LE(result.busy_share, c.high_share);
        EXPECT_NEAR(result.waited_seconds, waited, 0.1);
        if (c.returned == 0) {
            EXPECT_GE(waited, 3.0);
            EXPECT_LE(waited, scaled_seconds(6));
            EXPECT_FALSE(has(context_line(), "never got quiet"));
        } else {
            EXPECT_LE(waited, c.max_seconds);
            EXPECT_TRUE(has(context_line(),
                            "\"the machine never got quiet: others used 50 % of it "
                            "while waiting "));
        }
    }
    FakeRoot unreadable;
    EXPECT_EQ(wait_idle(1, nullptr), -1);
}

}  // namespace
