#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ScanTestSettings.h"
#include "scan/ScanListener.h"
#include "settings/SettingsStore.h"
#include "support/RecordingWorker.h"
#include "support/ScanLoopback.h"
#include "tracking/Events.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ConnectFrom;
using test::FreeLoopbackPorts;
using test::ReadsEndOfStream;

class ScanListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        recorder.Start();
        hub.Register(&recorder);
        hub.SetUserNotifier(notifier);
    }
    void TearDown() override {
        listener.reset();
        hub.Clear();
    }

    CScanListener& StartListener(PortList ports, const std::string& address = "127.0.0.1") {
        settings.SetListenPorts(std::move(ports));
        listener = std::make_unique<CScanListener>(settings, hub, address);
        listener->Start();
        EXPECT_TRUE(listener->WaitUntilListening(5s));
        return *listener;
    }

    CWorkerHub hub;
    CSettingsStore settings{test::ScanSettingsFile(), test::NoInterfaces()};
    test::Recorder<NewInbound> recorder;
    std::shared_ptr<test::RecordingNotifier> notifier = std::make_shared<test::RecordingNotifier>();
    std::unique_ptr<CScanListener> listener;
};

TEST_F(ScanListenerTest, AcceptsClosesAndReportsOneInboundConnection) {
    const std::vector<int> ports = FreeLoopbackPorts(2);
    ASSERT_EQ(ports.size(), 2u);
    StartListener({ports[0], ports[1]}, CScanListener::kAnyAddress);
    ASSERT_EQ(listener->HeldPorts(), ports);

    auto client = ConnectFrom("127.0.0.5", "127.0.0.1", ports[1]);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ReadsEndOfStream(client->fd)) << "the bait port must close the connection";

    ASSERT_TRUE(recorder.WaitFor(1));
    auto received = recorder.TakeOf<NewInbound>();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].connections, (std::vector<InboundConnection>{{"127.0.0.5", ports[1]}}));
}

TEST_F(ScanListenerTest, EveryConnectionIsReportedEvenFromTheSameHost) {
    const std::vector<int> ports = FreeLoopbackPorts(1);
    ASSERT_EQ(ports.size(), 1u);
    StartListener({ports[0]});
    for (int i = 0; i < 2; ++i) {
        auto client = ConnectFrom("127.0.0.6", "127.0.0.1", ports[0]);
        ASSERT_TRUE(client);
        EXPECT_TRUE(ReadsEndOfStream(client->fd));
    }
    ASSERT_TRUE(recorder.WaitFor(2));
    auto received = recorder.TakeOf<NewInbound>();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].connections, (std::vector<InboundConnection>{{"127.0.0.6", ports[0]}}));
}

TEST_F(ScanListenerTest, SkipsDuplicateUnusableAndOutOfRangePorts) {
    const std::vector<int> ports = FreeLoopbackPorts(3);
    ASSERT_EQ(ports.size(), 3u);
    // A port another socket already listens on cannot be taken.
    UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = test::LoopbackAddress("127.0.0.1", ports[2]);
    ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken.Get(), 1), 0);

    StartListener({ports[0], ports[0], 0, 70000, -1, 70000, ports[2], ports[1], ports[0]});
    EXPECT_EQ(listener->HeldPorts(), (std::vector<int>{ports[0], ports[1]}));
    // A duplicate is watched once and never reported as a port that could not be taken.
    EXPECT_EQ(notifier->Messages(),
              (std::vector<std::string>{"bait port 0 not watched: Invalid argument",
                                        "bait port 70000 not watched: Invalid argument",
                                        "bait port -1 not watched: Invalid argument",
                                        "bait port " + std::to_string(ports[2]) +
                                            " not watched: Address already in use"}));
}

TEST_F(ScanListenerTest, PortThatCannotBeTakenIsSaidOncePerReasonAndRetried) {
    const std::vector<int> ports = FreeLoopbackPorts(2);
    ASSERT_EQ(ports.size(), 2u);
    UniqueFd held = test::HoldPort(ports[0]);
    ASSERT_TRUE(held);

    StartListener({ports[0], 70000, ports[1]});
    EXPECT_EQ(listener->HeldPorts(), std::vector<int>{ports[1]});
    const std::vector<std::string> said = {
        "bait port " + std::to_string(ports[0]) + " not watched: Address already in use",
        "bait port 70000 not watched: Invalid argument"};
    EXPECT_EQ(notifier->Messages(), said);

    // Still taken at the retry: nothing more is said.
    listener->RetryUnbound();
    for (int attempt = 0; attempt < 100 && listener->BindRounds() < 2; ++attempt) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_GE(listener->BindRounds(), 2);
    EXPECT_EQ(notifier->Messages(), said);

    held.Reset();
    listener->RetryUnbound();
    for (int attempt = 0; attempt < 100 && listener->HeldPorts().size() < 2; ++attempt) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(listener->HeldPorts(), ports);
    auto client = ConnectFrom("127.0.0.7", "127.0.0.1", ports[0]);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ReadsEndOfStream(client->fd));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.TakeOf<NewInbound>().at(0).connections.at(0).localPort, ports[0]);
    EXPECT_EQ(notifier->Messages(), said);
}

