#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "app/InstanceLock.h"
#include "app/Ticker.h"

namespace tarvik {
namespace {

std::filesystem::path TempLockPath() {
    char pattern[] = "/tmp/tarvik-lock-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return std::filesystem::path(dir ? dir : "/tmp") / "sub" / "tarvikd.lock";
}

TEST(InstanceLockTest, SecondHolderIsRefusedUntilTheFirstLetsGo) {
    const auto path = TempLockPath();
    std::string error;
    auto first = CInstanceLock::Acquire(path, &error);
    ASSERT_TRUE(first) << error;

    EXPECT_FALSE(CInstanceLock::Acquire(path, &error));
    EXPECT_NE(error.find("another instance is running"), std::string::npos) << error;

    first.reset();
    EXPECT_TRUE(CInstanceLock::Acquire(path, &error)) << error;
    std::filesystem::remove_all(path.parent_path().parent_path());
}

TEST(InstanceLockTest, KernelReleasesTheLockOfAKilledProcess) {
    const auto path = TempLockPath();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto lock = CInstanceLock::Acquire(path);
        const char byte = lock ? '1' : '0';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, '1');
    EXPECT_FALSE(CInstanceLock::Acquire(path));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(CInstanceLock::Acquire(path));
    close(ready[0]);
    close(ready[1]);
    std::filesystem::remove_all(path.parent_path().parent_path());
}

// A temporary folder with a lock folder and a settings folder in it, removed at the end.
class SettingsLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvik-slock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        locks_ = dir_ / "locks";
        std::filesystem::create_directories(locks_);
        std::filesystem::create_directories(dir_ / "etc");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
    std::filesystem::path locks_;
};

TEST_F(SettingsLockTest, OneFileByAnyNameHasOneHolderNamedInTheRefusal) {
    const auto file = dir_ / "etc" / "Tarvik.conf";
    std::ofstream(file) << "[General]\n";
    std::filesystem::create_directory_symlink(dir_ / "etc", dir_ / "linked-etc");
    std::filesystem::create_symlink(file, dir_ / "Tarvik-link.conf");

    std::string error;
    auto first = CInstanceLock::AcquireForSettings(file, locks_, &error);
    ASSERT_TRUE(first) << error;
    for (const auto& other : {dir_ / "Tarvik-link.conf", dir_ / "linked-etc" / "Tarvik.conf",
                              dir_ / "etc" / ".." / "etc" / "Tarvik.conf"}) {
        error.clear();
        EXPECT_FALSE(CInstanceLock::AcquireForSettings(other, locks_, &error)) << other;
        EXPECT_EQ(error, "another Tarvik monitor uses " + other.string() + " (pid " +
                             std::to_string(getpid()) + ")");
    }
    first.reset();
    EXPECT_TRUE(CInstanceLock::AcquireForSettings(dir_ / "Tarvik-link.conf", locks_, &error))
        << error;
}

TEST_F(SettingsLockTest, DifferentFilesDoNotConflict) {
    auto first = CInstanceLock::AcquireForSettings(dir_ / "etc" / "a.conf", locks_);
    auto second = CInstanceLock::AcquireForSettings(dir_ / "etc" / "b.conf", locks_);
    auto third = CInstanceLock::AcquireForSettings(dir_ / "a.conf", locks_);
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_TRUE(third);
}

TEST_F(SettingsLockTest, FileCreatedOrReplacedBySaveKeepsItsLock) {
    // A first start finds no file and creates it; every save replaces it by a rename, with a
    // new inode. A second monitor must still be refused after each.
    const auto file = dir_ / "etc" / "Tarvik.conf";
    auto first = CInstanceLock::AcquireForSettings(file, locks_);
    ASSERT_TRUE(first);
    std::ofstream(file) << "[General]\n";
    EXPECT_FALSE(CInstanceLock::AcquireForSettings(file, locks_));
    std::ofstream(dir_ / "etc" / "Tarvik.conf.tmp") << "[View]\n";
    std::filesystem::rename(dir_ / "etc" / "Tarvik.conf.tmp", file);
    EXPECT_FALSE(CInstanceLock::AcquireForSettings(file, locks_));
}

