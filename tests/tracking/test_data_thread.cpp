#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"
#include "support/FakeProc.h"
#include "support/RecordingNotifier.h"
#include "support/RecordingWorker.h"
#include "tracking/DataThread.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using testing::CFaultySource;
using testing::CSnapshotRecorder;
using testing::Row;

using CMessageLog = test::RecordingNotifier;

std::vector<std::size_t> Sizes(const std::vector<std::vector<CConnectionRecord>>& snapshots) {
    std::vector<std::size_t> sizes;
    for (const auto& rows : snapshots) {
        sizes.push_back(rows.size());
    }
    return sizes;
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
    // Polls, then waits until the recorder has `sent` snapshots in all: a poll reads no table
    // while the last snapshot is not taken.
    void PollExpecting(CDataThread& poller, int sent) {
        poller.Poll();
        ASSERT_TRUE(recorder.WaitForSnapshots(sent));
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
    PollExpecting(*poller, 1);
    PollExpecting(*poller, 2);
    // Rows without a socket cookie are never kept: both go whole each time.
    EXPECT_EQ(Sizes(recorder.Snapshots()), (std::vector<std::size_t>{2, 2}));
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
    EXPECT_EQ(Sizes(recorder.Snapshots()), (std::vector<std::size_t>{1}));
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
    for (int i = 1; i <= kPolls; ++i) {
        PollExpecting(*poller, i - i / 10);  // every tenth dump fails and sends nothing
    }
    EXPECT_EQ(faulty->Dumps(), kPolls);
    // Every snapshot sent holds all three rows.
    EXPECT_EQ(Sizes(recorder.Snapshots()), std::vector<std::size_t>(kPolls - 3, 3));
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
    PollExpecting(*poller, 1);
    PollExpecting(*poller, 2);
    EXPECT_EQ(recorder.Snapshots().size(), 2u);
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

TEST_F(DataThreadTest, APollWaitsUntilTheLastSnapshotIsTaken) {
    auto poller = MakePoller({Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    // Registered last, so the snapshot itself, with its token, waits in its queue.
    test::Recorder<Snapshot> busy;
    hub.Register(&busy);
    poller->Poll();
    poller->Poll();
    poller->Poll();
    EXPECT_EQ(TracesContaining("poll skipped: tracker busy"), 2);
    busy.Start();  // takes it, as the tracker's merge does
    ASSERT_TRUE(busy.WaitFor(1));
    // The other subscriber's copy holds the token too until it has taken it.
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    PollExpecting(*poller, 2);
    EXPECT_EQ(recorder.Records().size(), 2u);
    hub.Clear();
}

TEST_F(DataThreadTest, APollThatSendsNothingLeavesNothingInFlight) {
    auto source = std::make_unique<CFixtureTableSource>(
        std::vector<TcpRow>{Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established)});
    auto* fixture = source.get();
    auto poller = MakePoller(std::move(source));
    fixture->SetFailing(true);
    poller->Poll();
    fixture->SetFailing(false);
    PollExpecting(*poller, 1);  // not skipped: nothing was in flight
    EXPECT_EQ(TracesContaining("poll skipped"), 0);
    EXPECT_EQ(fixture->TcpSnapshots(), 2);
}

TEST_F(DataThreadTest, PollMessagesRunOnTheWorkerUntilQuit) {
    auto poller = MakePoller({Row("10.0.0.5", 50000, "10.0.0.9", 50001, TcpState::Established)});
    hub.Register(poller.get());
    poller->Start();
    hub.Publish(Poll{});
    ASSERT_TRUE(recorder.WaitForSnapshots(1));  // a tick while one waits would be coalesced
    hub.Publish(Poll{});
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    hub.QuitAll();
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
