// The poller with the kernel's notices: what it sends and when it dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "acquisition/ProcessTable.h"
#include "base/UniqueFd.h"
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
using testing::CFakeEventSource;
using testing::Row;

TcpEvent EndedEvent(TcpRow row, std::time_t time = 2000) {
    row.state = TcpState::Closed;
    return {TcpEvent::Kind::Ended, row, time};
}

// What the poller sent, in order: a snapshot or a batch of notices.
enum class Sent { Snapshot, Notices };
constexpr Sent kDump = Sent::Snapshot;
constexpr Sent kEvents = Sent::Notices;

// Remembers what the poller sent in order, with the events of each batch. It takes each
// snapshot at once, as the tracker does, so the poller's next read is never held back.
class CPollerRecorder : public CWorker<std::variant<Snapshot, ConnectionNotices>> {
public:
    CPollerRecorder() : CWorker("poller recorder") {
        Subscribe<Snapshot>();
        Subscribe<ConnectionNotices>();
    }
    ~CPollerRecorder() override { Stop(); }

    // What came once `count` arrived; what came by the deadline otherwise.
    std::vector<Sent> WaitForSent(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 5s, [&] { return sent_.size() >= count; });
        return sent_;
    }
    std::vector<ConnectionEvents> Batches() {
        std::lock_guard lock(mutex_);
        return batches_;
    }

private:
    void Handle(std::variant<Snapshot, ConnectionNotices>& message) override {
        {
            std::lock_guard lock(mutex_);
            if (auto* snapshot = std::get_if<Snapshot>(&message)) {
                snapshot->inFlight.reset();
                sent_.push_back(Sent::Snapshot);
            } else {
                sent_.push_back(Sent::Notices);
                batches_.push_back(std::move(std::get<ConnectionNotices>(message).events));
            }
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Sent> sent_;
    std::vector<ConnectionEvents> batches_;
};

class PollerEventsTest : public ::testing::Test {
protected:
    PollerEventsTest()
        : settings(std::filesystem::temp_directory_path() / "tarvik-acq-absent" / "t.conf",
                   [] { return std::vector<std::string>{}; }) {
        hub.Registry().SetTraceSink([this](std::string_view text) {
            std::lock_guard lock(traceMutex);
            traces.emplace_back(text);
        });
    }
    ~PollerEventsTest() override { hub.Clear(); }

    // A poller over `table` with the fake notices, on the test's clock.
    std::unique_ptr<CDataThread> MakePoller(std::unique_ptr<CFakeEventSource> source,
                                            std::unique_ptr<CProcessTable> processes = nullptr) {
        auto table = std::make_unique<CFixtureTableSource>();
        fixture = table.get();
        events = source.get();
        auto poller = std::make_unique<CDataThread>(
            settings, hub, std::move(table),
            std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp")),
            std::move(processes));
        poller->SetEventSource(std::move(source), [this] { return now; });
        return poller;
    }

    long TracesContaining(std::string_view text) {
        std::lock_guard lock(traceMutex);
        return std::count_if(traces.begin(), traces.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    CWorkerHub hub;
    CSettingsStore settings;
    CFixtureTableSource* fixture = nullptr;
    CFakeEventSource* events = nullptr;
    std::chrono::steady_clock::time_point now{};
    std::mutex traceMutex;
    std::vector<std::string> traces;
};

TEST_F(PollerEventsTest, NoticesGoFirstClassifiedByTheListenersOfTheLastDump) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto poller = MakePoller(std::make_unique<CFakeEventSource>());
    fixture->SetRows({Row("0.0.0.0", 8080, "0.0.0.0", 0, TcpState::Listen, 1)});
    poller->Poll();
    recorder.WaitForSent(1);
    // One socket of the listener's port and one that went out, both ended since that dump.
    events->Push(EndedEvent(Row("10.0.0.5", 8080, "10.0.0.9", 40000, TcpState::Established, 2)));
    events->Push(EndedEvent(Row("10.0.0.5", 40001, "10.0.0.9", 8080, TcpState::Established, 3)));
    poller->Poll();
    recorder.WaitForSent(3);
    // Without notices, none are sent.
    poller->Poll();

    EXPECT_EQ(recorder.WaitForSent(4), (std::vector<Sent>{kDump, kEvents, kDump, kDump}));
    const auto batches = recorder.Batches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 2u);
    EXPECT_EQ(batches[0][0].kind, ConnectionEvent::Kind::Ended);
    EXPECT_EQ(batches[0][0].time, 2000);
    EXPECT_EQ(batches[0][0].record.category, Category::Inbound);
    EXPECT_EQ(batches[0][0].record.cookie, 2u);
    EXPECT_EQ(batches[0][0].record.ipAddress, "10.0.0.9");
    EXPECT_NE(batches[0][1].record.category, Category::Inbound);
    hub.Clear();
}

// A notice carries the socket's inode: the process holding it is named at once, not at the
// next reconciliation dump a minute later.
TEST_F(PollerEventsTest, ANewSocketOfANoticeIsNamedByItsProcess) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false),
                             std::make_unique<CProcessTable>());
    poller->Poll();  // the first dump
    recorder.WaitForSent(1);
    const UniqueFd held(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(held.Valid());
    struct stat status {};
    ASSERT_EQ(fstat(held.Get(), &status), 0);
    TcpRow row = Row("127.0.0.1", 40000, "127.0.0.1", 8080, TcpState::Established, 7);
    row.inode = status.st_ino;
    events->Push({TcpEvent::Kind::Changed, row, 2000});
    poller->Poll();

    recorder.WaitForSent(2);  // the first dump, then the notice
    const auto batches = recorder.Batches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 1u);
    EXPECT_EQ(batches[0][0].record.pid, getpid());
    EXPECT_FALSE(batches[0][0].record.command.empty());
    hub.Clear();
}

