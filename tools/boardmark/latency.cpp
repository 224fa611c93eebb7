// Dependent-load latency: a pointer chase through a random cyclic
// permutation of the working set's slots, so that neither the prefetcher nor
// the out-of-order core can overlap two loads.
#include <sys/mman.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "measurements.h"
#include "tables.h"

namespace {

constexpr uint64_t LOADS_PER_ITERATION = 16;  // per chain

struct Chase {
    void* cursor[MAX_CHAINS];  // where each chain goes on at the next body call
};

#define CHASE_STEP(p) p = *static_cast<void**>(p)

void chase_body(uint32_t iterations, void* arg) {
    Chase* chase = static_cast<Chase*>(arg);
    void* p = chase->cursor[0];
    while (iterations-- > 0) {
        CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p);
        CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p);
        CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p);
        CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p), CHASE_STEP(p);
    }
    chase->cursor[0] = p;
}

// CHAINS chains at once: each step of one chain depends on its previous
// step only, so the core may have a load of every chain in flight.
template <int CHAINS>
void chains_body(uint32_t iterations, void* arg) {
    Chase* chase = static_cast<Chase*>(arg);
    void* p[CHAINS];
    for (int k = 0; k < CHAINS; ++k) p[k] = chase->cursor[k];
    while (iterations-- > 0) {
        for (uint64_t step = 0; step < LOADS_PER_ITERATION; ++step) {
            for (int k = 0; k < CHAINS; ++k) CHASE_STEP(p[k]);
        }
    }
    for (int k = 0; k < CHAINS; ++k) chase->cursor[k] = p[k];
}

template <size_t... N>
constexpr std::array<IntervalCallback, sizeof...(N)> chain_bodies(std::index_sequence<N...>) {
    return {{(N == 0 ? chase_body : chains_body<static_cast<int>(N) + 1>)...}};
}
constexpr auto BODIES = chain_bodies(std::make_index_sequence<MAX_CHAINS>());

// chains cursors spread evenly along the one cycle that starts at first.
void place_cursors(Chase* chase, void* first, size_t slots, int chains) {
    void* p = first;
    size_t at = 0;
    for (int k = 0; k < chains; ++k) {
        const size_t target = slots * static_cast<size_t>(k) / static_cast<size_t>(chains);
        for (; at < target; ++at) CHASE_STEP(p);
        chase->cursor[k] = p;
    }
}

#undef CHASE_STEP

// An anonymous mapping of bytes aligned to the huge page size, advised as
// pages asks. Null with errno and the failing call in *failed_call.
char* map_working_set(uint64_t bytes, Pages pages, const char** failed_call, size_t* mapped) {
    const uint64_t align = huge_page_bytes();
    const size_t length = static_cast<size_t>(bytes + align);
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        *failed_call = "mmap";
        return nullptr;
    }
    // Keep only the aligned part.
    char* start = static_cast<char*>(p);
    const uintptr_t misalign = reinterpret_cast<uintptr_t>(start) % align;
    const size_t head = misalign == 0 ? 0 : static_cast<size_t>(align - misalign);
    if (head != 0) munmap(start, head);
    const size_t tail = length - head - static_cast<size_t>(bytes);
    if (tail != 0) munmap(start + head + bytes, tail);
    char* base = start + head;
    *mapped = static_cast<size_t>(bytes);
    int advice = -1;
    if (pages == Pages::HUGE) advice = MADV_HUGEPAGE;
    if (pages == Pages::SMALL) advice = MADV_NOHUGEPAGE;
    if (advice != -1 && madvise(base, *mapped, advice) != 0) {
        const int error = errno;
        munmap(base, *mapped);
        errno = error;
        *failed_call = pages == Pages::HUGE ? "madvise MADV_HUGEPAGE" : "madvise MADV_NOHUGEPAGE";
        return nullptr;
    }
    return base;
}

}  // namespace

std::vector<uint64_t> size_ladder(uint64_t min, uint64_t max, int sizes_per_doubling) {
    std::vector<uint64_t> sizes{min};
    auto add_between = [&sizes, min, max](uint64_t size) {
        if (size > min && size < max) sizes.push_back(size);
    };
    for (int k = 0; k < 64; ++k) {
        add_between(1ULL << k);
        // Halfway (geometrically, near enough) to the next power of two.
        if (sizes_per_doubling >= 2 && k >= 1 && k <= 62) add_between(3ULL << (k - 1));
    }
    if (max > min) sizes.push_back(max);
    return sizes;
}

