// The worker set's ordered stop: nothing in flight is lost, and nothing slow holds it up.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "app/WorkerSet.h"
#include "lookup/ReverseLookupThread.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"
#include "support/FakeEventSource.h"
#include "support/RecordingWorker.h"
#include "tracking/DataThread.h"
#include "tracking/FilterThread.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Table rows set by the test; when held, a walk waits inside the source until released.
class HeldTableSource : public ITableSource {
public:
    std::optional<std::vector<TcpRow>> TcpRows() override {
        std::unique_lock lock(mutex_);
        walking_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        walking_ = false;
        return rows_;
    }

    void SetRows(std::vector<TcpRow> rows) {
        std::lock_guard lock(mutex_);
        rows_ = std::move(rows);
    }
    void Hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool WaitUntilWalking(std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [this] { return walking_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TcpRow> rows_;
    bool held_ = false;
    bool walking_ = false;
};

// Counts the rows inserted; can be made to block inside Apply, as the window's list does
// while its thread is busy.
class GatedList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override {
        std::unique_lock lock(mutex_);
        for (const RowOp& op : ops) {
            inserted_ += op.kind == RowOp::Kind::Insert ? 1 : 0;
        }
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
    }
    void Hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
        entered_ = false;
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool WaitForInserts(int count, std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return inserted_ >= count; });
    }
    bool WaitUntilEntered(std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [this] { return entered_; });
    }
    // Told after each merge, once the tracker has let go of its snapshot: a poll from then on
    // reads the table.
    void LiveCount(std::size_t) override {
        {
            std::lock_guard lock(mutex_);
            ++merges_;
        }
        changed_.notify_all();
    }
    bool WaitForMerges(int count, std::chrono::milliseconds deadline) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return merges_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int merges_ = 0;
    int inserted_ = 0;
    bool held_ = false;
    bool entered_ = false;
};

// A name service that answers every address, slowly.
class SlowResolver : public INameResolver {
public:
    std::optional<std::string> Resolve(const std::string& ipv4Text) override {
        std::this_thread::sleep_for(200ms);
        return "host-" + ipv4Text;
    }
};

class WorkerSetTest : public ::testing::Test {
protected:
    WorkerSetTest()
        : dir_(MakeTempDir()),
          settings_(
              dir_ / "Tarvik.conf", [] { return std::vector<std::string>{}; }, dir_) {}
    ~WorkerSetTest() override { std::filesystem::remove_all(dir_); }

    static std::filesystem::path MakeTempDir() {
        char pattern[] = "/tmp/tarvik-workers-XXXXXX";
        const char* dir = mkdtemp(pattern);
        return dir ? dir : "/tmp";
    }

    // The real poller, tracker and scan watcher around the given lookup worker, with a
    // recording logger.
    WorkerParts Parts(std::unique_ptr<CWorkerThread> lookup) {
        auto logger = std::make_unique<test::Recorder<ConnectionEnded>>();
        logger_ = logger.get();
        auto scanWatcher = std::make_unique<CScanWatcherThread>(settings_, hub_, nullptr,
                                                                std::string("127.0.0.1"));
        scanWatcher_ = scanWatcher.get();

        WorkerParts parts;
        parts.poller = Poller();
        parts.tracker = std::make_unique<CFilterThread>(settings_, hub_, list_);
        parts.lookup = std::move(lookup);
        parts.logger = std::move(logger);
        parts.scanWatcher = std::move(scanWatcher);
        return parts;
    }

