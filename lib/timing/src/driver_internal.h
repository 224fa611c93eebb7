// What the driver's two halves share privately: the worker's state record,
// the values a worker inherits from the process that forked it, the pipe
// bytes, and the BSD-style signal installation both halves use.
#ifndef LIB_TIMING_DRIVER_INTERNAL_H
#define LIB_TIMING_DRIVER_INTERNAL_H

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "lib_timing.h"

enum WorkerPhase : int32_t { WarmUp = 0, Timing = 1, WindDown = 2 };

// One per process; filled by worker_run in each worker.
struct WorkerState {
    int32_t phase;  // a WorkerPhase
    IntervalCallback setup_fn;
    IntervalCallback body_fn;
    IntervalCallback teardown_fn;
    int32_t worker_index;
    int reply_fd;    // write end of the reply pipe
    int go_fd;       // read end of the go pipe
    int collect_fd;  // read end of the collect pipe
    int quit_fd;     // read end of the quit pipe
    int32_t enough_us;
    uint32_t timed_iterations;
    int32_t worker_count;
    int32_t sample_goal;
    void* user_arg;
    uint32_t idle_iterations;
    int32_t awaiting_first;
    int32_t samples_taken;
    int32_t set_bytes;
    SampleSet* own_samples;
};

namespace timing_internal {

// The protocol of one run with p workers over four pipes, each shared by all
// workers. A worker's boundary is its next_interval call between two body
// calls. The parent starts each of its steps only once the step before is
// complete. Every writer writes its bytes in one write; a set image is
// set_image_bytes(repetitions) bytes.
//
// | Step    | Writer       | Bytes          | Pipe    | When                                     |
// |---------|--------------|----------------|---------|------------------------------------------|
// | ready   | each worker  | 1 READY_BYTE   | reply   | at its first boundary; then it idles at  |
// |         |              |                |         | 1 iteration, polling go                  |
// | go      | parent       | p GO_BYTEs     | go      | after p ready bytes and the warm-up      |
// |         |              |                |         | sleep; each worker takes 1 and starts    |
// |         |              |                |         | timing                                   |
// | done    | each worker  | 1 DONE_BYTE    | reply   | when its timing ends; then it idles at 1 |
// |         |              |                |         | iteration, polling collect               |
// | collect | parent       | 1 COLLECT_BYTE | collect | after p done bytes, then again after     |
// |         |              |                |         | each whole image: p in all               |
// | image   | the worker   | its set image  | reply   | at once; then it calls teardown(0) and   |
// |         | that took a  |                |         | blocks reading quit                      |
// |         | collect byte |                |         |                                          |
// | quit    | parent       | p QUIT_BYTEs   | quit    | after p images, with SIGCHLD back to     |
// |         |              |                |         | default; then it publishes the merged    |
// |         |              |                |         | set; each worker takes 1 and exits       |
//
// Because all ready bytes are read before the go bytes go out, and all done
// bytes before the first collect byte, counted bytes never mix with image
// bytes on the reply pipe. A worker ending early, SIGTERM to the parent or a
// failed wait, read or write abandons the run: every worker gets SIGTERM.
//
// The bytes' values carry no meaning, only their number; they just make a
// pipe dump readable.
constexpr unsigned char READY_BYTE = 'r';
constexpr unsigned char GO_BYTE = 'g';
constexpr unsigned char DONE_BYTE = 'd';
constexpr unsigned char COLLECT_BYTE = 'c';
constexpr unsigned char QUIT_BYTE = 'q';

// Written by the driver before it forks; read by the workers.
extern struct sigaction saved_term_handler;  // SIGTERM before the driver's handler
extern struct sigaction saved_chld_handler;  // SIGCHLD before the driver's handler
extern volatile sig_atomic_t term_received;  // set by the driver's SIGTERM handler
// The driver's pid as a new worker sees it right after fork; 0 outside a
// driver-launched worker.
extern pid_t launching_pid;

// Installs handler with BSD semantics (stays installed, interrupted waitpid
// and read restart; select still fails with EINTR). Returns the previous
// disposition through previous when it is not null.
void install_handler(int signal_number, void (*handler)(int), struct sigaction* previous);
// Puts a saved disposition back.
void restore_handler(int signal_number, const struct sigaction& saved);
bool is_default(const struct sigaction& disposition);

// The allocator behind the gathering buffers, for tests (malloc-compatible;
// null restores malloc).
using GatherAllocator = void* (*)(size_t bytes);
void set_gather_allocator(GatherAllocator allocator);

// Size of a set image holding n samples (at least room for 11), or -1 when
// it does not fit in an int.
int64_t set_image_bytes(int64_t n);

// The worker's side of the protocol. Returns only when the worker's sample
// set cannot be allocated.
void worker_run(IntervalCallback setup, IntervalCallback body, IntervalCallback teardown,
                int worker_index, int reply_fd, int go_fd, int collect_fd, int quit_fd, int enough,
                unsigned iterations, int worker_count, int repetitions, void* user_arg);

// One interval boundary: the iteration count of the next body call.
uint32_t next_interval(WorkerState* state);

// The parent's side of the protocol.
void gather_results(int reply_fd, int go_fd, int collect_fd, int quit_fd, const pid_t* pids,
                    int parallel, int warmup, int repetitions);

}  // namespace timing_internal

#endif
