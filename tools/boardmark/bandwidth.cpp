// Memory bandwidth: passes over a buffer that no cache holds, by one worker
// and by several at once, each worker with buffers of its own.
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "measurements.h"
#include "tables.h"

namespace {

// The exercisers take 32-bit lengths: larger buffers go in pieces.
constexpr size_t PIECE = size_t{1} << 30;

struct Buffers {
    char* source = nullptr;
    char* destination = nullptr;  // copy only
    size_t bytes = 0;
    uintptr_t value = 0;  // what the next write pass stores
};

// Every worker writes one byte into each page of its buffers first, which
// gives it pages of its own (the mapping is shared copy-on-write after fork).
void touch_buffers(uint32_t iterations, void* arg) {
    if (iterations != 0) return;
    const Buffers* b = static_cast<const Buffers*>(arg);
    for (char* buffer : {b->source, b->destination}) {
        if (buffer == nullptr) continue;
        for (size_t done = 0; done < b->bytes; done += PIECE) {
            touch_pages(buffer + done, static_cast<uint32_t>(std::min(PIECE, b->bytes - done)));
        }
    }
}

void read_body(uint32_t iterations, void* arg) {
    const Buffers* b = static_cast<const Buffers*>(arg);
    int sum = 0;
    while (iterations-- > 0) {
        for (size_t done = 0; done < b->bytes; done += PIECE) {
            sum += sum_words(b->source + done,
                             static_cast<uint32_t>(std::min(PIECE, b->bytes - done)));
        }
    }
    sink_int(sum);
}

void write_body(uint32_t iterations, void* arg) {
    Buffers* b = static_cast<Buffers*>(arg);
    uintptr_t* words = reinterpret_cast<uintptr_t*>(b->source);
    const size_t count = b->bytes / sizeof(uintptr_t);
    while (iterations-- > 0) {
        const uintptr_t value = ++b->value;
        for (size_t i = 0; i < count; ++i) words[i] = value;
    }
}

void copy_body(uint32_t iterations, void* arg) {
    const Buffers* b = static_cast<const Buffers*>(arg);
    while (iterations-- > 0) std::memcpy(b->destination, b->source, b->bytes);
    sink_pointer(b->destination);
}

IntervalCallback body_of(BandwidthOp op) {
    switch (op) {
        case BandwidthOp::WRITE:
            return write_body;
        case BandwidthOp::COPY:
            return copy_body;
        case BandwidthOp::READ:
            break;
    }
    return read_body;
}

char* map_buffer(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<char*>(p);
}

bool copies(const BandwidthOptions& options) {
    return std::find(options.ops.begin(), options.ops.end(), BandwidthOp::COPY) !=
           options.ops.end();
}

uint64_t most_workers(const BandwidthOptions& options) {
    return static_cast<uint64_t>(*std::max_element(options.workers.begin(), options.workers.end()));
}

// "2 workers x 2 buffers of 32 MiB"
std::string need_text(const BandwidthOptions& options) {
    const uint64_t workers = most_workers(options);
    const uint64_t buffers = copies(options) ? 2 : 1;
    return std::to_string(workers) + " worker" + (workers == 1 ? "" : "s") + " x " +
           std::to_string(buffers) + " buffer" + (buffers == 1 ? "" : "s") + " of " +
           size_for_people(options.size_bytes);
}

std::string memory_problem(const MachineFacts& facts, const Options& all) {
    const BandwidthOptions& options = all.bandwidth;
    const uint64_t buffers = copies(options) ? 2 : 1;
    if (options.size_bytes > SIZE_MAX / 2) {
        return need_text(options) + " cannot be had on this target";
    }
    if (facts.mem_available_bytes != 0 &&
        options.size_bytes > facts.mem_available_bytes / (buffers * most_workers(options))) {
        return need_text(options) +
               " cannot be had: " + size_for_people(facts.mem_available_bytes) +
               " of memory available";
    }
    return "";
}

size_t rows(const MachineFacts&, const Options& all) {
    return all.bandwidth.ops.size() * all.bandwidth.workers.size();
}

void run(Session* session, const Options& all) {
    const BandwidthOptions& options = all.bandwidth;
    begin_table(session,
                "Memory bandwidth: " + size_for_people(options.size_bytes) +
                    " per worker, each worker its own buffers (MB = 10^6 bytes)",
                {"op", "workers", "MB/s per worker", "MB/s total (per worker x workers)"}, 2);

    Buffers b;
    b.bytes = static_cast<size_t>(options.size_bytes);
    b.source = map_buffer(b.bytes);
    if (b.source != nullptr && copies(options)) b.destination = map_buffer(b.bytes);
    if (b.source == nullptr || (copies(options) && b.destination == nullptr)) {
        const int error = errno;
        if (b.source != nullptr) munmap(b.source, b.bytes);
        measurement_failed(session, "bandwidth",
                           need_text(options) + " cannot be had: mmap: " + std::strerror(error));
        return;
    }

    for (BandwidthOp op : options.ops) {
        for (int count : options.workers) {
            const std::string row = std::string("bandwidth ") + op_name(op) + ", " +
                                    std::to_string(count) + " worker" + (count == 1 ? "" : "s");
            next_step(session, row);
            Buffers mine = b;
            if (op != BandwidthOp::COPY) mine.destination = nullptr;
            Job job;
            job.setup = touch_buffers;
            job.body = body_of(op);
            job.arg = &mine;
            job.workers = count;
            const JobResult result = run_job(job);
            const std::vector<std::string> head = {op_name(op), std::to_string(count)};
            if (!result.ok) {
                emit_failed_row(session, head, row, "the driver run failed (no sample)");
                continue;
            }
            RowParams params;
            params.measurement = "bandwidth";
            params.size = options.size_bytes;
            params.op = op_name(op);
            params.workers = count;
            params.cpus = result.cpus;
            const uint64_t bytes = options.size_bytes * result.iterations;
            Figure rate;
            rate.report = [bytes] { report_mb_per_sec(bytes); };
            rate.key = "mb_per_sec";
            rate.factors = {1.0, static_cast<double>(count)};
            rate.decimals = 0;
            emit_row(session, params, head, {rate});
        }
    }
    munmap(b.source, b.bytes);
    if (b.destination != nullptr) munmap(b.destination, b.bytes);
    end_table(session);
}

}  // namespace

const Measurement BANDWIDTH = {Command::BANDWIDTH, "bandwidth", memory_problem, rows, run};
