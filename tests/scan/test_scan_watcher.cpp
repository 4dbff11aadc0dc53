#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ScanTestSettings.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "support/RecordingWorker.h"
#include "support/ScanLoopback.h"
#include "support/ScriptedSmtpServer.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

struct Alert {
    std::string host;
    std::string ports;
    std::string mailHost;
    bool operator==(const Alert&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Alert& alert) {
    return out << alert.host << " [" << alert.ports << "] @" << alert.mailHost;
}

// Remembers every alert; safe to read from the test thread.
class RecordingAlerter : public IScanAlerter {
public:
    void Raise(const ScanFinding& finding, const std::string& mailHost) override {
        {
            std::lock_guard lock(mutex_);
            alerts_.push_back({finding.host, finding.portsText, mailHost});
        }
        changed_.notify_all();
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return alerts_.size() >= count; });
    }
    std::vector<Alert> Alerts() const {
        std::lock_guard lock(mutex_);
        return alerts_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Alert> alerts_;
};

// The machine's own nftables are no business of these tests: a table another run left would be
// removed and announced, a message the tests do not expect.
class NoNftables : public INftRunner {
public:
    bool Run(const std::string&, std::string* error) override {
        *error = "no nftables in these tests";
        return false;
    }
};

class ScanWatcherTest : public ::testing::Test {
protected:
    void SetUp() override { settings.SetMailHost("mx.example.org"); }
    void TearDown() override { hub.Clear(); }

    CScanWatcherThread& StartWatcher() {
        auto recording = std::make_unique<RecordingAlerter>();
        alerter = recording.get();
        watcher =
            std::make_unique<CScanWatcherThread>(settings, hub, std::move(recording), "127.0.0.1");
        watcher->UseNftRunner(std::make_unique<NoNftables>());
        watcher->Start();
        return *watcher;
    }
    void PostConnection(const std::string& host, int localPort) {
        watcher->Post(NewInbound{{{host, localPort}}});
    }
    void Post(ScanWatcherInbox message) { watcher->Post(std::move(message)); }
    // Ends the watcher's thread, after which its state may be read here.
    void Quit() {
        watcher->PostQuit();
        watcher->Join();
    }

    CWorkerHub hub;
    CSettingsStore settings{test::ScanSettingsFile(), test::NoInterfaces()};
    std::unique_ptr<CScanWatcherThread> watcher;
    RecordingAlerter* alerter = nullptr;
};

TEST_F(ScanWatcherTest, AlertsAtThresholdOnceAndCountsAgainAfterwards) {
    StartWatcher();
    for (int i = 0; i < 10; ++i) {
        PostConnection("10.0.0.7", 80);
    }
    PostConnection("10.0.0.7", 443);
    Post(ScanCheck{});  // two of three: no alert
    PostConnection("10.0.0.7", 25);
    Post(ScanCheck{});
    Post(ScanCheck{});  // just reset: no alert
    PostConnection("10.0.0.7", 80);
    PostConnection("10.0.0.7", 443);
    PostConnection("10.0.0.7", 25);
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(2));
    Quit();
    const Alert expected{"10.0.0.7", "80, 443, 25", "mx.example.org"};
    EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{expected, expected}));
}

TEST_F(ScanWatcherTest, HostsAlertAsTheyReachTheThresholdWithoutACheck) {
    settings.SetThreshold(2);
    StartWatcher();
    PostConnection("192.168.1.20", 21);
    PostConnection("10.0.0.1", 22);
    PostConnection("10.0.0.1", 23);
    PostConnection("192.168.1.20", 23);
    ASSERT_TRUE(alerter->WaitFor(2));
    Quit();
    EXPECT_EQ(alerter->Alerts(),
              (std::vector<Alert>{{"10.0.0.1", "22, 23", "mx.example.org"},
                                  {"192.168.1.20", "21, 23", "mx.example.org"}}));
}