// A connection that began and ended between two polls is gone from every process: no
// descriptor is read for it, however many there are.
TEST_F(PollerEventsTest, ASocketThatEndedInTheSameBatchIsNotLookedFor) {
    auto processes = std::make_unique<CProcessTable>();
    const CProcessTable* table = processes.get();
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false),
                             std::move(processes));
    poller->Poll();  // the first dump
    const std::size_t before = table->ProcessesRead();
    for (std::uint64_t cookie = 10; cookie < 20; ++cookie) {
        TcpRow row = Row("127.0.0.1", 40000, "127.0.0.1", 8080, TcpState::Established, cookie);
        row.inode = 900000 + cookie;  // held by no process
        events->Push({TcpEvent::Kind::Changed, row, 2000});
        events->Push(EndedEvent(row));
    }
    poller->Poll();
    EXPECT_EQ(table->ProcessesRead(), before);
    EXPECT_EQ(table->Unresolved(), 0u);
}

// The eBPF notices of a connect and of an accept name their process: the records have it at
// once and /proc is not searched, now or at the next dump.
TEST_F(PollerEventsTest, AProcessNamedByTheNoticeIsTakenWithoutASearch) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto processes = std::make_unique<CProcessTable>();
    const CProcessTable* table = processes.get();
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false),
                             std::move(processes));
    poller->Poll();  // the first dump
    recorder.WaitForSent(1);
    struct Case {
        TcpEvent::Kind kind;
        ConnectionEvent::Kind sent;
        int pid;
        const char* command;
    };
    const Case cases[] = {
        {TcpEvent::Kind::Changed, ConnectionEvent::Kind::Changed, 4321, "curl"},
        {TcpEvent::Kind::Owner, ConnectionEvent::Kind::Owner, 4322, "sshd"},
    };
    std::vector<std::uint64_t> inodes;
    for (const Case& test : cases) {
        TcpRow row =
            Row("127.0.0.1", 40000, "127.0.0.1", 8080, TcpState::Established, 7 + inodes.size());
        row.inode = 987654 + inodes.size();  // held by no process here: a search finds nothing
        inodes.push_back(row.inode);
        TcpEvent event{test.kind, row, 2000};
        event.pid = test.pid;
        event.command = test.command;
        events->Push(event);
    }
    const std::size_t before = table->ProcessesRead();
    poller->Poll();

    recorder.WaitForSent(2);
    const auto batches = recorder.Batches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].command);
        EXPECT_EQ(batches[0][i].kind, cases[i].sent);
        EXPECT_EQ(batches[0][i].record.pid, cases[i].pid);
        EXPECT_EQ(batches[0][i].record.command, cases[i].command);
        EXPECT_EQ(batches[0][i].record.user, "root") << "uid 0 of the row";
        EXPECT_TRUE(table->Settled(inodes[i]));
    }
    EXPECT_EQ(table->ProcessesRead(), before);
    hub.Clear();
}

