#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"
#include "support/FakeProc.h"
#include "support/RecordingNotifier.h"
#include "tracking/DataThread.h"
#include "tracking/WorkerHub.h"

namespace tarvik {
namespace {

using testing::CFaultySource;
using testing::CSnapshotRecorder;
using testing::Row;

using CMessageLog = test::RecordingNotifier;

std::vector<int> Numbers(const std::vector<CSnapshotRecorder::Event>& events) {
    std::vector<int> numbers;
    for (const auto& event : events) {
        numbers.push_back(event.number);
    }
    return numbers;
}

class DataThreadTest : public ::testing::Test {
protected:
    DataThreadTest()
        : settings(std::filesystem::temp_directory_path() / "tarvik-acq-absent" / "t.conf",
                   [] { return std::vector<std::string>{}; }) {
        hub.Registry().SetTraceSink([this](std::string_view text) {
            std::lock_guard lock(traceMutex);
            traces.emplace_back(text);
        });
        hub.SetUserNotifier(notifier);
        hub.Register(&recorder);
        recorder.Start();
    }
    ~DataThreadTest() override { hub.Clear(); }

    std::unique_ptr<CDataThread> MakePoller(std::vector<TcpRow> rows) {
        return MakePoller(std::make_unique<CFixtureTableSource>(std::move(rows)));
    }
    std::unique_ptr<CDataThread> MakePoller(std::unique_ptr<ITableSource> source,
                                            std::unique_ptr<CProcessTable> processes = nullptr) {
        return std::make_unique<CDataThread>(
            settings, hub, std::move(source),
            std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp")),
            std::move(processes));
    }

    std::vector<std::string> Traces() {
        std::lock_guard lock(traceMutex);
        return traces;
    }
    long TracesContaining(std::string_view text) {
        const auto all = Traces();
        return std::count_if(all.begin(), all.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    long Count(int number) {
        const auto events = recorder.Events();
        return std::count_if(events.begin(), events.end(),
                             [&](const auto& event) { return event.number == number; });
    }

    std::shared_ptr<CMessageLog> notifier = std::make_shared<CMessageLog>();
    CWorkerHub hub;
    CSettingsStore settings;
    CSnapshotRecorder recorder;
    std::mutex traceMutex;
    std::vector<std::string> traces;
};

TEST_F(DataThreadTest, EachPollIsOneFramedSnapshotInTableOrder) {
    auto poller = MakePoller({Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established),
                              Row("0.0.0.0", 21, "0.0.0.0", 0, TcpState::Listen)});
    poller->Poll();
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    EXPECT_EQ(Numbers(recorder.Events()),
              (std::vector<int>{kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEntry,
                                kMsgSnapshotEnd, kMsgSnapshotBegin, kMsgSnapshotEntry,
                                kMsgSnapshotEntry, kMsgSnapshotEnd}));
    const auto records = recorder.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].serviceText, "inbound ftp");
    EXPECT_EQ(records[0].category, Category::Inbound);
    EXPECT_EQ(records[1].serviceText, "ftp server");
    EXPECT_EQ(records[3].serviceText, "ftp server");
}

TEST_F(DataThreadTest, EntriesCarryTheOwningProcessOfTheirSocket) {
    testing::CFakeProc proc;
    proc.AddProcess(4321, "sshd", {777});
    TcpRow held = Row("10.0.0.5", 22, "10.0.0.9", 40000, TcpState::Established);
    held.inode = 777;
    TcpRow orphan = Row("10.0.0.5", 22, "10.0.0.8", 40001, TcpState::Established);
    orphan.inode = 778;  // no process holds it
    auto poller =
        MakePoller(std::make_unique<CFixtureTableSource>(std::vector<TcpRow>{held, orphan}),
                   std::make_unique<CProcessTable>(proc.Root()));
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    const auto records = recorder.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].pid, 4321);
    EXPECT_EQ(records[0].command, "sshd");
    EXPECT_EQ(records[1].pid, 0);
    EXPECT_EQ(records[1].command, "");
}

TEST_F(DataThreadTest, NoSourceSendsNoSnapshotAndSaysSo) {
    CDataThread poller(settings, hub, nullptr, std::make_shared<const CServicesDatabase>());
    poller.Poll();
    poller.Poll();
    // A poll that works afterwards shows, by arriving alone, that the failed ones sent nothing.
    auto working = MakePoller({Row("10.0.0.5", 50000, "10.0.0.9", 50001, TcpState::Established)});
    working->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    EXPECT_EQ(Numbers(recorder.Events()),
              (std::vector<int>{kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEnd}));
    const auto messages = notifier->Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "Unable to read the connection table: no source for the connection table. The "
              "connection list is kept as it was.");
    EXPECT_EQ(TracesContaining("failed 2 times since "), 1);
}