TEST_F(ScanWatcherTest, ALoweredThresholdAlertsAtTheCheckInFirstSeenOrder) {
    settings.SetThreshold(3);
    StartWatcher();
    PostConnection("192.168.1.20", 21);
    PostConnection("10.0.0.1", 22);
    PostConnection("10.0.0.1", 23);
    PostConnection("192.168.1.20", 23);
    for (int port : {1, 2, 3}) {  // its alert says the connections above were counted
        PostConnection("172.16.0.1", port);
    }
    ASSERT_TRUE(alerter->WaitFor(1));
    settings.SetThreshold(2);
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(3));
    Quit();
    EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{{"172.16.0.1", "1, 2, 3", "mx.example.org"},
                                                     {"192.168.1.20", "21, 23", "mx.example.org"},
                                                     {"10.0.0.1", "22, 23", "mx.example.org"}}));
}

TEST_F(ScanWatcherTest, CountsEveryConnectionOfABatchButThoseOfIgnoredHosts) {
    settings.SetThreshold(0);  // every seen host would alert
    StartWatcher();
    Post(NewInbound{{{"127.0.0.1", 80}, {"0.0.0.0", 80}, {"10.0.0.9", 81}, {"10.0.0.7", 53}}});
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(2));
    Quit();
    EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{{"10.0.0.9", "81", "mx.example.org"},
                                                     {"10.0.0.7", "53", "mx.example.org"}}));
    EXPECT_EQ(watcher->Counter().SeenHosts(), (std::vector<std::string>{"10.0.0.9", "10.0.0.7"}));
}

TEST_F(ScanWatcherTest, IgnoredHostsMayCarryBlanksAndBeRanges) {
    auto notifier = std::make_shared<test::RecordingNotifier>();
    hub.SetUserNotifier(notifier);
    settings.SetThreshold(1);
    settings.SetIgnoreHosts(
        {"127.0.0.1", " 10.0.0.9", "192.168.0.0/16 ", " 2001:db8::/32", "host.example.org"});
    StartWatcher();
    for (const char* host : {"10.0.0.9", "192.168.4.4", "2001:db8::5", "10.0.0.8"}) {
        PostConnection(host, 80);
    }
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(1));
    Quit();
    EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{{"10.0.0.8", "80", "mx.example.org"}}));
    EXPECT_EQ(watcher->Counter().SeenHosts(), std::vector<std::string>{"10.0.0.8"});
    EXPECT_EQ(notifier->Messages(),
              std::vector<std::string>{"ignorehosts: \"host.example.org\" is no address or "
                                       "address range; it is left out"});
}

TEST_F(ScanWatcherTest, DisabledDetectionNeitherCountsNorChecks) {
    settings.SetScanEnabled(0);
    settings.SetThreshold(0);
    StartWatcher();
    PostConnection("10.0.0.7", 80);
    Post(ScanCheck{});
    Quit();
    EXPECT_TRUE(alerter->Alerts().empty());
    EXPECT_TRUE(watcher->Counter().SeenHosts().empty());
}

TEST_F(ScanWatcherTest, ReloadKeepsCountsAndRefreshesTheMailHostCopy) {
    StartWatcher();
    auto connectThree = [&](const std::string& host) {
        PostConnection(host, 80);
        PostConnection(host, 443);
        PostConnection(host, 25);
    };
    connectThree("10.0.0.7");
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(1));  // the start-up copy of the mail host has been taken

    settings.SetMailHost("relay.example.net");  // not copied until a reload
    connectThree("10.0.0.7");
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(2));

    PostConnection("10.0.0.8", 80);
    PostConnection("10.0.0.8", 443);
    Post(ScanSettingsChanged{});
    PostConnection("10.0.0.8", 25);
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(3));
    Quit();
    EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{
                                     {"10.0.0.7", "80, 443, 25", "mx.example.org"},
                                     {"10.0.0.7", "80, 443, 25", "mx.example.org"},
                                     {"10.0.0.8", "80, 443, 25", "relay.example.net"},
                                 }));
}

