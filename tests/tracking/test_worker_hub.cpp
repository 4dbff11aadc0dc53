#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "settings/SettingsStore.h"
#include "support/RecordingWorker.h"
#include "tracking/WorkerHub.h"

namespace tarvik {
namespace {

using test::RecordingWorker;
using ::testing::ElementsAre;

class WorkerHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("tarvik-hub-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        WriteSettings("[View]\nreverselookup=0\n");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path File() const { return dir_ / "Tarvik.conf"; }
    void WriteSettings(const std::string& text) const { std::ofstream(File()) << text; }

    std::filesystem::path dir_;
};

TEST_F(WorkerHubTest, ServicesForwardToTheirSinks) {
    struct Notifier : IUserNotifier {
        std::vector<std::string> shown;
        void ShowMessage(const std::string& text) override { shown.push_back(text); }
    };
    struct Balloon : IBalloonSink {
        std::string last;
        bool ShowBalloon(const std::string& title, const std::string& text, int t) override {
            last = title + "|" + text + "|" + std::to_string(t);
            return true;
        }
    };
    CWorkerHub hub;
    hub.NotifyUser("dropped");
    EXPECT_FALSE(hub.ShowBalloon("t", "x", 10));
    auto notifier = std::make_shared<Notifier>();
    auto balloon = std::make_shared<Balloon>();
    hub.SetUserNotifier(notifier);
    hub.SetBalloonSink(balloon);
    hub.NotifyUser("cannot create log");
    EXPECT_TRUE(hub.ShowBalloon("Scan", "from 10.0.0.9", 10));
    EXPECT_THAT(notifier->shown, ElementsAre("cannot create log"));
    EXPECT_EQ(balloon->last, "Scan|from 10.0.0.9|10");
}

// The store knows nothing of workers; once connected, reverse lookup coming on (by a setter or
// a reload) reaches the lookup worker, and the store's trace goes to the hub's.
TEST_F(WorkerHubTest, ConnectedStoreTellsTheWorkersWhenReverseLookupComesOn) {
    CWorkerHub hub;
    CSettingsStore store(
        File(), [] { return std::vector<std::string>{"10.0.0.1"}; }, dir_);
    std::vector<std::string> traces;
    hub.SetTraceSink([&](std::string_view text) { traces.emplace_back(text); });
    ConnectSettings(store, hub);
    RecordingWorker worker({kMsgReverseLookupOn, kMsgPoll});
    worker.Start();
    hub.Register(&worker);

    store.SetReverseLookup(1);  // off to on
    store.SetReverseLookup(1);  // on to on: nothing
    store.SetReverseLookup(0);
    store.Reload();  // the file says off: nothing
    WriteSettings("[View]\nreverselookup=1\n");
    store.Reload();  // comes on
    store.GetInterfaceAddresses(true);
    DisconnectSettings(store);
    store.SetReverseLookup(0);
    store.SetReverseLookup(1);  // no longer connected: nothing
    hub.Broadcast(kMsgPoll);    // marks the end: the queue is handled in order

    ASSERT_TRUE(worker.WaitFor(3));
    hub.Clear();
    auto received = worker.Take();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].number, kMsgReverseLookupOn);
    EXPECT_EQ(received[1].number, kMsgReverseLookupOn);
    EXPECT_EQ(received[2].number, kMsgPoll);
    EXPECT_THAT(traces, ElementsAre("config, refresh netifs"));
}

}  // namespace
}  // namespace tarvik
