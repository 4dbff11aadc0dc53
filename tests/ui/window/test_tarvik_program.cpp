// The window program run as a program: the starts it refuses, and how it says so.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "app/InstanceLock.h"
#include "e2e/ChildProcess.h"

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
        args.insert(args.end(),
                    {"XDG_RUNTIME_DIR=" + dir.string(), TARVIK_PATH, "--config", config.string()});
        test::ChildProcess tarvik(args);
        EXPECT_EQ(tarvik.Wait(20s), 1) << tarvik.Errors();
        EXPECT_EQ(tarvik.Errors().find(start.said), 0u) << tarvik.Errors();
        EXPECT_EQ(std::count(tarvik.Errors().begin(), tarvik.Errors().end(), '\n'), 1)
            << tarvik.Errors();
        held.reset();
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
}  // namespace tarvik
