// copy_file, seek_large and raise_open_file_limit against real files and limits.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "gtest/gtest.h"
#include "lib_timing.h"

namespace {

constexpr int64_t GIB = int64_t{1} << 30;

std::string temp_root() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// Descriptors open in this process (the count includes the one opendir uses).
int open_descriptor_count() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

bool write_file(const std::string& path, const std::vector<unsigned char>& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return false;
    const bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return close(fd) == 0 && ok;
}

std::vector<unsigned char> read_file(const std::string& path) {
    std::vector<unsigned char> data;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return data;
    unsigned char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) data.insert(data.end(), chunk, chunk + got);
    close(fd);
    return data;
}

std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>((i * 31 + i / 251) & 0xFF);
    return data;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A private directory for the copies, removed with its files afterwards.
class CopyFile : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string templ = temp_root() + "/copy_file.XXXXXX";
        ASSERT_NE(mkdtemp(&templ[0]), nullptr);
        dir_ = templ;
        descriptors_before_ = open_descriptor_count();
        ASSERT_GT(descriptors_before_, 0);
    }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_before_) << "descriptor leaked";
        for (const char* name : {"source", "destination", "subdir"}) {
            const std::string path = dir_ + "/" + name;
            unlink(path.c_str());
            rmdir(path.c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }

    std::string dir_;
    int descriptors_before_ = 0;
};

TEST_F(CopyFile, EmptySourceCreatesOrTruncatesTheDestination) {
    ASSERT_TRUE(write_file(path("source"), {}));
    EXPECT_EQ(copy_file(path("source").c_str(), path("destination").c_str(), 0600), 0);
    ASSERT_TRUE(exists(path("destination")));
    EXPECT_TRUE(read_file(path("destination")).empty());

    ASSERT_TRUE(write_file(path("destination"), pattern(5000)));
    EXPECT_EQ(copy_file(path("source").c_str(), path("destination").c_str(), 0600), 0);
    EXPECT_TRUE(read_file(path("destination")).empty());
}

TEST_F(CopyFile, CopiesSmallAndMultiBufferFilesByteForByte) {
    const size_t sizes[] = {1, 100, 8191, 8192, 8193, 3 * 8192 + 123};
    for (size_t size : sizes) {
        const std::vector<unsigned char> data = pattern(size);
        ASSERT_TRUE(write_file(path("source"), data));
        // A longer old destination must not leave a tail behind.
        ASSERT_TRUE(write_file(path("destination"), pattern(size + 9000)));
        EXPECT_EQ(copy_file(path("source").c_str(), path("destination").c_str(), 0600), 0)
            << "size " << size;
        EXPECT_EQ(read_file(path("destination")), data) << "size " << size;
    }
}

