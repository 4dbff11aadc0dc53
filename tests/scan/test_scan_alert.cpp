#include <gtest/gtest.h>

#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ScanTestSettings.h"
#include "mail/SMTPMessage.h"
#include "scan/ScanAlert.h"
#include "settings/SettingsStore.h"
#include "support/ScanLoopback.h"
#include "support/ScriptedSmtpServer.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

// Shared by the fakes, so that the order of the channels can be checked.
struct ChannelLog {
    std::mutex mutex;
    std::vector<std::string> entries;
    void Add(std::string entry) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }
};

class RecordingBalloon : public IBalloonSink {
public:
    explicit RecordingBalloon(ChannelLog& log) : log_(log) {}
    bool ShowBalloon(const std::string& title, const std::string& text,
                     int timeoutSeconds) override {
        log_.Add("balloon|" + title + "|" + text + "|" + std::to_string(timeoutSeconds));
        return false;  // the result is ignored
    }

private:
    ChannelLog& log_;
};

class RecordingSystemLog : public ISystemLog {
public:
    explicit RecordingSystemLog(ChannelLog& log) : log_(log) {}
    void ReportError(const std::string& heading, const std::string& text) override {
        if (beforeReport) {
            beforeReport();
        }
        log_.Add("syslog|" + heading + "|" + text);
    }
    std::function<void()> beforeReport;

private:
    ChannelLog& log_;
};

ScanFinding Finding(const std::string& host, const std::string& ports,
                    const std::string& kind = "SYN") {
    return {host, {}, ports, kind};
}

// A loopback port with nothing listening on it: connections are refused.
int ClosedPort() {
    return test::FreeLoopbackPorts(1).at(0);
}

class ScanAlertTest : public ::testing::Test {
protected:
    void SetUp() override {
        hub.SetBalloonSink(std::make_shared<RecordingBalloon>(channels));
        settings.SetMailHost("127.0.0.1");
        settings.SetNotificationAddresses({"soc@example.org", "admin@example.org"});
    }

    CWorkerHub hub;
    CSettingsStore settings{test::ScanSettingsFile(), test::NoInterfaces()};
    ChannelLog channels;
    std::shared_ptr<RecordingSystemLog> systemLog = std::make_shared<RecordingSystemLog>(channels);
};

TEST_F(ScanAlertTest, AlertTexts) {
    EXPECT_EQ(AlertBalloonText("10.0.0.7"), "Triggered by connection(s) from 10.0.0.7");
    EXPECT_EQ(AlertSubject("gateway"), "ALERT: Scan Detected on gateway");
    EXPECT_EQ(AlertMailBody("10.0.0.7", "21, 23, 80"),
              "An alert was triggered by connection(s) from:\n\n10.0.0.7\n\non port(s):\n\n"
              "21, 23, 80\n\n- Tarvik");
    EXPECT_EQ(AlertEventText("10.0.0.7", "21, 23, 80"),
              "An alert was triggered by connection(s) from:  10.0.0.7  on port(s):  21, 23, 80");
    EXPECT_EQ(AlertEventText("10.0.0.7", ""),
              "An alert was triggered by connection(s) from:  10.0.0.7  on port(s):  ");
}

TEST_F(ScanAlertTest, MessageFields) {
    const CSMTPMessage message =
        BuildAlertMessage("10.0.0.7", "21, 23, 80", "corp.example",
                          {"soc@example.org", "admin@example.org"}, "gateway");
    EXPECT_EQ(message.from.address, "Tarvik@corp.example");
    EXPECT_EQ(message.from.displayName, "");
    EXPECT_EQ(message.subject, "ALERT: Scan Detected on gateway");
    EXPECT_EQ(message.mailer, "Tarvik/" TARVIK_VERSION);
    EXPECT_EQ(message.replyTo.address, "");
    ASSERT_EQ(message.RecipientCount(CSMTPMessage::kTo), 2);
    EXPECT_EQ(message.Recipient(0, CSMTPMessage::kTo).address, "soc@example.org");
    EXPECT_EQ(message.Recipient(1, CSMTPMessage::kTo).address, "admin@example.org");
    EXPECT_EQ(message.Recipient(1, CSMTPMessage::kTo).displayName, "");
    EXPECT_EQ(message.RecipientCount(CSMTPMessage::kCc), 0);
    EXPECT_EQ(message.RecipientCount(CSMTPMessage::kBcc), 0);
    EXPECT_EQ(message.Body(), AlertMailBody("10.0.0.7", "21, 23, 80"));

    const CSMTPMessage bare = BuildAlertMessage("10.0.0.7", "", "", {}, "gateway");
    EXPECT_EQ(bare.from.address, "Tarvik@");
    EXPECT_EQ(bare.RecipientCount(CSMTPMessage::kTo), 0);
}

