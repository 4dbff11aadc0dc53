#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/ConsoleSinks.h"
#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

std::string Contents(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, count);
    }
    return text;
}

TEST(ConsoleNotifierTest, WorkerMessagesReachStandardErrorAndTheSystemLogWhole) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    CConsoleWriter writer(stream);
    std::mutex logMutex;
    std::vector<std::string> logged;
    CWorkerHub hub;
    CSettingsStore settings(std::filesystem::temp_directory_path() / "tarvik-absent" / "t.conf",
                            [] { return std::vector<std::string>{}; });
    hub.SetUserNotifier(std::make_shared<CConsoleNotifier>(writer, [&](const std::string& text) {
        std::lock_guard lock(logMutex);
        logged.push_back(text);
    }));

    // Workers report from their own threads at once.
    std::vector<std::jthread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&hub, t] {
            for (int i = 0; i < 50; ++i) {
                hub.NotifyUser("poll failed: worker " + std::to_string(t) + " message " +
                               std::to_string(i));
            }
        });
    }
    workers.clear();

    std::istringstream lines(Contents(stream));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_TRUE(line.starts_with("tarvikd: poll failed: worker ")) << line;
        EXPECT_NE(line.find(" message "), std::string::npos) << line;
    }
    EXPECT_EQ(count, 200);
    std::lock_guard lock(logMutex);
    ASSERT_EQ(logged.size(), 200u);
    EXPECT_TRUE(logged[0].starts_with("poll failed: worker ")) << logged[0];
    std::fclose(stream);
}

TEST(ConsoleSinksTest, OutsideTextReachesTheTerminalAndTheSystemLogEscaped) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    CConsoleWriter writer(stream);
    std::vector<std::string> logged;
    CConsoleNotifier notifier(writer, [&](const std::string& text) { logged.push_back(text); });
    CConsoleBalloon balloon(writer);
    CConsoleList list(&writer);

    notifier.ShowMessage("cannot open /tmp/\x1b]0;owned\x07\nfake line");
    balloon.ShowBalloon("Tarvik: Scan Alert",
                        "from \x9b"
                        "2J",
                        10);
    CConnectionRecord record;
    record.id = 3;
    record.state = TcpState::Established;
    record.hostName = "evil\x1b[2J\xff";
    record.ipAddress = "10.0.0.7";
    record.remotePort = 51000;
    record.interfaceText = "10.0.0.1";
    record.localPort = 22;
    record.serviceText = "inbound ssh";
    list.Apply({RowOp{RowOp::Kind::Insert, record}});
    writer.WriteEscaped("trace: ", "mail server said \x1b[31mno\r");

    EXPECT_EQ(
        Contents(stream),
        "tarvikd: cannot open /tmp/\\x1b]0;owned\\x07\\x0afake line\n"
        "tarvikd: Tarvik: Scan Alert: from \\x9b2J\n"
        "insert #3 Established evil\\x1b[2J\\xff (10.0.0.7):51000 -> 10.0.0.1:22 inbound ssh\n"
        "trace: mail server said \\x1b[31mno\\x0d\n");
    EXPECT_EQ(logged,
              (std::vector<std::string>{"cannot open /tmp/\\x1b]0;owned\\x07\\x0afake line"}));
    std::fclose(stream);
}

}  // namespace
}  // namespace tarvik
