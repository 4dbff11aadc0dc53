// End-to-end runs of the headless monitor on this machine, over loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "acquisition/ServicesDatabase.h"
#include "base/UniqueFd.h"
#include "e2e/ChildProcess.h"
#include "e2e/Waits.h"
#include "settings/SettingsStore.h"
#include "support/ScriptedSmtpServer.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kEventDeadline;
using test::WaitUntil;

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

std::string LogsIn(const std::filesystem::path& logs) {
    return "[Logging]\ninboundfolder=" + logs.string() + "\noutboundfolder=" + logs.string() +
           "\nunknownfolder=" + logs.string() + "\n";
}

// The inbound log's text once it matches `line`, or what it holds at the deadline.
std::string WaitForLogLine(const std::filesystem::path& logs, const std::regex& line,
                           std::chrono::milliseconds deadline) {
    std::string content;
    WaitUntil(
        [&] {
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(logs, ec)) {
                if (entry.path().filename().string().starts_with("inbound.")) {
                    content = ReadFile(entry.path());
                }
            }
            return std::regex_search(content, line);
        },
        deadline, 100ms);
    return content;
}

// The log line of an ended inbound connection from 127.0.0.1.
std::regex InboundLine(int clientPort, int serverPort) {
    const auto name = CServicesDatabase::Shared()->Lookup(serverPort);
    const std::string service = name ? "inbound " + std::string(*name) : "unknown";
    return std::regex(
        R"(\d\d:\d\d:\d\d \d\d/\d\d/\d{4},\d\d:\d\d:\d\d \d\d/\d\d/\d{4},127\.0\.0\.1,localhost,)" +
        std::to_string(clientPort) + ",127\\.0\\.0\\.1," + std::to_string(serverPort) + "," +
        service + "\n");
}

// Connects to a listener on 127.0.0.1 that may still be opening; retries until the deadline.
bool CanConnect(int port, std::chrono::milliseconds deadline = kEventDeadline) {
    return WaitUntil(
        [port] {
            int localPort = 0;
            return Connect(port, localPort).Get() >= 0;
        },
        deadline, 50ms);
}

// Whether `line` is the --events line of the accepted side of a connection opening or ending.
auto AcceptedSide(const char* kind, int serverPort, int clientPort) {
    return [=](const std::string& line) {
        return test::IsConnectionEvent(line, kind, serverPort, clientPort);
    };
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

    // With `events`, standard output carries the --events lines, for waits on them.
    std::unique_ptr<ChildProcess> Start(bool events = false) {
        std::vector<std::string> args{TARVIKD_PATH, "--config", config_.string()};
        if (events) {
            args.push_back("--events");
        }
        ChildProcess::Options options;
        options.captureOutput = events;
        auto process = std::make_unique<ChildProcess>(std::move(args), options);
        EXPECT_TRUE(process->WaitForError("tarvikd: started", kEventDeadline)) << process->Errors();
        return process;
    }

    std::filesystem::path dir_;
    std::filesystem::path config_;
};

TEST_F(TarvikdTest, LogsAnEndedInboundConnectionAndStopsCleanly) {
    const std::filesystem::path logs = dir_ / "logs";
    WriteConfig("[View]\nreverselookup=0\n" + LogsIn(logs));
    const std::string settingsAtStart = ReadFile(config_);
    // A local port below 1024 makes the accepted end inbound; only root may take one.
    int serverPort = 0;
    Fd listener = ListenOnFreePort(700, 1023, serverPort);
    if (serverPort == 0) {
        GTEST_SKIP() << "no port below 1024 can be taken here";
    }
    auto tarvikd = Start(true);

    int clientPort = 0;
    Fd client = Connect(serverPort, clientPort);
    ASSERT_GE(client.Get(), 0);
    Fd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(
        tarvikd->WaitForOutputLine(AcceptedSide("open", serverPort, clientPort), kEventDeadline))
        << "the connection was not seen open";
    client.Reset();
    accepted.Reset();

    const std::regex line = InboundLine(clientPort, serverPort);
    const std::string content = WaitForLogLine(logs, line, kEventDeadline);
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
    // The monitor changed no value, so the file stays exactly as the administrator wrote it.
    EXPECT_EQ(ReadFile(config_), settingsAtStart);
}

TEST_F(TarvikdTest, SecondMonitorWithTheSameSettingsRefusesToStart) {
    WriteConfig("[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n");
    auto first = Start();
    ChildProcess second({TARVIKD_PATH, "--config", config_.string()});
    EXPECT_EQ(second.Wait(kEventDeadline), 1);
    EXPECT_NE(second.Errors().find("tarvikd: not starting: another Tarvik monitor uses " +
                                   config_.string() + " (pid "),
              std::string::npos)
        << second.Errors();
    EXPECT_EQ(first->Stop(SIGINT), 0);
}