TEST_F(ScanAlertTest, AllChannelsRunInOrderWithTheirTexts) {
    settings.SetEmailAlert(1);
    settings.SetEventLog(1);
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::AcceptAll());
    ASSERT_TRUE(server.Listening());
    CScanAlert alert(settings, hub, systemLog, server.Port());
    alert.Raise(Finding("10.0.0.7", "21, 23, 80"), "corp.example");

    ASSERT_TRUE(alert.WaitForMail(5s));
    ASSERT_TRUE(server.WaitUntilDone(5s)) << server.Received();
    EXPECT_EQ(channels.entries,
              (std::vector<std::string>{
                  "balloon|Tarvik: Scan Alert|Triggered by connection(s) from 10.0.0.7|10",
                  "syslog|Tarvik error: 100|An alert was triggered by connection(s) from:  "
                  "10.0.0.7  on port(s):  21, 23, 80 (scan kind: SYN)"}));

    const std::vector<std::string> lines = server.ReceivedLines();
    auto find = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const auto from = find("MAIL FROM:<Tarvik@corp.example>");
    const auto first = find("RCPT TO:<soc@example.org>");
    const auto second = find("RCPT TO:<admin@example.org>");
    const auto quit = find("QUIT");
    EXPECT_LT(from, first);
    EXPECT_LT(first, second);
    EXPECT_LT(second, quit);
    EXPECT_LT(quit, static_cast<long>(lines.size()));

    const std::vector<std::string> messages = server.Messages();
    ASSERT_EQ(messages.size(), 1u);
    const std::string& text = messages[0];
    EXPECT_EQ(text.rfind("From: Tarvik@corp.example\r\n"
                         "To: soc@example.org,admin@example.org\r\n"
                         "Subject: ALERT: Scan Detected on " +
                             CSettingsStore::LocalHostName() + "\r\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\r\nX-Mailer: Tarvik/" TARVIK_VERSION "\r\n"), std::string::npos);
    const auto bodyStart = text.find("\r\n\r\n");
    ASSERT_NE(bodyStart, std::string::npos);
    EXPECT_EQ(text.substr(bodyStart + 4),
              "An alert was triggered by connection(s) from:\r\n\r\n10.0.0.7\r\n\r\n"
              "on port(s):\r\n\r\n21, 23, 80\r\n\r\nScan kind: SYN\r\n\r\n- Tarvik\r\n")
        << "the body, then the line end that starts the end-of-data mark";
}

TEST_F(ScanAlertTest, MailHostSettingMayNameThePort) {
    settings.SetEmailAlert(1);
    settings.SetEventLog(0);
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::AcceptAll());
    ASSERT_TRUE(server.Listening());
    settings.SetMailHost("127.0.0.1:" + std::to_string(server.Port()));

    // The default port would be 25: only the setting's port reaches the server.
    CScanAlert alert(settings, hub, systemLog);
    alert.Raise(Finding("10.0.0.7", "80"), "127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(alert.WaitForMail(5s));
    ASSERT_TRUE(server.WaitUntilDone(5s)) << server.Received();
    ASSERT_EQ(server.Messages().size(), 1u);
    const std::vector<std::string> lines = server.ReceivedLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "MAIL FROM:<Tarvik@[127.0.0.1]>") << "the sender's domain has no port";
}

TEST_F(ScanAlertTest, UnreadableMailHostSendsNothingAndTheLogStillFollows) {
    settings.SetEmailAlert(1);
    settings.SetEventLog(1);
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::AcceptAll());
    settings.SetMailHost("127.0.0.1:" + std::to_string(server.Port()) + "x");
    CScanAlert alert(settings, hub, systemLog, server.Port());
    alert.Raise(Finding("10.0.0.7", "80"), "corp.example");
    ASSERT_TRUE(alert.WaitForMail(5s));
    EXPECT_EQ(server.ConnectionsServed(), 0);
    EXPECT_EQ(server.Received(), "");
    ASSERT_EQ(channels.entries.size(), 2u);
    EXPECT_EQ(channels.entries[1].rfind("syslog|", 0), 0u);
}