void* build_chase(char* base, size_t slots, size_t stride) {
    if (slots == 0 || slots > 0x7fffffff) return nullptr;
    int* order = make_shuffled_offsets(static_cast<uint32_t>(slots), 1);
    if (order == nullptr) return nullptr;
    for (size_t k = 0; k < slots; ++k) {
        const size_t from = static_cast<size_t>(order[k]);
        const size_t to = static_cast<size_t>(order[k + 1 == slots ? 0 : k + 1]);
        *reinterpret_cast<void**>(base + from * stride) = base + to * stride;
    }
    void* first = base + static_cast<size_t>(order[0]) * stride;
    std::free(order);
    return first;
}

namespace {

std::string memory_problem(const MachineFacts& facts, const Options& all) {
    const LatencyOptions& options = all.latency;
    const std::string wanted = "a working set of " + size_for_people(options.max_bytes);
    if (options.max_bytes > SIZE_MAX - huge_page_bytes()) {
        return wanted + " cannot be had on this target";
    }
    if (facts.mem_available_bytes != 0 && options.max_bytes > facts.mem_available_bytes) {
        return wanted + " cannot be had: " + size_for_people(facts.mem_available_bytes) +
               " of memory available";
    }
    return "";
}

size_t rows(const MachineFacts&, const Options& all) {
    const LatencyOptions& options = all.latency;
    return size_ladder(options.min_bytes, options.max_bytes, options.sizes_per_doubling).size();
}

void run(Session* session, const Options& all) {
    const LatencyOptions& options = all.latency;
    const std::vector<uint64_t> sizes =
        size_ladder(options.min_bytes, options.max_bytes, options.sizes_per_doubling);
    std::string title = "Memory latency: dependent loads in random order, " +
                        std::to_string(options.stride) + "-byte stride, " +
                        pages_name(options.pages) + " pages";
    if (options.chains > 1) title += ", " + std::to_string(options.chains) + " chains at once";
    begin_table(session, title, {"working set", "ns per load"});

    const uint64_t largest = sizes.back();
    const std::string what = "latency";
    const char* failed_call = "";
    size_t mapped = 0;
    char* base = map_working_set(largest, options.pages, &failed_call, &mapped);
    if (base == nullptr) {
        measurement_failed(session, what,
                           "a working set of " + size_for_people(largest) +
                               " cannot be had: " + failed_call + ": " + std::strerror(errno));
        return;
    }

    for (uint64_t size : sizes) {
        const size_t slots = static_cast<size_t>(size / options.stride);
        const uint64_t working_set = static_cast<uint64_t>(slots) * options.stride;
        const std::string label = size_for_people(working_set);
        const std::string row = "latency " + label;
        next_step(session, row);
        void* first = build_chase(base, slots, options.stride);
        if (first == nullptr) {
            emit_failed_row(session, {label}, row,
                            "no memory for the chase order of " + std::to_string(slots) + " slots");
            continue;
        }
        Chase chase{};
        place_cursors(&chase, first, slots, options.chains);
        Job job;
        job.body = BODIES[static_cast<size_t>(options.chains - 1)];
        job.arg = &chase;
        const JobResult result = run_job(job);
        if (!result.ok) {
            emit_failed_row(session, {label}, row, "the driver run failed (no sample)");
            continue;
        }
        const uint64_t loads =
            result.iterations * LOADS_PER_ITERATION * static_cast<uint64_t>(options.chains);
        RowParams params;
        params.measurement = "latency";
        params.size = working_set;
        params.op = "load";
        params.pages = pages_name(options.pages);
        params.cpus = result.cpus;
        params.chains = options.chains;
        Figure ns;
        ns.report = [working_set, loads] { report_size_latency(working_set, loads); };
        ns.key = "us_per_operation";
        ns.factors = {1000.0};
        emit_row(session, params, {label}, {ns});
    }
    munmap(base, mapped);
    end_table(session);
}

}  // namespace

const Measurement LATENCY = {Command::LATENCY, "latency", memory_problem, rows, run};