TEST_F(TarvikdTest, BaitPortScanIsMailedWithinOneCheckPeriod) {
    // The monitor checks its scan counts once at its start and then every 30 s, and has no
    // setting for that period: the alert, and so this test, takes those 30 s.
    constexpr auto kCheckPeriod = 30s;
    test::SmtpServerOptions options = test::ScriptedSmtpServer::AcceptAll(1);
    options.lifetime = 2 * kCheckPeriod + 2 * kEventDeadline;
    test::ScriptedSmtpServer server(options);
    ASSERT_TRUE(server.Listening());
    const int bait[] = {FreePort(), FreePort(), FreePort()};
    WriteConfig(
        "[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n[ScanWatch]\nthreshold=3\n"
        "ignorehosts=0.0.0.0\nlistenenabled=1\nlistenports=" +
        std::to_string(bait[0]) + "," + std::to_string(bait[1]) + "," + std::to_string(bait[2]) +
        "\neventlog=0\nemailalert=1\nnotificationaddresses=admin@example.test\n"
        "mailhost=127.0.0.1:" +
        std::to_string(server.Port()) + "\n");
    auto tarvikd = Start();

    for (int port : bait) {
        ASSERT_TRUE(CanConnect(port)) << "bait port " << port;
    }

    ASSERT_TRUE(server.WaitUntilDone(kCheckPeriod + kEventDeadline)) << tarvikd->Errors();
    const std::string received = server.Received();
    EXPECT_NE(received.find("MAIL FROM:<Tarvik@[127.0.0.1]>\r\n"), std::string::npos) << received;
    EXPECT_NE(received.find("RCPT TO:<admin@example.test>\r\n"), std::string::npos);
    EXPECT_NE(received.find("Subject: ALERT: Scan Detected on " + CSettingsStore::LocalHostName() +
                            "\r\n"),
              std::string::npos);
    // Other inbound connections from 127.0.0.1 on this machine (another test's loopback
    // traffic, say) rightly count too: the bait ports must be there, in
    // the order they were hit.
    const std::regex body(
        "An alert was triggered by connection\\(s\\) from:\r\n\r\n127\\.0\\.0\\.1\r\n\r\n"
        "on port\\(s\\):\r\n\r\n([0-9, ]*)\r\n\r\nScan kind: [A-Za-z]+\r\n\r\n- Tarvik\r\n\\.\r\n");
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
    EXPECT_TRUE(tarvikd->WaitForError(
        "Tarvik: Scan Alert: Triggered by connection(s) from 127.0.0.1", kEventDeadline));
    EXPECT_EQ(tarvikd->Stop(SIGTERM), 0);
}

TEST_F(TarvikdTest, ConnectionClosedJustBeforeTheStopIsLoggedAndTheStopIsPrompt) {
    const std::filesystem::path logs = dir_ / "logs";
    WriteConfig("[View]\nreverselookup=1\n" + LogsIn(logs));
    int serverPort = 0;
    Fd listener = ListenOnFreePort(700, 1023, serverPort);
    if (serverPort == 0) {
        GTEST_SKIP() << "no port below 1024 can be taken here";
    }
    auto tarvikd = Start(true);
    int clientPort = 0;
    Fd client = Connect(serverPort, clientPort);
    ASSERT_GE(client.Get(), 0);
    Fd accepted(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(
        tarvikd->WaitForOutputLine(AcceptedSide("open", serverPort, clientPort), kEventDeadline));
    client.Reset();
    accepted.Reset();
    // The monitor has seen the end, so it is on its way to the log when the stop comes.
    ASSERT_TRUE(
        tarvikd->WaitForOutputLine(AcceptedSide("close", serverPort, clientPort), kEventDeadline));

    const auto stopStart = std::chrono::steady_clock::now();
    EXPECT_EQ(tarvikd->Stop(SIGTERM, 3s), 0) << tarvikd->Errors();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStart, 3s);
    const std::string content = WaitForLogLine(logs, InboundLine(clientPort, serverPort), 0ms);
    EXPECT_TRUE(std::regex_search(content, InboundLine(clientPort, serverPort))) << content;
}