TEST_F(ScanAlertTest, RefusedMailStillWritesTheSystemLog) {
    settings.SetEmailAlert(1);
    settings.SetEventLog(1);
    CScanAlert alert(settings, hub, systemLog, ClosedPort());
    alert.Raise(Finding("10.0.0.7", ""), "corp.example");
    ASSERT_EQ(channels.entries.size(), 2u);
    EXPECT_EQ(channels.entries[1],
              "syslog|Tarvik error: 100|An alert was triggered by connection(s) from:  "
              "10.0.0.7  on port(s):   (scan kind: SYN)");
}

TEST_F(ScanAlertTest, EmptyMailHostStillWritesTheSystemLog) {
    settings.SetEmailAlert(1);
    settings.SetMailHost("");
    CScanAlert alert(settings, hub, systemLog, ClosedPort());
    alert.Raise(Finding("10.0.0.7", "80"), "");
    ASSERT_EQ(channels.entries.size(), 2u);
    EXPECT_EQ(channels.entries[1].rfind("syslog|", 0), 0u);
}

TEST_F(ScanAlertTest, OptionalChannelsFollowTheirSwitches) {
    settings.SetEmailAlert(0);
    settings.SetEventLog(0);
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::AcceptAll());
    CScanAlert alert(settings, hub, systemLog, server.Port());
    alert.Raise(Finding("10.0.0.7", "80"), "corp.example");
    EXPECT_EQ(channels.entries,
              (std::vector<std::string>{
                  "balloon|Tarvik: Scan Alert|Triggered by connection(s) from 10.0.0.7|10"}));
    EXPECT_EQ(server.ConnectionsServed(), 0);
}

TEST_F(ScanAlertTest, AThrowingChannelDoesNotStopTheNext) {
    struct ThrowingBalloon : IBalloonSink {
        bool ShowBalloon(const std::string&, const std::string&, int) override {
            throw std::runtime_error("no tray");
        }
    };
    hub.SetBalloonSink(std::make_shared<ThrowingBalloon>());
    settings.SetEventLog(1);
    CScanAlert alert(settings, hub, systemLog, ClosedPort());
    EXPECT_NO_THROW(alert.Raise(Finding("10.0.0.7", "80"), ""));
    ASSERT_EQ(channels.entries.size(), 1u);
    EXPECT_EQ(channels.entries[0].rfind("syslog|", 0), 0u);
}

class ScanAlertRateTest : public ScanAlertTest {
protected:
    void SetUp() override {
        ScanAlertTest::SetUp();
        settings.SetEventLog(1);
        settings.SetAlertsPerMinute(3);
        alert.SetClock([this] { return now; });
    }
    void RaiseHosts(int first, int last) {
        for (int i = first; i <= last; ++i) {
            alert.Raise(Finding("10.0.0." + std::to_string(i), "80"), "corp.example");
        }
    }
    std::vector<std::string> Entries(const std::string& channel) {
        std::vector<std::string> found;
        for (const std::string& entry : channels.entries) {
            if (entry.rfind(channel, 0) == 0) {
                found.push_back(entry);
            }
        }
        return found;
    }

    CScanAlert::Clock::time_point now = CScanAlert::Clock::now();
    CScanAlert alert{settings, hub, systemLog, ClosedPort()};
};

TEST_F(ScanAlertRateTest, PastTheRateOneSummaryAMinuteNamesTheRest) {
    RaiseHosts(1, 10);
    EXPECT_EQ(Entries("syslog|").size(), 3u);
    EXPECT_EQ(Entries("balloon|").size(), 3u);
    now += std::chrono::seconds(30);
    alert.Flush("corp.example");
    EXPECT_EQ(Entries("syslog|").size(), 3u) << "no summary before the minute is over";

    now += std::chrono::seconds(31);
    alert.Flush("corp.example");
    alert.Flush("corp.example");
    const std::vector<std::string> records = Entries("syslog|");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[3],
              "syslog|Tarvik error: 100|7 more hosts reached the threshold: 10.0.0.4, 10.0.0.5, "
              "10.0.0.6, 10.0.0.7, 10.0.0.8, ...");
    EXPECT_EQ(Entries("balloon|").back(),
              "balloon|Tarvik: Scan Alert|7 more hosts reached the threshold: 10.0.0.4, "
              "10.0.0.5, 10.0.0.6, 10.0.0.7, 10.0.0.8, ...|10");

    // The next minute takes records again.
    RaiseHosts(20, 20);
    EXPECT_EQ(Entries("syslog|").size(), 5u);
}

