#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/ConsoleSinks.h"
#include "settings/SettingsStore.h"
#include "tracking/WorkerHub.h"

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

}  // namespace
}  // namespace tarvik