TEST_F(SettingsLockTest, LockSitsInTheLockFolderAndNothingGoesBesideTheSettings) {
    const auto file = dir_ / "etc" / "Tarvik.conf";
    auto lock = CInstanceLock::AcquireForSettings(file, locks_);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "etc"));
    std::ifstream in(locks_ / SettingsLockName(file));
    std::string pid;
    in >> pid;
    EXPECT_EQ(pid, std::to_string(getpid()));
}

TEST_F(SettingsLockTest, LockFolderIsTheRuntimeFolderElseRunElseAPrivateTemporaryOne) {
    LockFolderPlaces places;
    places.runtimeDir = (dir_ / "runtime").string();
    places.systemRun = dir_ / "no-run";
    places.temporary = dir_;
    std::filesystem::create_directory(places.runtimeDir);

    std::string error;
    EXPECT_EQ(ChooseLockFolder(places, &error), dir_ / "runtime" / "tarvik") << error;
    struct stat info {};
    ASSERT_EQ(stat((dir_ / "runtime" / "tarvik").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    places.runtimeDir.clear();
    std::filesystem::create_directory(dir_ / "run");
    places.systemRun = dir_ / "run";
    if (access(places.systemRun.c_str(), W_OK) == 0) {
        EXPECT_EQ(ChooseLockFolder(places, &error), dir_ / "run" / "tarvik") << error;
    }

    places.systemRun = dir_ / "no-run";
    const auto temporary = dir_ / ("tarvik-" + std::to_string(geteuid()));
    EXPECT_EQ(ChooseLockFolder(places, &error), temporary) << error;
}

TEST_F(SettingsLockTest, AFolderPlantedInTmpNeitherServesNorStopsTheStart) {
    const auto temporary = dir_ / ("tarvik-" + std::to_string(geteuid()));
    enum class Plant { OpenToAll, Link, AnotherUsers };
    for (const Plant plant : {Plant::OpenToAll, Plant::Link, Plant::AnotherUsers}) {
        SCOPED_TRACE(static_cast<int>(plant));
        std::filesystem::remove_all(temporary);
        std::filesystem::remove_all(dir_ / "home");
        if (plant == Plant::Link) {
            std::filesystem::create_directory_symlink(locks_, temporary);
        } else {
            std::filesystem::create_directory(temporary);
            chmod(temporary.c_str(), plant == Plant::OpenToAll ? 0777 : 0700);
        }
        if (plant == Plant::AnotherUsers && chown(temporary.c_str(), 65534, 65534) != 0) {
            continue;  // not root: no other user to give it to
        }
        LockFolderPlaces places;
        places.systemRun = dir_ / "no-run";
        places.temporary = dir_;
        // An account without a home has nowhere else: refused, naming the folder.
        std::string error;
        EXPECT_FALSE(ChooseLockFolder(places, &error));
        EXPECT_NE(error.find(temporary.string() + " is not a private folder of this user"),
                  std::string::npos)
            << error;
        // With a home, the user's own state folder serves, made private on the way.
        places.stateHome = dir_ / "home" / ".local" / "state";
        EXPECT_EQ(ChooseLockFolder(places, &error), places.stateHome / "tarvik") << error;
        struct stat info {};
        ASSERT_EQ(stat((places.stateHome / "tarvik").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_EQ(info.st_uid, geteuid());
        EXPECT_TRUE(CInstanceLock::AcquireForSettings(dir_ / "etc" / "Tarvik.conf",
                                                      places.stateHome / "tarvik", &error))
            << error;
    }
}

TEST(TickerTest, FiresEveryTickAtStartThenByPeriodAndStops) {
    std::mutex mutex;
    std::condition_variable changed;
    int fast = 0;
    int slow = 0;
    auto count = [&](int& counter) {
        return [&] {
            {
                std::lock_guard lock(mutex);
                ++counter;
            }
            changed.notify_all();
        };
    };
    CTicker ticker(
        {{std::chrono::milliseconds(10), count(fast)}, {std::chrono::hours(1), count(slow)}});
    ticker.Start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return fast >= 3; }));
    }
    ticker.Stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(slow, 1);  // once at start, never again within the hour
    const int fastAtStop = fast;
    EXPECT_GE(fastAtStop, 3);
}

}  // namespace
}  // namespace tarvik
