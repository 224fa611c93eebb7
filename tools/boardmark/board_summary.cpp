#include "board_summary.h"

#include <cstring>

#include "tables.h"

namespace {

struct Cache {
    std::string name;  // "L1d", "L2"
    uint64_t bytes;
};

// The data and unified caches, each level once, in the machine's order
// (smallest first).
std::vector<Cache> caches(const MachineRecord& machine) {
    std::vector<Cache> found;
    for (int i = 0; i < machine.cache_count; ++i) {
        const CpuCache& cache = machine.caches[i];
        const std::string type = cache.type;
        if (type != "Data" && type != "Unified") continue;
        const std::string name = "L" + std::to_string(cache.level) + (type == "Data" ? "d" : "");
        bool known = false;
        for (const Cache& c : found) known = known || c.name == name;
        if (!known) {
            found.push_back(
                {name, cache.size_bytes > 0 ? static_cast<uint64_t>(cache.size_bytes) : 0});
        }
    }
    return found;
}

bool is(const RowRecord& row, const char* measurement) {
    return std::strcmp(row.params.measurement, measurement) == 0;
}

// The latency row of the largest working set not above limit; null when none.
const RowRecord* latency_within(const std::vector<RowRecord>& rows, uint64_t limit) {
    const RowRecord* best = nullptr;
    for (const RowRecord& row : rows) {
        if (is(row, "latency") && row.params.size <= limit &&
            (best == nullptr || row.params.size > best->params.size)) {
            best = &row;
        }
    }
    return best;
}

void add_part(std::string* line, const std::string& part) {
    if (!part.empty()) *line += (line->empty() ? "" : "; ") + part;
}

std::string join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace

std::string board_summary(const MachineRecord& machine, const std::vector<RowRecord>& rows) {
    std::string line =
        std::string(machine.cpu_model) + " (" + machine.machine + "), Linux " + machine.kernel;

    // A cache's latency: the largest working set that fills at most half of it.
    std::vector<std::string> levels;
    const std::vector<Cache> found = caches(machine);
    uint64_t largest = 0;
    for (const Cache& cache : found) {
        std::string level = cache.name + " " + size_for_people(cache.bytes);
        const RowRecord* inside = latency_within(rows, cache.bytes / 2);
        if (inside != nullptr && inside->params.size > largest) {
            level += " " + fixed(inside->value, 1) + " ns";
        }
        largest = std::max(largest, cache.bytes);
        levels.push_back(level);
    }
    add_part(&line, join(levels));

    // Memory: the largest working set, when it is well beyond the caches.
    const RowRecord* memory = latency_within(rows, UINT64_MAX);
    if (memory != nullptr && memory->params.size >= 2 * largest && largest != 0) {
        add_part(&line, "memory " + fixed(memory->value, 1) + " ns at " +
                            size_for_people(memory->params.size));
    }

    std::vector<std::string> reads;
    std::vector<std::string> pipes;
    std::string syscall;
    std::vector<std::string> clocks;
    for (const RowRecord& row : rows) {
        const int workers = row.params.workers;
        if (is(row, "bandwidth") && std::strcmp(row.params.op, "read") == 0) {
            reads.push_back(fixed(row.value * workers, 0) + " MB/s with " +
                            std::to_string(workers) + " worker" + (workers == 1 ? "" : "s"));
        } else if (is(row, "pipe")) {
            pipes.push_back(fixed(row.value, 1) + " us on " +
                            (row.params.cpus == 1 ? "one CPU" : "two CPUs"));
        } else if (is(row, "syscall")) {
            syscall = "system call " + fixed(row.value, 0) + " ns";
        } else if (is(row, "clock") && std::strcmp(row.params.op, "after_load") == 0) {
            std::string cpu = "?";
            for (const auto& extra : row.params.extra) {
                if (extra.first == "cpu") cpu = extra.second;
            }
            clocks.push_back(fixed(row.value, 0) + " MHz on CPU " + cpu);
        }
    }
    if (!reads.empty()) add_part(&line, "read " + join(reads));
    if (!pipes.empty()) add_part(&line, "pipe round trip " + join(pipes));
    add_part(&line, syscall);
    if (!clocks.empty()) add_part(&line, "clock after load " + join(clocks));
    return line;
}
