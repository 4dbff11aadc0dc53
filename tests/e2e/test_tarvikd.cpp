// End-to-end runs of the headless monitor on this machine, over loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "acquisition/ServicesDatabase.h"
#include "acquisition/UniqueFd.h"
#include "e2e/ChildProcess.h"
#include "settings/SettingsStore.h"
#include "support/ScriptedSmtpServer.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

using Fd = UniqueFd;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A listener on 127.0.0.1 at the first free port of [first, last]; port 0 when none.
Fd ListenOnFreePort(int first, int last, int& port) {
    for (port = first; port <= last; ++port) {
        Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = Loopback(port);
        if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            listen(fd.Get(), 8) == 0) {
            return fd;
        }
    }
    port = 0;
    return Fd();
}

int FreePort() {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

Fd Connect(int port, int& localPort) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Fd();
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length);
    localPort = ntohs(local.sin_port);
    return fd;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TarvikdTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvikd-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        config_ = dir_ / "Tarvik.conf";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    void WriteConfig(const std::string& text) { std::ofstream(config_) << text; }

    std::unique_ptr<ChildProcess> Start() {
        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string>{TARVIKD_PATH, "--config", config_.string()});
        EXPECT_TRUE(process->WaitForError("tarvikd: started", 10s)) << process->Errors();
        return process;
    }

    std::filesystem::path dir_;
    std::filesystem::path config_;
};

TEST_F(TarvikdTest, LogsAnEndedInboundConnectionAndStopsCleanly) {
    const std::filesystem::path logs = dir_ / "logs";
    WriteConfig("[Logging]\ninboundfolder=" + logs.string() + "\noutboundfolder=" + logs.string() +
                "\nunknownfolder=" + logs.string() + "\n");
    // A local port below 1024 makes the accepted end inbound; only root may take one.
    int serverPort = 0;
    Fd listener = ListenOnFreePort(700, 1023, serverPort);
    if (serverPort == 0) {
        GTEST_SKIP() << "no port below 1024 can be taken here";
    }
    auto tarvikd = Start();

    int clientPort = 0;
    Fd client = Connect(serverPort, clientPort);
    ASSERT_GE(client.Get(), 0);
    Fd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::this_thread::sleep_for(2s);  // a few polls see the connection established
    client.Reset();
    accepted.Reset();

    const auto name = CServicesDatabase::Shared()->Lookup(serverPort);
    const std::string service = name ? "inbound " + std::string(*name) : "unknown";
    const std::regex line(
        R"(\d\d:\d\d:\d\d \d\d/\d\d/\d{4},\d\d:\d\d:\d\d \d\d/\d\d/\d{4},127\.0\.0\.1,localhost,)" +
        std::to_string(clientPort) + ",127\\.0\\.0\\.1," + std::to_string(serverPort) + "," +
        service + "\n");
    std::string content;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : std::filesystem::directory_iterator(logs)) {
            if (entry.path().filename().string().starts_with("inbound.")) {
                content = ReadFile(entry.path());
            }
        }
        if (std::regex_search(content, line)) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(std::regex_search(content, line)) << content;
    EXPECT_EQ(content.rfind("Open Time, Close Time, Remote Address, Remote Hostname, Remote Port, "
                            "Network Interface, Local Port, Service Type\n",
                            0),
              0u);

    EXPECT_EQ(tarvikd->Stop(SIGTERM), 0) << tarvikd->Errors();
    EXPECT_NE(tarvikd->Errors().find("tarvikd: stopped"), std::string::npos);
    CSettingsStore reread(config_, [] { return std::vector<std::string>{}; });
    EXPECT_TRUE(reread.LoadWarnings().empty());
    EXPECT_EQ(reread.GetLogFolder(LogCategory::Inbound), logs.string());
    EXPECT_NE(ReadFile(config_).find("[ScanWatch]"), std::string::npos);
}

TEST_F(TarvikdTest, SecondMonitorWithTheSameSettingsRefusesToStart) {
    WriteConfig("[Logging]\ninbound=0\nunknown=0\n");
    auto first = Start();
    ChildProcess second({TARVIKD_PATH, "--config", config_.string()});
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_NE(second.Errors().find("tarvikd: not starting: another Tarvik monitor uses " +
                                   config_.string() + " (pid "),
              std::string::npos)
        << second.Errors();
    EXPECT_EQ(first->Stop(SIGINT), 0);
}

TEST_F(TarvikdTest, BaitPortScanIsMailedWithinOneCheckPeriod) {
    // Alerts go to port 25 of the mail host, so the test server needs that port.
    test::SmtpServerOptions options = test::ScriptedSmtpServer::AcceptAll(1);
    options.port = 25;
    options.lifetime = 60s;
    test::ScriptedSmtpServer server(options);
    if (!server.Listening()) {
        GTEST_SKIP() << "port 25 on 127.0.0.1 cannot be taken here";
    }
    const int bait[] = {FreePort(), FreePort(), FreePort()};
    WriteConfig(
        "[Logging]\ninbound=0\nunknown=0\n[ScanWatch]\nthreshold=3\n"
        "ignorehosts=0.0.0.0\nlistenenabled=1\nlistenports=" +
        std::to_string(bait[0]) + "," + std::to_string(bait[1]) + "," + std::to_string(bait[2]) +
        "\neventlog=0\nemailalert=1\nnotificationaddresses=admin@example.test\n"
        "mailhost=127.0.0.1\n");
    auto tarvikd = Start();

    for (int port : bait) {
        int localPort = 0;
        Fd client;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (client.Get() < 0 && std::chrono::steady_clock::now() < deadline) {
            client = Connect(port, localPort);  // the listener may still be binding
            std::this_thread::sleep_for(client.Get() < 0 ? 50ms : 0ms);
        }
        ASSERT_GE(client.Get(), 0) << "bait port " << port;
    }

    ASSERT_TRUE(server.WaitUntilDone(40s)) << tarvikd->Errors();
    const std::string received = server.Received();
    EXPECT_NE(received.find("MAIL FROM:<Tarvik@127.0.0.1>\r\n"), std::string::npos) << received;
    EXPECT_NE(received.find("RCPT TO:<admin@example.test>\r\n"), std::string::npos);
    EXPECT_NE(received.find("Subject: ALERT: Scan Detected on " + CSettingsStore::LocalHostName() +
                            "\r\n"),
              std::string::npos);
    // Other inbound connections from 127.0.0.1 on this machine (an earlier run's mail exchange
    // still in TIME_WAIT on port 25, say) rightly count too: the bait ports must be there, in
    // the order they were hit.
    const std::regex body(
        "An alert was triggered by connection\\(s\\) from:\r\n\r\n127\\.0\\.0\\.1\r\n\r\n"
        "on port\\(s\\):\r\n\r\n([0-9, ]*)\r\n\r\n- Tarvik\r\n\\.\r\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(received, match, body)) << received;
    std::vector<int> counted;
    std::istringstream portsText(match[1].str());
    for (std::string port; std::getline(portsText, port, ',');) {
        counted.push_back(std::stoi(port));
    }
    auto next = counted.begin();
    for (int port : bait) {
        next = std::find(next, counted.end(), port);
        ASSERT_NE(next, counted.end()) << match[1] << " lacks " << port;
    }
    EXPECT_TRUE(
        tarvikd->WaitForError("Tarvik: Scan Alert: Triggered by connection(s) from 127.0.0.1", 5s));
    EXPECT_EQ(tarvikd->Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace tarvik