TEST_F(ScanListenerTest, RetryWithoutAnyPortHeldStillTakesThemAndStops) {
    const std::vector<int> ports = FreeLoopbackPorts(1);
    ASSERT_EQ(ports.size(), 1u);
    UniqueFd held = test::HoldPort(ports[0]);
    ASSERT_TRUE(held);
    StartListener(ports);
    EXPECT_TRUE(listener->HeldPorts().empty());

    held.Reset();
    listener->RetryUnbound();
    for (int attempt = 0; attempt < 100 && listener->HeldPorts().empty(); ++attempt) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(listener->HeldPorts(), ports);
    const auto start = std::chrono::steady_clock::now();
    listener->Stop();
    listener->Wait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// Lowers the soft descriptor limit for one test and puts it back.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft) {
        ok_ = ::getrlimit(RLIMIT_NOFILE, &saved_) == 0;
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ok_ = ok_ && soft <= saved_.rlim_max && ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~DescriptorLimit() {
        if (ok_) {
            ::setrlimit(RLIMIT_NOFILE, &saved_);
        }
    }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;
    bool Ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST(BaitPortCap, LeavesAReserveBelowTheDescriptorLimit) {
    EXPECT_EQ(BaitPortCap(0), 0u);
    EXPECT_EQ(BaitPortCap(64), 0u);
    EXPECT_EQ(BaitPortCap(65), 1u);
    EXPECT_EQ(BaitPortCap(256), 192u);
    EXPECT_EQ(BaitPortCap(1024), 960u);
    EXPECT_EQ(BaitPortCap(1u << 20), 4096u);
    EXPECT_EQ(BaitPortCap(UINT64_MAX), 4096u);
}

TEST_F(ScanListenerTest, BaitPortsStayBelowTheDescriptorLimitAndStillAccept) {
    const std::vector<int> ports = FreeLoopbackPorts(8);
    ASSERT_EQ(ports.size(), 8u);
    {
        DescriptorLimit limit(64 + 5);
        if (!limit.Ok()) {
            GTEST_SKIP() << "cannot lower the descriptor limit here";
        }
        StartListener(ports);
    }
    const std::vector<int> first(ports.begin(), ports.begin() + 5);
    EXPECT_EQ(listener->HeldPorts(), first);
    EXPECT_EQ(notifier->Messages(),
              std::vector<std::string>{"bait ports: 3 of 8 not watched, to stay below the limit "
                                       "of open descriptors (69)"});
    auto client = ConnectFrom("127.0.0.7", "127.0.0.1", ports[4]);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ReadsEndOfStream(client->fd));
    ASSERT_TRUE(recorder.WaitFor(1));
}

TEST_F(ScanListenerTest, WatchesMoreThanSixtyFourPorts) {
    const std::vector<int> ports = FreeLoopbackPorts(70);
    ASSERT_EQ(ports.size(), 70u);
    StartListener(ports);
    ASSERT_EQ(listener->HeldPorts().size(), 70u);

    auto client = ConnectFrom("127.0.0.7", "127.0.0.1", ports[69]);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ReadsEndOfStream(client->fd));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.TakeOf<NewInbound>().at(0).connections.at(0).localPort, ports[69]);
}

TEST_F(ScanListenerTest, NoticesAStopWithinAPollPeriod) {
    for (bool withPorts : {true, false}) {
        SCOPED_TRACE(withPorts ? "with bait ports" : "without any port");
        StartListener(withPorts ? FreeLoopbackPorts(3) : PortList{});
        const auto start = std::chrono::steady_clock::now();
        listener->Stop();
        listener->Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
}

TEST_F(ScanListenerTest, StoppedListenerFreesItsPortsForTheNextOne) {
    const std::vector<int> ports = FreeLoopbackPorts(1);
    ASSERT_EQ(ports.size(), 1u);
    StartListener(ports);
    {
        auto client = ConnectFrom("127.0.0.8", "127.0.0.1", ports[0]);
        ASSERT_TRUE(client);
        EXPECT_TRUE(ReadsEndOfStream(client->fd));
    }
    listener->Stop();
    listener->Wait();
    // The server side closed first, so the port lingers in TIME_WAIT: it must still be taken.
    StartListener(ports);
    EXPECT_EQ(listener->HeldPorts(), ports);
}

TEST(ScanListenerLifecycle, NeverStartedListenerStopsAtOnce) {
    CWorkerHub hub;
    CSettingsStore settings{test::ScanSettingsFile(), test::NoInterfaces()};
    CScanListener listener(settings, hub);
    listener.Stop();
    listener.Wait();
    EXPECT_FALSE(listener.WaitUntilListening(0ms));
}

}  // namespace
}  // namespace tarvik
