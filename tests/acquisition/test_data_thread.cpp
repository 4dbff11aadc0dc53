#include <gtest/gtest.h>

#include <filesystem>

#include "acquisition/DataThread.h"
#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::CSnapshotRecorder;
using testing::Row;

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
        settings.Registry().SetTraceSink([this](std::string_view text) {
            std::lock_guard lock(traceMutex);
            traces.emplace_back(text);
        });
        settings.Register(&recorder);
        recorder.Start();
    }
    ~DataThreadTest() override { settings.Clear(); }

    std::unique_ptr<CDataThread> MakePoller(std::vector<TcpRow> rows) {
        auto agent = std::make_unique<CMibAgent>(
            std::make_unique<CFixtureTableSource>(std::move(rows), std::vector<Ipv4Octets>{}));
        return std::make_unique<CDataThread>(
            settings, std::move(agent),
            std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp")));
    }

    CSettingsStore settings;
    CSnapshotRecorder recorder;
    std::mutex traceMutex;
    std::vector<std::string> traces;
};

TEST_F(DataThreadTest, EachPollIsOneFramedSnapshotInTableOrder) {
    auto poller = MakePoller({Row("10.0.0.5", 21, "10.0.0.9", 40000, 5),
                              Row("0.0.0.0", 21, "0.0.0.0", 0, kStateListen)});
    poller->Poll();
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    EXPECT_EQ(Numbers(recorder.Events()),
              (std::vector<int>{kMsgSnapshotBegin, kMsgSnapshotEntry, kMsgSnapshotEntry,
                                kMsgSnapshotEnd, kMsgSnapshotBegin, kMsgSnapshotEntry,
                                kMsgSnapshotEntry, kMsgSnapshotEnd}));
    const auto records = recorder.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].serviceText, "ftp server");
    EXPECT_EQ(records[1].serviceText, "inbound ftp");
    EXPECT_EQ(records[1].category, kCategoryInbound);
    std::lock_guard lock(traceMutex);
    EXPECT_EQ(std::count(traces.begin(), traces.end(), "ParseConnectionTableEntry exiting"), 4);
}

TEST_F(DataThreadTest, AnUnloadedAgentSendsEmptySnapshots) {
    CDataThread poller(settings, std::make_unique<CMibAgent>(nullptr),
                       std::make_shared<const CServicesDatabase>());
    poller.Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    EXPECT_EQ(Numbers(recorder.Events()), (std::vector<int>{kMsgSnapshotBegin, kMsgSnapshotEnd}));
}

TEST_F(DataThreadTest, PollMessagesRunOnTheWorkerUntilQuit) {
    auto poller = MakePoller({Row("10.0.0.5", 50000, "10.0.0.9", 50001, 5)});
    settings.Register(poller.get());
    poller->Start();
    settings.Broadcast(kMsgPoll);
    ASSERT_TRUE(recorder.WaitForSnapshots(1));  // a tick while one waits would be coalesced
    settings.Broadcast(kMsgPoll);
    ASSERT_TRUE(recorder.WaitForSnapshots(2));
    settings.Broadcast(kMsgQuit);
    poller->Join();
    recorder.Join();
    EXPECT_FALSE(poller->Running());
    const auto records = recorder.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].category, kCategoryUnknown);
    EXPECT_EQ(records[1].hostName, "10.0.0.9");
}

}  // namespace
}  // namespace tarvik