TEST_F(PollerEventsTest, NoticesThatCameAfterTheLastPollAndALastReadGoOnAtTheStop) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto poller = MakePoller(std::make_unique<CFakeEventSource>());
    poller->Start();
    events->Push(EndedEvent(Row("10.0.0.5", 8080, "10.0.0.9", 40000, TcpState::Established, 2)));
    poller->PostQuit();
    poller->Join();

    EXPECT_EQ(recorder.WaitForSent(2), (std::vector<Sent>{kEvents, kDump}));
    const auto batches = recorder.Batches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 1u);
    EXPECT_EQ(batches[0][0].record.cookie, 2u);
    hub.Clear();
}

// A notice goes on when the source says it queued one, not at the next tick.
TEST_F(PollerEventsTest, NoticesGoOnAsTheSourceQueuesThemWithoutATick) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false));
    poller->Start();
    events->Push(EndedEvent(Row("10.0.0.5", 40001, "10.0.0.9", 8080, TcpState::Established, 3)));
    events->Signal();
    EXPECT_EQ(recorder.WaitForSent(1), (std::vector<Sent>{kEvents}));
    EXPECT_EQ(fixture->TcpSnapshots(), 0);  // no tick came: nothing was read
    poller->Stop();
    hub.Clear();
}

TEST_F(PollerEventsTest, WithoutADumpEveryTickItDumpsFirstEveryMinuteAndAfterALoss) {
    CPollerRecorder recorder;
    recorder.Start();
    hub.Register(&recorder);
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false));
    poller->Poll();  // the first: dumps
    recorder.WaitForSent(1);
    now += 30s;
    poller->Poll();  // not yet
    events->Lose();
    poller->Poll();  // at once after the loss
    recorder.WaitForSent(3);
    now += 59s;
    poller->Poll();  // a minute after the last dump only
    now += 1s;
    poller->Poll();
    EXPECT_EQ(fixture->TcpSnapshots(), 3);
    EXPECT_EQ(TracesContaining("resync after lost events"), 1);
    // The loss is told to the tracker, and through it to event readers, before the dump.
    EXPECT_EQ(recorder.WaitForSent(4), (std::vector<Sent>{kDump, kEvents, kDump, kDump}));
    hub.Clear();
}

TEST_F(PollerEventsTest, AResyncThatFailsIsTriedAgainAtTheNextTick) {
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false));
    poller->Poll();
    events->Lose();
    fixture->SetFailing(true);
    poller->Poll();
    fixture->SetFailing(false);
    poller->Poll();  // no new loss, but the live set is not exact yet
    poller->Poll();
    EXPECT_EQ(fixture->TcpSnapshots(), 3);
}

// A list that the tracker's thread fills and the test waits on.
class CountingList : public IConnectionList {
public:
    void Apply(std::vector<RowOp>) override {}
    void LiveCount(std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            counts_.push_back(count);
        }
        changed_.notify_all();
    }
    // The live counts once `calls` arrived; empty at the deadline.
    std::vector<std::size_t> WaitForCounts(std::size_t calls) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 5s, [&] { return counts_.size() >= calls; })) {
            return {};
        }
        return counts_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> counts_;
};

class PollerAndTrackerTest : public PollerEventsTest {
protected:
    PollerAndTrackerTest() {
        tracker.Start();
        logger.Start();
        hub.Register(&tracker);
        hub.Register(&logger);
    }
    ~PollerAndTrackerTest() override { hub.Clear(); }

    // The remote ports logged since the last call, once the tracker's messages reached the logger.
    std::vector<int> TakeLoggedPorts() {
        hub.Publish(Poll{});  // behind everything the tracker sent
        std::vector<int> ports;
        if (!logger.WaitFor(1)) {
            return {-1};
        }
        for (;;) {
            auto received = logger.Take();
            bool marker = false;
            for (const auto& item : received) {
                if (std::holds_alternative<Poll>(item)) {
                    marker = true;
                } else if (const auto& ended = std::get<ConnectionEnded>(item); ended.record) {
                    ports.push_back(ended.record->remotePort);
                }
            }
            if (marker) {
                return ports;
            }
            logger.WaitFor(1);
        }
    }

    CountingList list;
    CFilterThread tracker{settings, hub, list, [] { return std::time_t{1000}; }};
    test::Recorder<ConnectionEnded, Poll> logger;
};