TEST_F(CopyFile, CreatesTheDestinationWithTheGivenModeUnderTheUmask) {
    ASSERT_TRUE(write_file(path("source"), pattern(10)));
    const mode_t old_mask = umask(022);
    const int result = copy_file(path("source").c_str(), path("destination").c_str(), 0664);
    umask(old_mask);
    EXPECT_EQ(result, 0);
    struct stat st;
    ASSERT_EQ(stat(path("destination").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(CopyFile, MissingSourceFailsWithoutCreatingTheDestination) {
    EXPECT_EQ(copy_file(path("source").c_str(), path("destination").c_str(), 0600), -1);
    EXPECT_FALSE(exists(path("destination")));
}

TEST_F(CopyFile, DestinationInAMissingDirectoryFails) {
    ASSERT_TRUE(write_file(path("source"), pattern(100)));
    const std::string target = path("subdir") + "/destination";
    EXPECT_EQ(copy_file(path("source").c_str(), target.c_str(), 0600), -1);
    EXPECT_FALSE(exists(path("subdir")));
}

TEST_F(CopyFile, ReadErrorIsAFailureNotAnEarlyEnd) {
    // Opening a directory read-only works; reading it fails with EISDIR.
    ASSERT_EQ(mkdir(path("subdir").c_str(), 0700), 0);
    EXPECT_EQ(copy_file(path("subdir").c_str(), path("destination").c_str(), 0600), -1);
    // The destination was opened (and truncated) before the failing read.
    EXPECT_TRUE(exists(path("destination")));
}

TEST_F(CopyFile, ShortWriteFails) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    ASSERT_TRUE(write_file(path("source"), pattern(100)));
    EXPECT_EQ(copy_file(path("source").c_str(), "/dev/full", 0600), -1);
    // Nothing to write means no write to fail.
    ASSERT_TRUE(write_file(path("source"), {}));
    EXPECT_EQ(copy_file(path("source").c_str(), "/dev/full", 0600), 0);
}

// ---- seek_large on a sparse temporary file ----

class SeekLarge : public ::testing::Test {
   protected:
    void SetUp() override {
        std::string templ = temp_root() + "/seek_large.XXXXXX";
        fd_ = mkstemp(&templ[0]);
        ASSERT_GE(fd_, 0);
        unlink(templ.c_str());  // the descriptor keeps the file alive
    }
    void TearDown() override {
        if (fd_ >= 0) close(fd_);
    }
    // The real position, read with a 64-bit seek.
    int64_t position() const { return lseek(fd_, 0, SEEK_CUR); }

    int fd_ = -1;
};

TEST_F(SeekLarge, SetBeyondFourGibReturnsTheOffsetAndLandsThere) {
    const int64_t offsets[] = {0,       5,           GIB - 1,        GIB,
                               GIB + 1, 2 * GIB - 1, 2 * GIB,        3 * GIB + 5,
                               4 * GIB, 4 * GIB + 7, 5 * GIB + 12345};
    for (int64_t offset : offsets) {
        EXPECT_EQ(seek_large(fd_, offset, SEEK_SET), offset);
        EXPECT_EQ(position(), offset);
    }
    // SEEK_SET starts from 0 whatever the current position.
    ASSERT_EQ(seek_large(fd_, 3 * GIB + 5, SEEK_SET), 3 * GIB + 5);
    EXPECT_EQ(seek_large(fd_, GIB, SEEK_SET), GIB);
    EXPECT_EQ(position(), GIB);
}

TEST_F(SeekLarge, CurrentReturnsTheTrue64BitPosition) {
    ASSERT_EQ(seek_large(fd_, 3 * GIB + 5, SEEK_SET), 3 * GIB + 5);
    // 0xC0000005 would read as negative if taken from 32 bits.
    EXPECT_EQ(seek_large(fd_, 0, SEEK_CUR), 3 * GIB + 5);
    EXPECT_EQ(position(), 3 * GIB + 5);

    ASSERT_EQ(lseek(fd_, 2 * GIB - 1, SEEK_SET), 2 * GIB - 1);
    EXPECT_EQ(seek_large(fd_, 2, SEEK_CUR), 2 * GIB + 1);
    EXPECT_EQ(seek_large(fd_, 2 * GIB + 3, SEEK_CUR), 4 * GIB + 4);
    EXPECT_EQ(position(), 4 * GIB + 4);
}

TEST_F(SeekLarge, NegativeOffsetsMoveBackward) {
    ASSERT_EQ(seek_large(fd_, 5 * GIB + 9, SEEK_SET), 5 * GIB + 9);
    EXPECT_EQ(seek_large(fd_, -1, SEEK_CUR), 5 * GIB + 8);
    EXPECT_EQ(seek_large(fd_, -GIB, SEEK_CUR), 4 * GIB + 8);
    EXPECT_EQ(seek_large(fd_, -(2 * GIB + 3), SEEK_CUR), 2 * GIB + 5);
    EXPECT_EQ(seek_large(fd_, -(2 * GIB + 5), SEEK_CUR), 0);
    EXPECT_EQ(position(), 0);
}

TEST_F(SeekLarge, EndCountsFromTheSparseFileSize) {
    const int64_t size = 4 * GIB + 7;
    ASSERT_EQ(ftruncate(fd_, size), 0);
    EXPECT_EQ(seek_large(fd_, 0, SEEK_END), size);
    EXPECT_EQ(seek_large(fd_, -(2 * GIB + 3), SEEK_END), size - 2 * GIB - 3);
    EXPECT_EQ(position(), size - 2 * GIB - 3);
    EXPECT_EQ(seek_large(fd_, 2 * GIB, SEEK_END), size + 2 * GIB);
    EXPECT_EQ(seek_large(fd_, -size, SEEK_END), 0);
}

TEST_F(SeekLarge, OtherWhenceValuesMoveFromTheCurrentPosition) {
    ASSERT_EQ(lseek(fd_, 3 * GIB, SEEK_SET), 3 * GIB);
    EXPECT_EQ(seek_large(fd_, GIB + 1, 42), 4 * GIB + 1);
    EXPECT_EQ(position(), 4 * GIB + 1);
}

TEST_F(SeekLarge, FailsBeforeTheStartOfTheFile) {
    errno = 0;
    EXPECT_EQ(seek_large(fd_, -1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(seek_large(fd_, -(3 * GIB), SEEK_SET), -1);

    // Steps that succeed are not undone: the failing step leaves us at 0.
    ASSERT_EQ(lseek(fd_, GIB, SEEK_SET), GIB);
    EXPECT_EQ(seek_large(fd_, -(2 * GIB), SEEK_CUR), -1);
    EXPECT_EQ(position(), 0);

    ASSERT_EQ(ftruncate(fd_, 10), 0);
    EXPECT_EQ(seek_large(fd_, -11, SEEK_END), -1);
}

TEST_F(SeekLarge, BadDescriptorFailsForEveryWhence) {
    for (int whence : {SEEK_SET, SEEK_CUR, SEEK_END}) {
        errno = 0;
        EXPECT_EQ(seek_large(-1, 0, whence), -1) << "whence " << whence;
        EXPECT_EQ(errno, EBADF) << "whence " << whence;
    }
}

// ---- raise_open_file_limit, in children: limits are per process ----

// Sets the limits, raises, and checks that soft became hard and hard stayed.
int raise_from(rlim_t soft, rlim_t hard) {
    struct rlimit limits = {soft, hard};
    if (setrlimit(RLIMIT_NOFILE, &limits) != 0) return 10;
    if (raise_open_file_limit() != 0) return 1;
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0) return 11;
    if (limits.rlim_max != hard) return 2;
    if (limits.rlim_cur != hard) return 3;
    return 0;
}

TEST(RaiseOpenFileLimit, SoftLimitRisesToTheHardLimit) {
    struct rlimit limits;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limits), 0);
    const rlim_t hard = limits.rlim_max;
    ASSERT_GE(hard, 8u);
    const ChildOutcome out = run_in_child([hard] { return raise_from(hard / 2, hard); });
    EXPECT_TRUE(out.exited);
    EXPECT_EQ(out.exit_code, 0);
}

TEST(RaiseOpenFileLimit, KeepsALoweredHardLimit) {
    // An unprivileged process can lower its hard limit but never raise it back.
    const ChildOutcome out = run_in_child([] { return raise_from(32, 48); });
    EXPECT_TRUE(out.exited);
    EXPECT_EQ(out.exit_code, 0);
}

}  // namespace
