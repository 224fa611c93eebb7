// Which seeks seek_large issues, and raise_open_file_limit's use of the rlimit
// calls. The link wraps lseek64, getrlimit64 and setrlimit64: the recorders
// below log each call and pass it on to the real one, except where a test
// asks for getrlimit to fail.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

struct SeekCall {
    int64_t offset;
    int whence;
    bool operator==(const SeekCall& other) const {
        return offset == other.offset && whence == other.whence;
    }
};

std::ostream& operator<<(std::ostream& out, const SeekCall& call) {
    return out << "(" << call.offset << ", " << call.whence << ")";
}

bool recording = false;
std::vector<SeekCall> seeks;

bool fail_getrlimit = false;
int setrlimit_calls = 0;
struct rlimit64 last_setrlimit = {0, 0};

}  // namespace

extern "C" {
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_getrlimit64(int resource, struct rlimit64* limits);
int __real_setrlimit64(int resource, const struct rlimit64* limits);

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (recording) seeks.push_back({offset, whence});
    return __real_lseek64(fd, offset, whence);
}

int __wrap_getrlimit64(int resource, struct rlimit64* limits) {
    if (fail_getrlimit) {
        errno = EFAULT;
        return -1;
    }
    return __real_getrlimit64(resource, limits);
}

int __wrap_setrlimit64(int resource, const struct rlimit64* limits) {
    ++setrlimit_calls;
    last_setrlimit = *limits;
    return __real_setrlimit64(resource, limits);
}
}

namespace {

constexpr int64_t GIB = int64_t{1} << 30;

class SeekTrace : public ::testing::Test {
   protected:
    void SetUp() override {
        const char* dir = std::getenv("TMPDIR");
        std::string templ = std::string(dir != nullptr && *dir ? dir : "/tmp") + "/trace.XXXXXX";
        fd_ = mkstemp(&templ[0]);
        ASSERT_GE(fd_, 0);
        unlink(templ.c_str());
    }
    void TearDown() override { close(fd_); }

    // seek_large's result, with the seeks it issued left in seeks.
    int64_t traced(int fd, int64_t offset, int whence) {
        seeks.clear();
        recording = true;
        const int64_t result = seek_large(fd, offset, whence);
        recording = false;
        return result;
    }

    int fd_ = -1;
};

using Calls = std::vector<SeekCall>;

TEST_F(SeekTrace, SetSeeksToZeroThenWholeStepsThenTheRest) {
    EXPECT_EQ(traced(fd_, 3 * GIB + 5, SEEK_SET), 3 * GIB + 5);
    EXPECT_EQ(
        seeks,
        (Calls{{0, SEEK_SET}, {GIB, SEEK_CUR}, {GIB, SEEK_CUR}, {GIB, SEEK_CUR}, {5, SEEK_CUR}}));
}

TEST_F(SeekTrace, ExactlyOneStepIsASingleFinalSeek) {
    EXPECT_EQ(traced(fd_, GIB, SEEK_SET), GIB);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_SET}, {GIB, SEEK_CUR}}));
    EXPECT_EQ(traced(fd_, 2 * GIB, SEEK_SET), 2 * GIB);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_SET}, {GIB, SEEK_CUR}, {GIB, SEEK_CUR}}));
}

TEST_F(SeekTrace, CurrentWithZeroIsOneRelativeSeek) {
    ASSERT_EQ(lseek(fd_, 12345, SEEK_SET), 12345);
    EXPECT_EQ(traced(fd_, 0, SEEK_CUR), 12345);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_CUR}}));
}

TEST_F(SeekTrace, EndSeeksToTheEndThenStepsBackward) {
    ASSERT_EQ(ftruncate(fd_, 3 * GIB), 0);
    EXPECT_EQ(traced(fd_, -(2 * GIB + 5), SEEK_END), GIB - 5);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_END}, {-GIB, SEEK_CUR}, {-GIB, SEEK_CUR}, {-5, SEEK_CUR}}));
    EXPECT_EQ(traced(fd_, -GIB, SEEK_END), 2 * GIB);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_END}, {-GIB, SEEK_CUR}}));
}

TEST_F(SeekTrace, NoSingleSeekMovesMoreThanOneStep) {
    for (int64_t offset : {5 * GIB + 3, 4 * GIB - 1, -(4 * GIB + 1)}) {
        const int whence = offset < 0 ? SEEK_END : SEEK_SET;
        if (offset < 0) {
            ASSERT_EQ(ftruncate(fd_, 6 * GIB), 0);
        }
        ASSERT_NE(traced(fd_, offset, whence), -1) << offset;
        int64_t moved = 0;
        for (size_t i = 1; i < seeks.size(); ++i) {
            EXPECT_EQ(seeks[i].whence, SEEK_CUR);
            EXPECT_LE(seeks[i].offset, GIB);
            EXPECT_GE(seeks[i].offset, -GIB);
            moved += seeks[i].offset;
        }
        EXPECT_EQ(moved, offset);
    }
}

TEST_F(SeekTrace, StopsAtTheFirstFailingSeek) {
    EXPECT_EQ(traced(fd_, -(3 * GIB), SEEK_SET), -1);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_SET}, {-GIB, SEEK_CUR}}));
    EXPECT_EQ(traced(fd_, -5, SEEK_SET), -1);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_SET}, {-5, SEEK_CUR}}));
    EXPECT_EQ(traced(-1, 4 * GIB, SEEK_END), -1);
    EXPECT_EQ(seeks, (Calls{{0, SEEK_END}}));
}

TEST(RaiseOpenFileLimitCalls, FailedGetrlimitReturnsMinusOneWithoutSetrlimit) {
    const ChildOutcome out = run_in_child([] {
        fail_getrlimit = true;
        const int result = raise_open_file_limit();
        fail_getrlimit = false;
        if (result != -1) return 1;
        if (setrlimit_calls != 0) return 2;
        return 0;
    });
    EXPECT_TRUE(out.exited);
    EXPECT_EQ(out.exit_code, 0);
}

TEST(RaiseOpenFileLimitCalls, SetsSoftToHardOnceAndReturnsSetrlimitsResult) {
    const ChildOutcome out = run_in_child([] {
        struct rlimit limits;
        if (getrlimit(RLIMIT_NOFILE, &limits) != 0) return 10;
        const rlim_t hard = limits.rlim_max;
        limits.rlim_cur = hard / 2;
        if (setrlimit(RLIMIT_NOFILE, &limits) != 0) return 11;
        setrlimit_calls = 0;
        if (raise_open_file_limit() != 0) return 1;
        if (setrlimit_calls != 1) return 2;
        if (last_setrlimit.rlim_cur != hard || last_setrlimit.rlim_max != hard) return 3;
        return 0;
    });
    EXPECT_TRUE(out.exited);
    EXPECT_EQ(out.exit_code, 0);
}

}  // namespace
