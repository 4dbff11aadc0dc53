// The window program run as a program: the starts it refuses, and how it says so.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/InstanceLock.h"
#include "e2e/ChildProcess.h"
#include "e2e/Waits.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

struct RefusedStart {
    const char* name;
    std::vector<std::string> environment;  // for env(1), before a private XDG_RUNTIME_DIR
    bool lockHeld;                         // another monitor holds the settings file
    std::string said;
};

TEST(TarvikProgramTest, ARefusedStartSaysWhyInOneLineAndFails) {
    const RefusedStart cases[] = {
        {"no display",
         {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"},
         false,
         "tarvik: no display found; tarvikd runs headless\n"},
        {"X11 chosen without one",
         {"-u", "DISPLAY", "QT_QPA_PLATFORM=xcb"},
         false,
         "tarvik: no display found; tarvikd runs headless\n"},
        {"settings in use",
         {"QT_QPA_PLATFORM=offscreen"},
         true,
         "tarvik: not starting: another Tarvik monitor uses "},
    };
    for (const RefusedStart& start : cases) {
        SCOPED_TRACE(start.name);
        char pattern[] = "/tmp/tarvik-program-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::filesystem::path dir = pattern;
        const std::filesystem::path config = dir / "Tarvik.conf";
        LockFolderPlaces places;
        places.runtimeDir = dir.string();
        const std::optional<std::filesystem::path> locks = ChooseLockFolder(places);
        ASSERT_TRUE(locks);
        std::optional<CInstanceLock> held;
        if (start.lockHeld) {
            held = CInstanceLock::AcquireForSettings(config, *locks);
            ASSERT_TRUE(held);
        }
        std::vector<std::string> args = {"/usr/bin/env"};
        args.insert(args.end(), start.environment.begin(), start.environment.end());
        args.insert(args.end(), {"XDG_RUNTIME_DIR=" + dir.string(), TARVIK_PATH, "--local",
                                 "--config", config.string()});
        test::ChildProcess tarvik(args);
        EXPECT_EQ(tarvik.Wait(20s), 1) << tarvik.Errors();
        EXPECT_EQ(tarvik.Errors().find(start.said), 0u) << tarvik.Errors();
        EXPECT_EQ(std::count(tarvik.Errors().begin(), tarvik.Errors().end(), '\n'), 1)
            << tarvik.Errors();
        held.reset();
        std::filesystem::remove_all(dir);
    }
}

// Connections to the socket at `path`, its listener's among them (/proc/net/unix names the path
// on the accepted ends too).
int SocketEnds(const std::filesystem::path& path) {
    std::ifstream table("/proc/net/unix");
    int ends = 0;
    for (std::string line; std::getline(table, line);) {
        ends += line.ends_with(" " + path.string()) ? 1 : 0;
    }
    return ends;
}

// A user's own tarvikd holds the settings file: the window that shows it starts all the same.
TEST(TarvikProgramTest, AWindowShowsTheDaemonThatHoldsItsSettings) {
    char pattern[] = "/tmp/tarvik-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const std::string config = (dir / "Tarvik.conf").string();
    const std::filesystem::path socket = dir / "run" / "tarvikd.sock";
    const std::string runtime = "XDG_RUNTIME_DIR=" + dir.string();
    test::ChildProcess daemon({"/usr/bin/env", runtime, TARVIKD_PATH, "--config", config,
                               "--acquisition", "poll", "--socket", socket.string()});
    ASSERT_TRUE(daemon.WaitForError("tarvikd: started", 20s)) << daemon.Errors();
    test::ChildProcess window({"/usr/bin/env", runtime, "QT_QPA_PLATFORM=offscreen", TARVIK_PATH,
                               "--config", config, "--socket", socket.string()});
    // The listener and the window's two connections: following and asking.
    EXPECT_TRUE(test::WaitUntil([&] { return SocketEnds(socket) >= 3; }, 20s)) << window.Errors();
    EXPECT_EQ(window.Stop(SIGTERM), 0) << window.Errors();
    EXPECT_EQ(daemon.Stop(SIGTERM), 0) << daemon.Errors();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarvik
