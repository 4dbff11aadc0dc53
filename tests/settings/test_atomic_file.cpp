#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SettingsTestDir.h"
#include "base/AtomicFile.h"

namespace tarvik {
namespace {

using test::ReadText;
using test::SettingsTestDir;
using test::WriteText;
using ::testing::HasSubstr;

std::size_t EntriesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator()));
}

TEST(AtomicFile, ReplacesAndKeepsPermissions) {
    SettingsTestDir dir;
    WriteText(dir.File(), "old");
    ::chmod(dir.File().c_str(), 0640);
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(dir.File(), "new text", &error)) << error;
    EXPECT_EQ(ReadText(dir.File()), "new text");
    struct stat info {};
    ASSERT_EQ(::stat(dir.File().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(AtomicFile, ASymbolicLinkStaysALink) {
    SettingsTestDir dir;
    std::filesystem::create_directory(dir.Path() / "dotfiles");
    const auto real = dir.Path() / "dotfiles" / "Tarvik.conf";
    WriteText(real, "old");
    std::filesystem::create_symlink(real, dir.File());
    ASSERT_TRUE(WriteFileAtomically(dir.File(), "new"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File()));
    EXPECT_EQ(ReadText(real), "new");
}

TEST(AtomicFile, AnotherUsersLinkIsNeitherFollowedNorReplaced) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a link to another user needs root";
    }
    SettingsTestDir dir;
    const auto aim = dir.Path() / "aim";
    WriteText(aim, "aim");
    std::filesystem::create_symlink(aim, dir.File());
    ASSERT_EQ(::lchown(dir.File().c_str(), 65534, 65534), 0);
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(dir.File(), "new", &error));
    EXPECT_THAT(error, HasSubstr("is a link of uid 65534"));
    EXPECT_EQ(ReadText(aim), "aim");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.File()));
    EXPECT_EQ(EntriesIn(dir.Path()), 2u);
}

TEST(AtomicFile, ReadsWholeFilesAndSaysWhyNot) {
    SettingsTestDir dir;
    std::string text;
    std::string failure;
    EXPECT_EQ(ReadWholeFile(dir.File(), text, failure), ENOENT);
    const std::string big(20000, 'x');
    WriteText(dir.File(), big);
    failure.clear();
    EXPECT_EQ(ReadWholeFile(dir.File(), text, failure), 0);
    EXPECT_EQ(text, big);
    EXPECT_EQ(ReadWholeFile(dir.Path(), text, failure), EINVAL);
    EXPECT_THAT(failure, HasSubstr("not a regular file"));
}

TEST(AtomicFile, RefusesLargeFilesAndFifosWithoutBlocking) {
    SettingsTestDir dir;
    std::string text;
    std::string failure;
    WriteText(dir.File(), std::string(10, 'x'));
    EXPECT_EQ(ReadWholeFile(dir.File(), text, failure, 10), 0);
    EXPECT_EQ(text, std::string(10, 'x'));
    WriteText(dir.File(), std::string(11, 'x'));
    EXPECT_EQ(ReadWholeFile(dir.File(), text, failure, 10), EFBIG);
    EXPECT_THAT(failure, HasSubstr("larger than 10 bytes"));
    EXPECT_TRUE(text.empty());

    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int code = 0;
    EXPECT_TRUE(
        test::FinishesWithoutAWriter(fifo, [&] { code = ReadWholeFile(fifo, text, failure); }));
    EXPECT_EQ(code, EINVAL);
    EXPECT_THAT(failure, HasSubstr("not a regular file"));
}

TEST(AtomicFile, NeverReplacesAFifoNorLeavesATemporaryBesideIt) {
    SettingsTestDir dir;
    const auto fifo = dir.Path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(fifo, "x", &error));
    EXPECT_THAT(error, HasSubstr("not a regular file"));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(AtomicFile, CreatesMissingFolders) {
    SettingsTestDir dir;
    const auto file = dir.Path() / "a" / "b" / "Tarvik.conf";
    ASSERT_TRUE(WriteFileAtomically(file, "x"));
    EXPECT_EQ(ReadText(file), "x");
}

TEST(AtomicFile, InterruptedBeforeRenameLeavesTheOldFile) {
    SettingsTestDir dir;
    WriteText(dir.File(), "old");
    AtomicWriteSeams seams;
    bool reached = false;
    seams.beforeRename = [&] {
        reached = true;
        return false;
    };
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(dir.File(), "new", &error, {.seams = &seams}));
    EXPECT_TRUE(reached);
    EXPECT_THAT(error, HasSubstr("interrupted"));
    EXPECT_EQ(ReadText(dir.File()), "old");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);  // no temporary file left behind
}

TEST(AtomicFile, FullDiskLeavesTheOldFile) {
    SettingsTestDir dir;
    WriteText(dir.File(), "old");
    AtomicWriteSeams seams;
    int calls = 0;
    // The first write goes through in part, then the disk is full.
    seams.write = [&](int fd, const void* data, std::size_t size) -> ssize_t {
        if (++calls == 1) {
            return ::write(fd, data, size / 2);
        }
        errno = ENOSPC;
        return -1;
    };
    std::string error;
    EXPECT_FALSE(
        WriteFileAtomically(dir.File(), "a much longer new text", &error, {.seams = &seams}));
    EXPECT_EQ(calls, 2);
    EXPECT_THAT(error, HasSubstr("No space left"));
    EXPECT_EQ(ReadText(dir.File()), "old");
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
}

TEST(AtomicFile, ShortWritesAreContinued) {
    SettingsTestDir dir;
    AtomicWriteSeams seams;
    seams.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
        return ::write(fd, data, size > 3 ? 3 : size);
    };
    ASSERT_TRUE(WriteFileAtomically(dir.File(), "0123456789", nullptr, {.seams = &seams}));
    EXPECT_EQ(ReadText(dir.File()), "0123456789");
}

TEST(AtomicFile, UnwritablePlacesFailWithAReason) {
    SettingsTestDir dir;
    WriteText(dir.Path() / "plain", "file");
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(dir.Path() / "plain" / "Tarvik.conf", "x", &error));
    EXPECT_THAT(error, HasSubstr("cannot create folder"));

    std::filesystem::create_directory(dir.Path() / "folder");
    error.clear();
    EXPECT_FALSE(WriteFileAtomically(dir.Path() / "folder", "x", &error));
    EXPECT_THAT(error, HasSubstr("not a regular file"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "folder"));
    EXPECT_EQ(EntriesIn(dir.Path()), 2u);
}

}  // namespace
}  // namespace tarvik