// The tracker lets the poller read again once the list has its merge: without that, every poll
// after the first would be skipped and the list would freeze.
TEST_F(PollerAndTrackerTest, ASecondPollReachesTheTracker) {
    auto poller = MakePoller(std::make_unique<CFakeEventSource>());
    const TcpRow a = Row("10.0.0.5", 21, "10.0.0.9", 40001, TcpState::Established, 1);
    const TcpRow b = Row("10.0.0.5", 21, "10.0.0.9", 40002, TcpState::Established, 2);
    fixture->SetRows({a});
    poller->Poll();
    ASSERT_EQ(list.WaitForCounts(1), (std::vector<std::size_t>{1}));
    fixture->SetRows({a, b});
    poller->Poll();
    EXPECT_EQ(list.WaitForCounts(2), (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(TracesContaining("poll skipped"), 0);
}

TEST_F(PollerAndTrackerTest, AResyncAfterALossEndsNothingThatStillLives) {
    // No dump at every tick: the one after the loss is the resync.
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false));
    const TcpRow a = Row("10.0.0.5", 21, "10.0.0.9", 40001, TcpState::Established, 1);
    const TcpRow b = Row("10.0.0.5", 21, "10.0.0.9", 40002, TcpState::Established, 2);
    fixture->SetRows({a, b});
    poller->Poll();
    ASSERT_EQ(list.WaitForCounts(1), (std::vector<std::size_t>{2}));

    // A short connection was seen, others were lost: the dump after them ends nothing alive.
    events->Push(EndedEvent(Row("10.0.0.5", 21, "10.0.0.8", 40003, TcpState::Established, 3)));
    events->Lose();
    poller->Poll();
    EXPECT_EQ(list.WaitForCounts(3), (std::vector<std::size_t>{2, 2, 2}));
    EXPECT_EQ(fixture->TcpSnapshots(), 2);
    EXPECT_EQ(TakeLoggedPorts(), (std::vector<int>{40003}));
}

// A burst of short connections between two ticks costs the logger one wake-up, not one per
// connection, and every one of them is logged.
TEST_F(PollerAndTrackerTest, ABurstOfShortConnectionsReachesTheLoggerInOneWake) {
    auto poller = MakePoller(std::make_unique<CFakeEventSource>(AcquisitionMode::Events, false));
    poller->Poll();
    ASSERT_EQ(list.WaitForCounts(1), (std::vector<std::size_t>{0}));
    std::vector<int> expected;
    for (int i = 0; i < 50; ++i) {
        const int port = 41000 + i;
        events->Push(EndedEvent(Row("10.0.0.5", 21, "10.0.0.8", port, TcpState::Established,
                                    static_cast<std::uint64_t>(100 + i))));
        expected.push_back(port);
    }
    poller->Poll();
    ASSERT_EQ(list.WaitForCounts(2).size(), 2u);
    EXPECT_EQ(TakeLoggedPorts(), expected);
    // The burst, then the marker; both may come in one.
    EXPECT_LE(logger.Wakes(), 2u);
}

TEST_F(PollerAndTrackerTest, AFailedDumpAfterNoticesEndsOnlyWhatTheyEnded) {
    auto poller = MakePoller(std::make_unique<CFakeEventSource>());
    const TcpRow a = Row("10.0.0.5", 21, "10.0.0.9", 40001, TcpState::Established, 1);
    const TcpRow b = Row("10.0.0.5", 21, "10.0.0.9", 40002, TcpState::Established, 2);
    fixture->SetRows({a, b});
    poller->Poll();
    ASSERT_EQ(list.WaitForCounts(1), (std::vector<std::size_t>{2}));

    events->Push(EndedEvent(a));
    fixture->SetFailing(true);
    poller->Poll();
    EXPECT_EQ(list.WaitForCounts(2), (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(TakeLoggedPorts(), (std::vector<int>{40001}));

    // The table again, without the ended one: nothing more ends, nothing comes back.
    fixture->SetFailing(false);
    fixture->SetRows({b});
    poller->Poll();
    EXPECT_EQ(list.WaitForCounts(3), (std::vector<std::size_t>{2, 1, 1}));
    EXPECT_EQ(TakeLoggedPorts(), (std::vector<int>{}));
}

}  // namespace
}  // namespace tarvik