TEST_F(ScanAlertRateTest, OneHeldBackHostIsSaidInTheSingular) {
    RaiseHosts(1, 4);
    now += std::chrono::seconds(61);
    alert.Flush("corp.example");
    EXPECT_EQ(Entries("syslog|").back(),
              "syslog|Tarvik error: 100|1 more host reached the threshold: 10.0.0.4");
}

TEST_F(ScanAlertRateTest, AHostThatCompletedAHandshakeIsNeverHeldBack) {
    RaiseHosts(1, 10);  // forged sources spend the minute's records
    ScanFinding proven = Finding("192.0.2.9", "22");
    proven.completedHandshake = true;
    alert.Raise(proven, "corp.example");
    EXPECT_NE(Entries("syslog|").back().find("192.0.2.9"), std::string::npos);
    now += std::chrono::seconds(61);
    alert.Flush("corp.example");
    EXPECT_EQ(Entries("syslog|").back(),
              "syslog|Tarvik error: 100|7 more hosts reached the threshold: 10.0.0.4, 10.0.0.5, "
              "10.0.0.6, 10.0.0.7, 10.0.0.8, ...");
}

TEST_F(ScanAlertRateTest, MailPastTheRateIsNotQueued) {
    test::ScriptedSmtpServer server(test::ScriptedSmtpServer::AcceptAll(10));
    ASSERT_TRUE(server.Listening());
    settings.SetEmailAlert(1);
    settings.SetMailHost("127.0.0.1:" + std::to_string(server.Port()));
    RaiseHosts(1, 8);
    ASSERT_TRUE(alert.WaitForMail(10s));
    EXPECT_EQ(server.Messages().size(), 3u);
    now += std::chrono::seconds(61);
    alert.Flush("corp.example");
    ASSERT_TRUE(alert.WaitForMail(10s));
    ASSERT_TRUE(server.WaitForReceived("5 more hosts reached the threshold", 5s));
    EXPECT_EQ(server.Messages().size(), 4u);
}

TEST(JournalSystemLog, AlertsCarryTheirFields) {
    std::vector<std::vector<std::string>> sent;
    CJournalSystemLog journal(
        [&](const std::vector<std::string>& fields) { sent.push_back(fields); });
    journal.ReportAlert("Tarvik error: 100", "text (scan kind: SYN)",
                        {"10.0.0.7", "21, 23", "SYN"});
    journal.ReportError("Tarvik error: 100", "2 more hosts reached the threshold");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{"MESSAGE=Tarvik error: 100: text (scan kind: SYN)",
                                                 std::string("MESSAGE_ID=") + kScanAlertMessageId,
                                                 "PRIORITY=3", "SYSLOG_IDENTIFIER=Tarvik",
                                                 "TARVIK_REMOTE_ADDR=10.0.0.7",
                                                 "TARVIK_PORTS=21, 23", "TARVIK_SCAN_KIND=SYN"}));
    EXPECT_EQ(sent[1].at(0), "MESSAGE=Tarvik error: 100: 2 more hosts reached the threshold");
}

TEST(JournalSystemLog, ChosenOnlyWhereTheJournalListens) {
    const std::filesystem::path missing =
        std::filesystem::path(::testing::TempDir()) / "no-journal";
    EXPECT_NE(dynamic_cast<CSyslogSystemLog*>(MakeSystemLog(missing).get()), nullptr);
    const std::filesystem::path present =
        std::filesystem::path(::testing::TempDir()) / "journal-socket";
    { std::ofstream touch(present); }
    if (!JournalAvailable()) {
        GTEST_SKIP() << "built without the journal's interface (libsystemd)";
    }
    EXPECT_NE(dynamic_cast<CJournalSystemLog*>(MakeSystemLog(present).get()), nullptr);
}

}  // namespace
}  // namespace tarvik