    // The poller over this test's table.
    std::unique_ptr<CDataThread> Poller() {
        auto source = std::make_unique<HeldTableSource>();
        source_ = source.get();
        return std::make_unique<CDataThread>(
            settings_, hub_, std::move(source),
            std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp")));
    }

    std::filesystem::path dir_;
    CWorkerHub hub_;
    CSettingsStore settings_;
    GatedList list_;
    HeldTableSource* source_ = nullptr;
    test::Recorder<ConnectionEnded>* logger_ = nullptr;
    CScanWatcherThread* scanWatcher_ = nullptr;
};

TEST_F(WorkerSetTest, ConnectionEndedInTheLastSnapshotIsLoggedAndCountedAtStop) {
    settings_.SetReverseLookup(0);
    auto workers =
        std::make_unique<CWorkerSet>(hub_, Parts(std::make_unique<test::Recorder<ResolveHost>>()));
    source_->SetRows({testing::Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    hub_.Publish(Poll{});
    ASSERT_TRUE(list_.WaitForInserts(1, 5s));
    ASSERT_TRUE(list_.WaitForMerges(1, 5s));

    // The connection is gone from the next walk, which is still running when the stop begins.
    source_->SetRows({});
    source_->Hold();
    hub_.Publish(Poll{});
    ASSERT_TRUE(source_->WaitUntilWalking(5s));
    workers->Quit();
    source_->Release();
    workers->Join();

    const auto logged = logger_->TakeOf<ConnectionEnded>();
    ASSERT_EQ(logged.size(), 1u);
    ASSERT_TRUE(logged[0].record);
    EXPECT_EQ(logged[0].record->ipAddress, "10.0.0.9");
    EXPECT_EQ(logged[0].record->localPort, 21);
    EXPECT_NE(logged[0].record->closeTime, 0);
    EXPECT_EQ(scanWatcher_->Counter().UniqueCount("10.0.0.9"), 1);
    EXPECT_EQ(hub_.Registry().Size(), 0u);
}

TEST_F(WorkerSetTest, QuitReturnsWhileTheTrackerWaitsOnTheList) {
    settings_.SetReverseLookup(0);
    CWorkerSet workers(hub_, Parts(std::make_unique<test::Recorder<ResolveHost>>()));
    source_->SetRows({testing::Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    list_.Hold();
    hub_.Publish(Poll{});
    ASSERT_TRUE(list_.WaitUntilEntered(5s));

    // The window calls Quit on the thread the tracker is waiting for, joins on another, and
    // may call Quit again from a second close path while that join waits: Quit must come back.
    std::atomic<int> returned{0};
    auto quit = [&] {
        workers.Quit();
        ++returned;
    };
    std::jthread firstQuit(quit);
    std::jthread joiner;
    std::jthread secondQuit;
    const auto deadline = Clock::now() + 3s;
    while (returned < 1 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (returned == 1) {
        joiner = std::jthread([&] { workers.Join(); });
        std::this_thread::sleep_for(100ms);  // the join is under way
        secondQuit = std::jthread(quit);
    }
    while (returned < 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const int quitsReturned = returned;
    list_.Release();
    firstQuit.join();
    if (joiner.joinable()) {
        joiner.join();
        secondQuit.join();
    }
    EXPECT_EQ(quitsReturned, 2);
}

TEST_F(WorkerSetTest, PendingReverseLookupsDoNotHoldUpTheStop) {
    std::vector<TcpRow> rows;
    for (int i = 1; i <= 40; ++i) {
        const std::string remote = "10.0.1." + std::to_string(i);
        rows.push_back(testing::Row("10.0.0.5", 21, remote.c_str(), 40000, TcpState::Established));
    }
    auto lookup =
        std::make_unique<CReverseLookupThread>(settings_, hub_, std::make_unique<SlowResolver>());
    CWorkerSet workers(hub_, Parts(std::move(lookup)));
    source_->SetRows(rows);
    hub_.Publish(Poll{});
    ASSERT_TRUE(list_.WaitForInserts(40, 5s));

    // Forty lookups of 200 ms each are queued: the stop drops them instead of waiting 8 s.
    const auto start = Clock::now();
    workers.Quit();
    workers.Join();
    EXPECT_LT(Clock::now() - start, 3s);
}

TEST_F(WorkerSetTest, EveryPollAfterTheFirstStillReachesTheTracker) {
    settings_.SetReverseLookup(0);
    WorkerParts parts = Parts(std::make_unique<test::Recorder<ResolveHost>>());
    // The poller and tracker as the program pairs them, over this test's table.
    AddPollerAndTracker(parts, settings_, hub_, list_, nullptr, Poller());
    CWorkerSet workers(hub_, std::move(parts));
    // Each tick polls, as the ticker does; one that comes while the tracker still merges the
    // last snapshot is skipped, and a later one goes through.
    auto pollUntilInserted = [&](int count) {
        for (int tick = 0; tick < 100; ++tick) {
            hub_.Publish(Poll{});
            if (list_.WaitForInserts(count, 50ms)) {
                return true;
            }
        }
        return false;
    };
    source_->SetRows({testing::Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    ASSERT_TRUE(pollUntilInserted(1));
    source_->SetRows({testing::Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established),
                      testing::Row("10.0.0.5", 21, "10.0.0.8", 40001, TcpState::Established)});
    EXPECT_TRUE(pollUntilInserted(2)) << "the tracker never let go of the last snapshot";
}

TEST(ChooseAcquisitionTest, TheCommandLineWinsOverTheSettingsFile) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / "tarvik-choose-acquisition.conf";
    std::ofstream(file) << "[General]\nacquisition=poll\n";
    CSettingsStore settings(file, [] { return std::vector<std::string>{}; });
    std::filesystem::remove(file);
    AcquisitionFactories factories;
    factories.destroy = [](std::string*) -> std::unique_ptr<IEventSource> {
        return std::make_unique<testing::CFakeEventSource>();
    };

    AcquisitionChoice fromFile = ChooseAcquisition(settings, std::nullopt, factories);
    EXPECT_EQ(fromFile.mode, AcquisitionMode::Poll);
    AcquisitionChoice fromLine = ChooseAcquisition(settings, AcquisitionMode::Destroy, factories);
    EXPECT_EQ(fromLine.mode, AcquisitionMode::Destroy);
    EXPECT_TRUE(fromLine.source);
    EXPECT_EQ(fromFile.Summary(), "acquisition: poll");
    EXPECT_EQ(fromLine.Summary(), "acquisition: destroy");
}

}  // namespace
}  // namespace tarvik