TEST_F(ScanWatcherTest, BaitConnectionsAreCountedAndTheListenerFollowsReloads) {
    const std::vector<int> ports = test::FreeLoopbackPorts(3);
    ASSERT_EQ(ports.size(), 3u);
    settings.SetListenPorts({ports[0], ports[1]});
    settings.SetListenEnabled(1);
    settings.SetThreshold(3);
    hub.Register(&StartWatcher());

    auto connect = [&](int port) {
        // The listener binds on its own thread: retry briefly until the port answers.
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (auto client = test::ConnectFrom("127.0.0.9", "127.0.0.1", port)) {
                return test::ReadsEndOfStream(client->fd);
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    };
    ASSERT_TRUE(connect(ports[0]));
    ASSERT_TRUE(connect(ports[1]));

    settings.SetListenPorts({ports[2]});
    hub.Publish(ScanSettingsChanged{});
    ASSERT_TRUE(connect(ports[2]));
    // Until the new connection has been counted, a check could run too early: wait for it.
    std::vector<Alert> alerts;
    for (int attempt = 0; attempt < 50 && alerts.empty(); ++attempt) {
        hub.Publish(ScanCheck{});
        alerter->WaitFor(1, 100ms);
        alerts = alerter->Alerts();
    }
    hub.QuitAll();
    watcher->Join();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].host, "127.0.0.9");
    EXPECT_EQ(alerts[0].ports, std::to_string(ports[0]) + ", " + std::to_string(ports[1]) + ", " +
                                   std::to_string(ports[2]));
    EXPECT_FALSE(test::ConnectFrom("127.0.0.9", "127.0.0.1", ports[2]).has_value())
        << "the listener must be stopped after quit";
}

TEST_F(ScanWatcherTest, ThresholdBelowOneCountsAsOne) {
    for (int threshold : {0, -5}) {
        SCOPED_TRACE(threshold);
        settings.SetThreshold(threshold);
        StartWatcher();
        PostConnection("10.0.0.7", 80);
        Post(ScanCheck{});
        // The host now has nothing counted: these checks must not alert again.
        Post(ScanCheck{});
        Post(ScanCheck{});
        PostConnection("10.0.0.8", 22);
        Post(ScanCheck{});
        Quit();
        EXPECT_EQ(alerter->Alerts(), (std::vector<Alert>{{"10.0.0.7", "80", "mx.example.org"},
                                                         {"10.0.0.8", "22", "mx.example.org"}}));
    }
}

class NullSystemLog : public ISystemLog {
public:
    void ReportError(const std::string&, const std::string&) override {}
};

TEST_F(ScanWatcherTest, CancelledMailLetsTheQuitThroughAtOnce) {
    // A server that greets, then answers MAIL FROM a byte at a time for far longer than the test.
    test::SmtpServerOptions options = test::ScriptedSmtpServer::Scripted(
        {{test::SmtpStep::Send("220 ready\r\n"), test::SmtpStep::ReadLine(),
          test::SmtpStep::Send("250 hello\r\n"), test::SmtpStep::ReadLine(),
          test::SmtpStep::Trickle("250 " + std::string(1000, 'x') + "\r\n", 20ms)}});
    test::ScriptedSmtpServer server(std::move(options));
    ASSERT_TRUE(server.Listening());
    settings.SetEmailAlert(1);
    settings.SetEventLog(0);
    settings.SetThreshold(1);
    settings.SetNotificationAddresses({"soc@example.org"});
    settings.SetMailHost("127.0.0.1:" + std::to_string(server.Port()));
    watcher = std::make_unique<CScanWatcherThread>(
        settings, hub,
        std::make_unique<CScanAlert>(settings, hub, std::make_shared<NullSystemLog>()),
        "127.0.0.1");
    watcher->UseNftRunner(std::make_unique<NoNftables>());
    watcher->Start();

    PostConnection("10.0.0.7", 80);
    Post(ScanCheck{});
    ASSERT_TRUE(server.WaitForReceived("MAIL FROM:<Tarvik@[127.0.0.1]>\r\n", 5s))
        << server.Received();

    const auto start = std::chrono::steady_clock::now();
    watcher->CancelPendingMail();
    // A later alert in this run fails at once too.
    PostConnection("10.0.0.8", 81);
    Post(ScanCheck{});
    Quit();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    const std::string received = server.Received();
    EXPECT_EQ(received.find("HELO"), received.rfind("HELO")) << "one exchange only: " << received;
    EXPECT_EQ(watcher->Counter().UniqueCount("10.0.0.8"), 0) << "the second host was checked";
}

