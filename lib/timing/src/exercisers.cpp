// Memory and file exercisers for benchmark bodies: the open-files limit, word
// sums, page touching, shuffled offset arrays, file copies and large seeks.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lib_timing.h"

// Seeks beyond 2 GiB need a 64-bit off_t on every target (the build sets
// _FILE_OFFSET_BITS=64); a 32-bit off_t would make them fail with EOVERFLOW.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

// Filled from getpagesize by the first touch_pages; 0 until then.
int page_size_cache = 0;

// Shuffle sequence shared by every make_shuffled_offsets call; 0 means not
// yet seeded. Kept unsigned so that its shifts and wrap-around are defined.
uint32_t shuffle_state = 0;

constexpr size_t COPY_BUFFER_BYTES = 8192;
constexpr int64_t SEEK_STEP = int64_t{1} << 30;

// One 32-bit word from any address: memcpy keeps unaligned buffers defined.
inline uint32_t load_word(const unsigned char* at) {
    uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Sum of WORDS consecutive words, as a block of its own; the fixed count lets
// the compiler unroll it completely.
template <unsigned WORDS>
inline uint32_t block_sum(const unsigned char* at) {
    uint32_t sum = 0;
    for (unsigned i = 0; i < WORDS; ++i) sum += load_word(at + 4 * i);
    return sum;
}

uint32_t shuffle_seed() {
    // The order of these calls is part of the sequence a process gets.
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const uint32_t ppid = static_cast<uint32_t>(getppid());
    const uint32_t first = static_cast<uint32_t>(rand());
    const uint32_t second = static_cast<uint32_t>(rand());
    return ppid ^ first ^ (pid << 6) ^ (second << 10);
}

int close_both_and_fail(int source_fd, int destination_fd) {
    close(source_fd);
    close(destination_fd);
    return -1;
}

}  // namespace

extern "C" {

int raise_open_file_limit(void) {
    struct rlimit limits;
    // Without valid limits there is nothing to copy the hard limit from.
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0) return -1;
    limits.rlim_cur = limits.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limits);
}

int sum_words(const void* buffer, uint32_t length_bytes) {
    const unsigned char* at = static_cast<const unsigned char*>(buffer);
    uint32_t remaining = length_bytes;
    uint32_t total = 0;
    for (; remaining >= 512; remaining -= 512, at += 512) total += block_sum<128>(at);
    for (; remaining >= 64; remaining -= 64, at += 64) total += block_sum<16>(at);
    for (; remaining >= 4; remaining -= 4, at += 4) total += load_word(at);
    return static_cast<int>(total);
}

void touch_pages(void* buffer, uint32_t length_bytes) {
    if (page_size_cache == 0) page_size_cache = getpagesize();
    if (page_size_cache <= 0) return;  // no usable page size: nothing to step by
    const uint32_t page = static_cast<uint32_t>(page_size_cache);
    unsigned char* at = static_cast<unsigned char*>(buffer);
    for (uint32_t remaining = length_bytes; remaining >= page; remaining -= page, at += page)
        *at = 1;
}

int* make_shuffled_offsets(uint32_t count, int stride) {
    // The largest offset, (count - 1) * stride, must be an int: a wrapped one
    // would send a chase outside its buffer. 64-bit arithmetic holds any
    // 32-bit count times any int stride.
    if (count > 0) {
        const int64_t last = static_cast<int64_t>(count - 1) * stride;
        if (last > INT_MAX || last < INT_MIN) return nullptr;
    }
    // Where count * 4 does not fit in size_t (32 bits wide on the target) a
    // short array would be overrun. Computed in 64 bits, so that a 64-bit
    // host sees no comparison that is always false.
    const uint64_t bytes = static_cast<uint64_t>(count) * sizeof(int);
    if (bytes > SIZE_MAX) return nullptr;
    int* offsets = static_cast<int*>(std::malloc(static_cast<size_t>(bytes)));
    if (offsets == nullptr) return nullptr;

    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = static_cast<int>(value);
        value += static_cast<uint32_t>(stride);
    }

    if (shuffle_state == 0) shuffle_state = shuffle_seed();
    if (count == 0) return offsets;

    for (uint32_t i = 0; i < count; ++i) {
        shuffle_state = static_cast<uint32_t>(rand()) ^ (shuffle_state << 1);
        const uint32_t j = shuffle_state % count;
        const int held = offsets[i];
        offsets[i] = offsets[j];
        offsets[j] = held;
    }
    return offsets;
}

int copy_file(const char* source, const char* destination, int mode) {
    const int source_fd = open(source, O_RDONLY);
    if (source_fd < 0) return -1;
    const int destination_fd =
        open(destination, O_RDWR | O_CREAT | O_TRUNC, static_cast<mode_t>(mode));
    if (destination_fd < 0) {
        close(source_fd);
        return -1;
    }

    unsigned char buffer[COPY_BUFFER_BYTES];
    for (;;) {
        const ssize_t got = read(source_fd, buffer, sizeof buffer);
        if (got == 0) break;
        // A read error would leave a truncated copy: report it.
        if (got < 0) return close_both_and_fail(source_fd, destination_fd);
        if (write(destination_fd, buffer, static_cast<size_t>(got)) != got)
            return close_both_and_fail(source_fd, destination_fd);
    }

    fsync(destination_fd);
    close(source_fd);
    close(destination_fd);
    return 0;
}

int64_t seek_large(int fd, int64_t offset, int whence) {
    if (whence == SEEK_SET) {
        lseek(fd, 0, SEEK_SET);
    } else if (whence == SEEK_END) {
        if (lseek(fd, 0, SEEK_END) == -1) return -1;
    }

    // Every seek moves by at most one step, forward or backward.
    const bool forward = offset >= 0;
    const int64_t step = forward ? SEEK_STEP : -SEEK_STEP;
    int64_t remaining = offset;
    while (forward ? remaining > step : remaining < step) {
        if (lseek(fd, static_cast<off_t>(step), SEEK_CUR) == -1) return -1;
        remaining -= step;
    }

    const off_t result = lseek(fd, static_cast<off_t>(remaining), SEEK_CUR);
    if (result == -1) return -1;
    return whence == SEEK_SET ? offset : static_cast<int64_t>(result);
}

}  // extern "C"
