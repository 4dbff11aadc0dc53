#include <atomic>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SettingsTestDir.h"
#include "base/AtomicFile.h"
#include "settings/SettingsStore.h"

namespace tarvik {
namespace {

using test::SettingsTestDir;

// Each list written holds `n` copies of `n`, so a reader can tell a torn list from a whole one.
PortList Uniform(int n) {
    return PortList(static_cast<std::size_t>(n), n);
}

TEST(SettingsStoreThreads, ReadersAlwaysSeeWholeLists) {
    SettingsTestDir dir;
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    store.SetListenPorts(Uniform(3));
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::atomic<long> reads{0};

    std::vector<std::jthread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (writing.load()) {
                PortListPtr ports = store.GetListenPorts();
                TextListPtr hosts = store.GetIgnoreHosts();
                const int n = ports->empty() ? 0 : ports->front();
                if (ports->size() != static_cast<std::size_t>(n) ||
                    std::any_of(ports->begin(), ports->end(), [n](int p) { return p != n; }) ||
                    hosts->empty()) {
                    ++torn;
                }
                store.GetLogPorts(LogCategory::Outbound);
                store.GetNetIf();
                ++reads;
            }
        });
    }
    {
        std::jthread writer([&] {
            for (int i = 0; i < 2000; ++i) {
                store.SetListenPorts(Uniform(i % 40));
                store.SetIgnoreHosts({"10.0.0." + std::to_string(i % 250)});
                store.SetLogPorts(LogCategory::Outbound, Uniform(i % 7));
                store.SetNetIf(i);
            }
        });
    }
    writing = false;
    readers.clear();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(*store.GetListenPorts(), Uniform(1999 % 40));
    EXPECT_EQ(store.GetNetIf(), 1999);
}

TEST(SettingsStoreThreads, RefreshesWhileTheTrackerReads) {
    SettingsTestDir dir;
    std::atomic<int> builds{0};
    CSettingsStore store(
        dir.File(),
        [&] {
            int n = ++builds;
            return std::vector<std::string>(static_cast<std::size_t>(n % 5 + 1),
                                            "10.0.0." + std::to_string(n % 5 + 1));
        },
        dir.Path());
    std::atomic<bool> refreshing{true};
    std::atomic<int> torn{0};
    std::jthread reader([&] {
        while (refreshing.load()) {
            TextListPtr list = store.GetInterfaceAddresses();
            const std::string expected = "10.0.0." + std::to_string(list->size());
            for (const std::string& address : *list) {
                torn += address != expected;
            }
        }
    });
    for (int i = 0; i < 500; ++i) {
        store.GetInterfaceAddresses(true);
    }
    refreshing = false;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(builds.load(), 500);
}

TEST(SettingsStoreThreads, ConcurrentSavesAndProfileWritesLeaveAWholeFile) {
    SettingsTestDir dir;
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    {
        std::jthread saver([&] {
            for (int i = 0; i < 10; ++i) {
                store.SetThreshold(i);
                EXPECT_TRUE(store.Save());
            }
        });
        std::jthread widths([&] {
            for (int i = 0; i < 10; ++i) {
                EXPECT_TRUE(store.WriteProfileString("View", "columnwidths", std::to_string(i)));
            }
        });
    }
    CSettingsStore back(dir.File(), nullptr, dir.Path());
    EXPECT_EQ(back.GetThreshold(), 9);
    EXPECT_EQ(back.GetProfileString("View", "columnwidths"), "9");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1);  // the settings file, no temporary files
}

// The monitor rereads its file on a hangup while the workers read values and the window or a
// dialog saves: every reader sees whole values from one version of the file or another.
TEST(SettingsStoreThreads, ReloadWhileWorkersReadWriteAndSave) {
    SettingsTestDir dir;
    auto version = [](int n) {
        std::string ports;
        for (int i = 0; i < n; ++i) {
            ports += std::to_string(n) + ",";
        }
        return "[ScanWatch]\nthreshold=" + std::to_string(n) + "\nlistenports=" + ports + "\n";
    };
    test::WriteText(dir.File(), version(5));
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    std::atomic<bool> running{true};
    std::atomic<int> torn{0};

    std::vector<std::jthread> threads;
    threads.emplace_back([&] {  // a worker
        while (running.load()) {
            PortListPtr ports = store.GetListenPorts();
            const int n = ports->empty() ? 0 : ports->front();
            torn += ports->size() != static_cast<std::size_t>(n) ||
                    std::any_of(ports->begin(), ports->end(), [n](int p) { return p != n; });
            torn += store.GetThreshold() < 1;
            store.GetViewSwitches();
        }
    });
    threads.emplace_back([&] {  // the window and its dialogs
        for (int i = 0; i < 200; ++i) {
            store.SetNetIf(i % 4);
            store.SetMailHost("mail" + std::to_string(i % 3));
            store.Save();
            store.WriteProfileString("View", "columnwidths", std::to_string(i));
        }
    });
    for (int i = 0; i < 200; ++i) {  // the administrator and the hangup signal
        std::string error;
        if (!WriteFileAtomically(dir.File(), version(5 + i % 2), &error)) {
            ADD_FAILURE() << error;  // and stop the worker below rather than leave it running
            break;
        }
        store.Reload();
    }
    threads.pop_back();  // the window thread ends by itself
    running = false;
    threads.clear();
    EXPECT_EQ(torn.load(), 0);

    // Quiet again: a reload takes the file whole and leaves nothing to save.
    const std::string last = version(6);
    ASSERT_TRUE(WriteFileAtomically(dir.File(), last));
    store.Reload();
    EXPECT_EQ(store.GetThreshold(), 6);
    EXPECT_EQ(*store.GetListenPorts(), Uniform(6));
    ASSERT_TRUE(store.Save());
    EXPECT_EQ(test::ReadText(dir.File()), last);
}

}  // namespace
}  // namespace tarvik
