#include "logging/LogFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "LogTestSupport.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

class LogFileTest : public ::testing::Test {
protected:
    // The reason Open gives for `name` in the folder, or "" when it opened.
    std::string Refusal(const std::string& name) {
        CLogFile file;
        std::string reason;
        if (file.Open(dir_.Path().string(), name, reason)) {
            return "";
        }
        EXPECT_FALSE(file.IsOpen());
        return reason;
    }

    void Put(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
    }

    TempDir dir_;
    TempDir elsewhere_;
};

TEST_F(LogFileTest, RefusesNamesThatAreNotAPlainFileOfItsOwn) {
    const std::string victim = elsewhere_ / "victim";
    std::ofstream(victim) << "secret\n";
    ::chmod(victim.c_str(), 0600);

    fs::create_symlink(victim, dir_ / "link");
    EXPECT_EQ(Refusal("link"), "is a symbolic link");
    fs::create_symlink(elsewhere_ / "not-there", dir_ / "dangling");
    EXPECT_EQ(Refusal("dangling"), "is a symbolic link");
    EXPECT_FALSE(fs::exists(elsewhere_ / "not-there"));

    fs::create_hard_link(victim, dir_ / "hardlink");
    EXPECT_EQ(Refusal("hardlink"), "has 2 links");
    EXPECT_EQ(ReadFile(victim), "secret\n");

    fs::create_directory(dir_ / "dir");
    EXPECT_EQ(Refusal("dir"), "is not a regular file");

    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0) << std::strerror(errno);
    EXPECT_EQ(Refusal("fifo"), "is not a regular file");
    // With a reader the open itself succeeds; the kind check must still refuse it.
    const UniqueFd reader(::open((dir_ / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader.Valid()) << std::strerror(errno);
    EXPECT_EQ(Refusal("fifo"), "is not a regular file");
}

TEST_F(LogFileTest, RefusesAFileOfAnotherOwner) {
    Put("theirs", "");
    if (::chown((dir_ / "theirs").c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "cannot give a file to another user: " << std::strerror(errno);
    }
    EXPECT_EQ(Refusal("theirs"), "owned by uid 65534");
}

TEST_F(LogFileTest, CreatesTheFoldersLastComponentOnly) {
    CLogFile file;
    std::string reason;
    const fs::path fresh = dir_.Path() / "fresh";
    ASSERT_TRUE(file.Open(fresh.string(), "inbound. 7. 5.2003", reason)) << reason;
    EXPECT_TRUE(fs::is_regular_file(fresh / "inbound. 7. 5.2003"));
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::others_write, fs::perms::none);

    const fs::path deep = dir_.Path() / "a" / "b";
    EXPECT_FALSE(file.Open(deep.string(), "x", reason));
    EXPECT_EQ(reason, std::strerror(ENOENT));
    EXPECT_FALSE(fs::exists(dir_.Path() / "a"));
}

TEST_F(LogFileTest, NoticesAFileOrFolderRemovedOrReplacedUnderIt) {
    std::string reason;
    CLogFile file;
    const fs::path folder = dir_.Path() / "logs";
    ASSERT_TRUE(file.Open(folder.string(), "log", reason)) << reason;
    EXPECT_FALSE(file.Gone());
    fs::remove(folder / "log");
    EXPECT_TRUE(file.Gone());

    ASSERT_TRUE(file.Open(folder.string(), "log", reason)) << reason;
    fs::rename(folder, dir_.Path() / "old");
    EXPECT_TRUE(file.Gone());
    fs::create_directory(folder);
    EXPECT_TRUE(file.Gone());
}

TEST_F(LogFileTest, FailedOrShortWritesLeaveNoPartialLine) {
    Put("log", "first\n");
    int calls = 0;
    ssize_t result = 1;  // 1: pass to write(2)
    std::size_t accept = 0;
    CLogFile file([&](int fd, const void* data, std::size_t size) -> ssize_t {
        ++calls;
        if (accept > 0) {
            const std::size_t part = std::min(size, accept);
            accept = 0;
            return ::write(fd, data, part);
        }
        if (result <= 0) {
            errno = ENOSPC;
            return result;
        }
        return ::write(fd, data, size);
    });
    std::string reason;
    ASSERT_TRUE(file.Open(dir_.Path().string(), "log", reason)) << reason;

    // Part of the line reaches the file, then the disk is full.
    accept = 4;
    result = -1;
    int error = 0;
    EXPECT_FALSE(file.WriteLine("second line", &error));
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(ReadFile(dir_ / "log"), "first\n");

    // A write that takes nothing at all ends too, instead of spinning.
    result = 0;
    calls = 0;
    EXPECT_FALSE(file.WriteLine("third", &error));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(error, ENOSPC);

    // Interrupted writes are repeated; short ones continued.
    int interrupted = 0;
    CLogFile retrying([&](int fd, const void* data, std::size_t size) -> ssize_t {
        if (interrupted++ == 0) {
            errno = EINTR;
            return -1;
        }
        return ::write(fd, data, std::min<std::size_t>(size, 3));
    });
    ASSERT_TRUE(retrying.Open(dir_.Path().string(), "log", reason)) << reason;
    EXPECT_TRUE(retrying.WriteLine("second line", &error));
    EXPECT_EQ(ReadFile(dir_ / "log"), "first\nsecond line\n");
}

TEST_F(LogFileTest, AFileEndingInATornLineContinuesOnAFreshLine) {
    Put("log", "complete\ntorn fragm");
    CLogFile file;
    std::string reason;
    ASSERT_TRUE(file.Open(dir_.Path().string(), "log", reason)) << reason;
    ASSERT_TRUE(file.WriteLine("next"));
    ASSERT_TRUE(file.WriteLine("after"));
    EXPECT_EQ(ReadFile(dir_ / "log"), "complete\ntorn fragm\nnext\nafter\n");
}

}  // namespace
}  // namespace tarvik