// Keeps every alert event published to it.
using AlertEventWorker = test::Recorder<ScanAlertEvent>;

TEST_F(ScanWatcherTest, EachAlertIsPublishedAfterItsChannels) {
    settings.SetThreshold(2);
    AlertEventWorker events;
    events.Start();
    hub.Register(&events);
    hub.Register(&StartWatcher());
    PostConnection("10.0.0.7", 443);
    PostConnection("10.0.0.7", 80);
    hub.Publish(ScanCheck{});
    ASSERT_TRUE(events.WaitFor(1));
    EXPECT_EQ(alerter->Alerts().size(), 1u) << "the channels ran first";
    const ScanAlertEvent event = events.TakeOf<ScanAlertEvent>().at(0);
    EXPECT_EQ(event.remoteAddress, "10.0.0.7");
    EXPECT_EQ(event.localPorts, (std::vector<int>{443, 80}));
    EXPECT_EQ(event.kind, "connect");
    EXPECT_GT(event.time, 0);
    hub.QuitAll();
    watcher->Join();
}

TEST_F(ScanWatcherTest, AlertEventsAreCappedButNeverForAHostThatCompletedAHandshake) {
    settings.SetEventAlertsPerMinute(2);
    AlertEventWorker events;
    events.Start();
    hub.Register(&events);
    hub.Register(&StartWatcher());
    auto scan = [&](const std::string& host, bool established) {
        for (int port : {21, 22, 23}) {
            watcher->Post(NewInbound{{{host, port, established}}});
        }
    };
    for (const char* forged : {"198.18.0.1", "198.18.0.2", "198.18.0.3", "198.18.0.4"}) {
        scan(forged, false);
    }
    watcher->Post(ScanCheck{});  // half-open sources that never complete alert at the check
    scan("192.0.2.7", true);
    ASSERT_TRUE(alerter->WaitFor(5)) << "every alert reaches the alert's own channels";
    ASSERT_TRUE(events.WaitFor(3));
    hub.QuitAll();
    watcher->Join();
    std::vector<std::string> published;
    for (const ScanAlertEvent& event : events.TakeOf<ScanAlertEvent>()) {
        published.push_back(event.remoteAddress);
    }
    EXPECT_EQ(published, (std::vector<std::string>{"198.18.0.1", "198.18.0.2", "192.0.2.7"}));
}

// Keeps the system log's records; safe from any thread.
class WaitingSystemLog : public ISystemLog {
public:
    void ReportError(const std::string& heading, const std::string& text) override {
        std::lock_guard lock(mutex_);
        records_.push_back(heading + ": " + text);
        arrived_.notify_all();
    }
    bool WaitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, 5s, [&] { return records_.size() >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> records_;
};

TEST_F(ScanWatcherTest, AMailServerThatStallsNeverHoldsUpTheNextAlert) {
    // Answers MAIL FROM a byte at a time for far longer than the test.
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::Scripted(
        {{test::SmtpStep::Send("220 ready\r\n"), test::SmtpStep::ReadLine(),
          test::SmtpStep::Send("250 hello\r\n"), test::SmtpStep::ReadLine(),
          test::SmtpStep::Trickle("250 " + std::string(1000, 'x') + "\r\n", 20ms)}}));
    ASSERT_TRUE(server.Listening());
    settings.SetEmailAlert(1);
    settings.SetEventLog(1);
    settings.SetThreshold(1);
    settings.SetMailHost("127.0.0.1:" + std::to_string(server.Port()));
    auto systemLog = std::make_shared<WaitingSystemLog>();
    watcher = std::make_unique<CScanWatcherThread>(
        settings, hub, std::make_unique<CScanAlert>(settings, hub, systemLog), "127.0.0.1");
    watcher->UseNftRunner(std::make_unique<NoNftables>());
    watcher->Start();

