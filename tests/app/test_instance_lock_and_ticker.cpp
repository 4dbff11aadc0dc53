#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
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