TEST_F(TarvikdTest, HangupRereadsTheSettingsAndKeepsRunning) {
    const int bait = FreePort();
    const std::string settings =
        "[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n"
        "[ScanWatch]\neventlog=0\nlistenports=" +
        std::to_string(bait) + "\nlistenenabled=";
    WriteConfig(settings + "0\n");
    auto tarvikd = Start();
    EXPECT_FALSE(CanConnect(bait, 0ms));

    WriteConfig(settings + "1\nthreshold=many\n");
    kill(tarvikd->Pid(), SIGHUP);
    ASSERT_TRUE(
        tarvikd->WaitForError("tarvikd: reloaded " + config_.string() + "\n", kEventDeadline))
        << tarvikd->Errors();
    EXPECT_NE(tarvikd->Errors().find("tarvikd: " + config_.string() + ": "), std::string::npos)
        << "the bad threshold is reported: " << tarvikd->Errors();
    EXPECT_TRUE(CanConnect(bait)) << tarvikd->Errors();

    WriteConfig(settings + "0\n");
    const std::size_t saidBefore = tarvikd->Errors().size();
    kill(tarvikd->Pid(), SIGHUP);
    ASSERT_TRUE(tarvikd->WaitForError("tarvikd: reloaded", kEventDeadline, saidBefore));
    // The scan watcher closes the bait port when it handles the change, a moment later.
    EXPECT_TRUE(WaitUntil([bait] { return !CanConnect(bait, 0ms); }, kEventDeadline, 50ms));
    EXPECT_EQ(tarvikd->Stop(SIGTERM), 0) << tarvikd->Errors();
}

TEST_F(TarvikdTest, SettingsEditedWhileRunningAreNotOverwrittenAtTheStop) {
    WriteConfig("[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n");
    auto tarvikd = Start();
    const std::string edited =
        "[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n"
        "[ScanWatch]\nthreshold=7\n";
    WriteConfig(edited);
    EXPECT_EQ(tarvikd->Stop(SIGTERM), 0);
    EXPECT_EQ(ReadFile(config_), edited);
    EXPECT_EQ(tarvikd->Errors().find("settings not saved"), std::string::npos) << tarvikd->Errors();
}

TEST_F(TarvikdTest, ReadOnlySettingsFolderDoesNotStopTheStart) {
    const std::filesystem::path folder = dir_ / "etc";
    std::filesystem::create_directory(folder);
    const std::filesystem::path config = folder / "Tarvik.conf";
    std::ofstream(config) << "[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n";
    chmod(config.c_str(), 0644);
    chmod(folder.c_str(), 0555);
    chmod(dir_.c_str(), 0755);
    ChildProcess::Options options;
    if (access(folder.c_str(), W_OK) == 0) {
        options.runAs = 65534;  // root writes anywhere: run as nobody, whom the mode binds
    }
    ChildProcess tarvikd({TARVIKD_PATH, "--config", config.string()}, options);
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: started", kEventDeadline)) << tarvikd.Errors();
    EXPECT_EQ(tarvikd.Stop(SIGTERM), 0);
    // The monitor changed no value, so there is nothing to save and nothing to complain of.
    EXPECT_EQ(tarvikd.Errors().find("settings not saved"), std::string::npos) << tarvikd.Errors();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    chmod(folder.c_str(), 0755);
}

TEST_F(TarvikdTest, DeviceAsSettingsFileIsNeitherReplacedNorGivenCompanions) {
    const std::filesystem::path device = dir_ / "null";
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    }
    ChildProcess tarvikd({TARVIKD_PATH, "--config", device.string()});
    ASSERT_TRUE(tarvikd.WaitForError("tarvikd: started", kEventDeadline)) << tarvikd.Errors();
    EXPECT_EQ(tarvikd.Stop(SIGTERM), 0);
    // Said once, at the start: the defaults are used and the device is never written.
    EXPECT_NE(tarvikd.Errors().find(device.string() + " is not a regular file"), std::string::npos)
        << tarvikd.Errors();
    struct stat info {};
    ASSERT_EQ(lstat(device.c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"null"});
}

TEST_F(TarvikdTest, PrintConfigWarnsAsTheMonitorDoesAtItsStart) {
    WriteConfig(
        "[View]\nreverselookup=0\n[Logging]\ninbound=0\nunknown=0\n"
        "[ScanWatch]\nthreshold=0\nno equals sign\n");
    ChildProcess print({TARVIKD_PATH, "--print-config", "--config", config_.string()});
    EXPECT_EQ(print.Wait(kEventDeadline), 0) << print.Errors();
    EXPECT_NE(print.Errors().find("tarvikd: " + config_.string() + ": [ScanWatch] threshold: 0"),
              std::string::npos)
        << print.Errors();
    EXPECT_EQ(std::count(print.Errors().begin(), print.Errors().end(), '\n'), 2) << print.Errors();
    auto monitor = Start();
    EXPECT_EQ(monitor->Stop(SIGTERM), 0);
    EXPECT_NE(monitor->Errors().find(print.Errors()), std::string::npos) << monitor->Errors();
}

TEST_F(TarvikdTest, PrintConfigLeavesAnEmptyFolderEmpty) {
    ChildProcess::Options options;
    options.workingDirectory = dir_.string();
    ChildProcess print({TARVIKD_PATH, "--print-config", "--config", config_.string()}, options);
    EXPECT_EQ(print.Wait(kEventDeadline), 0) << print.Errors();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_TRUE(names.empty()) << names.front();
}

}  // namespace
}  // namespace tarvik