TEST_F(DataThreadTest, FailedDumpsSendNoSnapshotAndTheOthersAreWhole) {
    auto source = std::make_unique<CFaultySource>(
        std::vector<TcpRow>{Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established),
                            Row("0.0.0.0", 21, "0.0.0.0", 0, TcpState::Listen),
                            Row("10.0.0.5", 50000, "10.0.0.7", 443, TcpState::Established)});
    auto* faulty = source.get();
    faulty->failEveryNth = 10;
    auto poller = MakePoller(std::move(source));
    constexpr int kPolls = 31;
    for (int i = 0; i < kPolls; ++i) {
        poller->Poll();
    }
    ASSERT_TRUE(recorder.WaitForSnapshots(kPolls - 3));
    EXPECT_EQ(faulty->Dumps(), kPolls);
    EXPECT_EQ(Count(kMsgSnapshotBegin), kPolls - 3);
    EXPECT_EQ(Count(kMsgSnapshotEnd), kPolls - 3);
    // Every snapshot sent is framed and holds all three rows.
    const auto events = recorder.Events();
    for (std::size_t i = 0; i < events.size(); i += 5) {
        ASSERT_LE(i + 5, events.size());
        EXPECT_EQ(events[i].number, kMsgSnapshotBegin);
        for (std::size_t row = 1; row <= 3; ++row) {
            EXPECT_EQ(events[i + row].number, kMsgSnapshotEntry);
        }
        EXPECT_EQ(events[i + 4].number, kMsgSnapshotEnd);
    }
    // The user hears of the first failure with its reason and of the first recovery; the
    // later failures are counted in the trace.
    EXPECT_EQ(notifier->Messages(),
              (std::vector<std::string>{
                  "Unable to read the connection table: No buffer space available. The "
                  "connection list is kept as it was.",
                  "The connection table is read again, after 1 failed attempt."}));
    EXPECT_EQ(TracesContaining("reading the connection table failed 2 times since "), 1);
    EXPECT_EQ(TracesContaining("reading the connection table failed 3 times since "), 1);
    EXPECT_EQ(TracesContaining("No buffer space available"), 3);
}

TEST_F(DataThreadTest, TenFailuresInARowSayTheMonitorIsBlindUntilADumpWorks) {
    auto source = std::make_unique<CFixtureTableSource>(
        std::vector<TcpRow>{Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    auto* fixture = source.get();
    auto poller = MakePoller(std::move(source));
    fixture->SetFailing(true, EMFILE);
    for (int i = 0; i < 12; ++i) {
        poller->Poll();
    }
    fixture->SetFailing(false);
    poller->Poll();
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    EXPECT_EQ(Count(kMsgSnapshotBegin), 2);
    const auto messages = notifier->Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0],
              "Unable to read the connection table: Too many open files. The connection list "
              "is kept as it was.");
    EXPECT_EQ(messages[1],
              "The connection table could not be read 10 times in a row (Too many open files): "
              "new and ended connections are not seen until it can.");
    EXPECT_EQ(messages[2], "The connection table is read again, after 12 failed attempts.");

    // After a blind spell, a new failure is news again.
    fixture->SetFailing(true, EMFILE);
    poller->Poll();
    EXPECT_EQ(notifier->Messages().size(), 4u);
}

TEST_F(DataThreadTest, WithAGateAPollWaitsForTheTrackerToMergeTheLastSnapshot) {
    auto poller = MakePoller({Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    auto gate = std::make_shared<CSnapshotGate>();
    poller->SetSnapshotGate(gate);
    poller->Poll();
    EXPECT_TRUE(gate->Busy());  // the tracker has not merged it yet
    poller->Poll();
    poller->Poll();
    EXPECT_EQ(TracesContaining("poll skipped: tracker busy"), 2);
    gate->Leave();  // what the tracker does after the merge
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    EXPECT_EQ(Count(kMsgSnapshotBegin), 2);
    EXPECT_EQ(recorder.Records().size(), 2u);
}

TEST_F(DataThreadTest, APollThatSendsNothingLeavesTheGateItself) {
    auto source = std::make_unique<CFixtureTableSource>(
        std::vector<TcpRow>{Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    auto* fixture = source.get();
    auto poller = MakePoller(std::move(source));
    auto gate = std::make_shared<CSnapshotGate>();
    poller->SetSnapshotGate(gate);
    fixture->SetFailing(true);
    poller->Poll();
    EXPECT_FALSE(gate->Busy());
    fixture->SetFailing(false);
    poller->Poll();  // not skipped: nothing was in flight
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    EXPECT_EQ(TracesContaining("poll skipped"), 0);
    EXPECT_EQ(fixture->TcpSnapshots(), 2);
}

TEST_F(DataThreadTest, WithoutAGateEveryPollSends) {
    auto poller = MakePoller({Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    for (int i = 0; i < 3; ++i) {
        poller->Poll();
    }
    ASSERT_TRUE(recorder.WaitForSnapshots(3));
    EXPECT_EQ(TracesContaining("poll skipped"), 0);
}

TEST_F(DataThreadTest, PollMessagesRunOnTheWorkerUntilQuit) {
    auto poller = MakePoller({Row("10.0.0.5", 50000, "10.0.0.9", 50001, TcpState::Established)});
    hub.Register(poller.get());
    poller->Start();
    hub.Broadcast(kMsgPoll);
    ASSERT_TRUE(recorder.WaitForSnapshots(1));  // a tick while one waits would be coalesced
    hub.Broadcast(kMsgPoll);
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    hub.Broadcast(kMsgQuit);
    poller->Join();
    recorder.Join();
    EXPECT_FALSE(poller->Running());
    const auto records = recorder.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].category, Category::Unknown);
    EXPECT_EQ(records[1].hostName, "10.0.0.9");
}

}  // namespace
}  // namespace tarvik