    PostConnection("10.0.0.7", 80);
    Post(ScanCheck{});
    ASSERT_TRUE(server.WaitForReceived("MAIL FROM:<Tarvik@[127.0.0.1]>\r\n", 5s));
    PostConnection("10.0.0.8", 81);
    Post(ScanCheck{});
    EXPECT_TRUE(systemLog->WaitFor(2)) << "the second alert waited for the first one's mail";
    watcher->CancelPendingMail();
    Quit();
}

TEST_F(ScanWatcherTest, BaitPortHeldElsewhereIsTakenAtTheNextScanCheck) {
    const std::vector<int> ports = test::FreeLoopbackPorts(1);
    ASSERT_EQ(ports.size(), 1u);
    UniqueFd held = test::HoldPort(ports[0]);
    ASSERT_TRUE(held);
    auto notifier = std::make_shared<test::RecordingNotifier>();
    hub.SetUserNotifier(notifier);
    settings.SetListenPorts({ports[0]});
    settings.SetListenEnabled(1);
    settings.SetThreshold(1);
    hub.Register(&StartWatcher());

    ASSERT_TRUE(notifier->WaitFor(1));
    EXPECT_EQ(notifier->Messages(),
              std::vector<std::string>{"bait port " + std::to_string(ports[0]) +
                                       " not watched: Address already in use"});
    held.Reset();
    std::vector<Alert> alerts;
    for (int attempt = 0; attempt < 50 && alerts.empty(); ++attempt) {
        hub.Publish(ScanCheck{});
        std::this_thread::sleep_for(50ms);
        if (auto client = test::ConnectFrom("127.0.0.9", "127.0.0.1", ports[0])) {
            EXPECT_TRUE(test::ReadsEndOfStream(client->fd));
            hub.Publish(ScanCheck{});
            alerter->WaitFor(1, 2s);
            alerts = alerter->Alerts();
        }
    }
    hub.QuitAll();
    watcher->Join();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], (Alert{"127.0.0.9", std::to_string(ports[0]), "mx.example.org"}));
    EXPECT_EQ(notifier->Messages().size(), 1u) << "said once, not at every retry";
}

}  // namespace
}  // namespace tarvik

namespace tarvik {
namespace {

// Keeps the nftables batches the watcher's response runs.
class BatchLog : public INftRunner {
public:
    explicit BatchLog(std::shared_ptr<std::vector<std::string>> batches)
        : batches_(std::move(batches)) {}
    bool Run(const std::string& commands, std::string*) override {
        batches_->push_back(commands);
        return true;
    }

private:
    std::shared_ptr<std::vector<std::string>> batches_;
};

TEST_F(ScanWatcherTest, AlertingHostIsBlockedForTheTimeoutAndTheTableGoesAtTheQuit) {
    settings.SetScanBlock(1);
    settings.SetScanBlockTimeout(120);
    auto batches = std::make_shared<std::vector<std::string>>();
    auto recording = std::make_unique<RecordingAlerter>();
    alerter = recording.get();
    watcher =
        std::make_unique<CScanWatcherThread>(settings, hub, std::move(recording), "127.0.0.1");
    watcher->UseNftRunner(std::make_unique<BatchLog>(batches));
    watcher->Start();
    for (int port : {21, 22, 23}) {
        PostConnection("192.0.2.7", port);
    }
    Post(ScanCheck{});
    ASSERT_TRUE(alerter->WaitFor(1));
    Quit();
    EXPECT_EQ(*batches, (std::vector<std::string>{BlockTableCommands(),
                                                  *BlockAddressCommand("192.0.2.7", 120),
                                                  RemoveBlockTableCommands()}));
}

}  // namespace
}  // namespace tarvik
