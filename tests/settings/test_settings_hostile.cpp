#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SettingsTestDir.h"
#include "base/AtomicFile.h"
#include "settings/ConfigPrinter.h"
#include "settings/MessageText.h"
#include "settings/SettingsStore.h"

namespace tarvik {
namespace {

using test::ReadText;
using test::SettingsTestDir;
using test::WriteText;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::size_t EntriesIn(const std::filesystem::path& folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator()));
}

TEST(SettingsRanges, OutOfRangeValuesLoadAsTheirDefaultWithAWarning) {
    SettingsTestDir dir;
    std::string text;
    std::vector<std::pair<const SettingDefinition*, int>> cases;
    for (const SettingDefinition& definition : SettingsTable()) {
        if (definition.kind != SettingKind::Integer) {
            continue;
        }
        // Below the range for every key; above it for those that have an upper bound.
        const int value =
            definition.maximum == INT_MAX ? definition.minimum - 1 : definition.maximum + 1;
        text += "[" + std::string(definition.section) + "]\n" + definition.name + "=" +
                std::to_string(value) + "\n";
        cases.emplace_back(&definition, value);
    }
    ASSERT_EQ(cases.size(), 33u);
    WriteText(dir.File(), text);
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    const std::string rendered = RenderConfig(store);
    const std::vector<std::string> warnings = store.LoadWarnings();
    EXPECT_EQ(warnings.size(), cases.size()) << testing::PrintToString(warnings);
    for (const auto& [definition, value] : cases) {
        const int expected =
            definition->id == SettingId::Threshold ? 1 : definition->defaultInteger;
        EXPECT_THAT(rendered, HasSubstr("\n" + std::string(definition->name) + "=" +
                                        std::to_string(expected) + "\n"));
        EXPECT_THAT(warnings, Contains(HasSubstr("] " + std::string(definition->name) + ": " +
                                                 std::to_string(value) + " is ")))
            << definition->name;
        EXPECT_THAT(warnings,
                    Contains(HasSubstr(
                        std::string(definition->name) + ": " + std::to_string(value) + " is " +
                        (definition->maximum == INT_MAX ? "below " : "out of range ") +
                        std::to_string(definition->minimum))));
    }
    EXPECT_EQ(store.GetThreshold(), 1);  // a threshold of 0 would alert every host every time
    EXPECT_EQ(store.GetLogType(LogCategory::Unknown), 1);
    EXPECT_EQ(store.GetLogRotation(LogCategory::Outbound), 0);
    EXPECT_EQ(store.GetNetIf(), -1);
    EXPECT_EQ(store.GetShowInbound(), 1);
    EXPECT_EQ(store.GetShowListening(), 0);
}

TEST(SettingsRanges, NegativeThresholdBecomesOneAndInRangeValuesStay) {
    SettingsTestDir dir;
    WriteText(dir.File(),
              "[ScanWatch]\nthreshold=-40\n[Logging]\ninboundtype=3\ninboundrotation=2\n"
              "[General]\nnetif=4\n");
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    EXPECT_EQ(store.GetThreshold(), 1);
    EXPECT_THAT(store.LoadWarnings(),
                testing::ElementsAre(HasSubstr("[ScanWatch] threshold: -40 is below 1; using 1")));
    EXPECT_EQ(store.GetLogType(LogCategory::Inbound), 3);
    EXPECT_EQ(store.GetLogRotation(LogCategory::Inbound), 2);
    EXPECT_EQ(store.GetNetIf(), 4);
}

TEST(SettingsRanges, PortListEntriesOutsideThePortRangeAreDroppedWithAWarning) {
    SettingsTestDir dir;
    const std::string value = "80,0,70000,-5,ssh,99999999999, 443, , 22x,65535,1";
    const std::vector<std::string> dropped = {"0", "70000", "-5", "ssh", "99999999999"};
    std::string text;
    std::vector<const SettingDefinition*> lists;
    for (const SettingDefinition& definition : SettingsTable()) {
        if (definition.kind == SettingKind::PortList) {
            text += "[" + std::string(definition.section) + "]\n" + definition.name + "=" + value +
                    "\n";
            lists.push_back(&definition);
        }
    }
    ASSERT_EQ(lists.size(), 5u);  // the three log filters, ignoreports, listenports
    WriteText(dir.File(), text);
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    const std::vector<std::string> warnings = store.LoadWarnings();
    EXPECT_EQ(warnings.size(), lists.size() * dropped.size()) << testing::PrintToString(warnings);
    const std::string rendered = RenderConfig(store);
    for (const SettingDefinition* definition : lists) {
        EXPECT_THAT(rendered,
                    HasSubstr("\n" + std::string(definition->name) + "=80,443,22,65535,1\n"));
        for (const std::string& piece : dropped) {
            EXPECT_THAT(warnings,
                        Contains("[" + std::string(definition->section) + "] " + definition->name +
                                 ": \"" + piece + "\" is not a port number 1..65535; dropped"));
        }
    }
    EXPECT_EQ(*store.GetListenPorts(), (PortList{80, 443, 22, 65535, 1}));
    EXPECT_EQ(*store.GetLogPorts(LogCategory::Inbound), (PortList{80, 443, 22, 65535, 1}));
}

TEST(SettingsRanges, SettersClamp) {
    SettingsTestDir dir;
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    store.SetThreshold(0);
    EXPECT_EQ(store.GetThreshold(), 1);
    store.SetThreshold(250);
    EXPECT_EQ(store.GetThreshold(), 250);
    store.SetLogType(LogCategory::Outbound, 9);
    EXPECT_EQ(store.GetLogType(LogCategory::Outbound), 3);
    store.SetLogRotation(LogCategory::Unknown, -1);
    EXPECT_EQ(store.GetLogRotation(LogCategory::Unknown), 0);
    store.SetNetIf(-7);
    EXPECT_EQ(store.GetNetIf(), -1);
    store.SetShowListening(5);
    EXPECT_EQ(store.GetShowListening(), 1);
    store.SetLogEnabled(LogCategory::Inbound, -3);
    EXPECT_EQ(store.GetLogEnabled(LogCategory::Inbound), 0);
}

TEST(SettingsTableShape, RenderAndFreshSaveFollowTheTable) {
    SettingsTestDir dir;
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    ASSERT_TRUE(store.Save());
    const std::string saved = ReadText(dir.File());
    const std::string rendered = RenderConfig(store);
    for (const SettingDefinition& definition : SettingsTable()) {
        const std::string key = "\n" + std::string(definition.name) + "=";
        EXPECT_THAT(rendered, HasSubstr(key)) << definition.name;
        if (definition.write == SettingWrite::ReadOnly) {
            EXPECT_THAT(saved, Not(HasSubstr(key))) << definition.name;
        } else {
            EXPECT_THAT(saved, HasSubstr(key)) << definition.name;
        }
    }
    // What was saved reads back as the same values.
    CSettingsStore back(dir.File(), nullptr, dir.Path());
    EXPECT_THAT(back.LoadWarnings(), IsEmpty());
    EXPECT_EQ(RenderConfig(back), rendered);
}

TEST(SettingsFiles, PrintingTheConfigurationCreatesNothing) {
    SettingsTestDir dir;
    WriteText(dir.File(), "[Logging]\ninboundfolder=" + (dir.Path() / "in").string() +
                              "\n[General]\nInstallFolder=" + (dir.Path() / "opt").string() + "\n");
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    EXPECT_THAT(RenderConfig(store),
                HasSubstr("outboundfolder=" + (dir.Path() / "opt/logs").string()));
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);  // the settings file alone: no log folders
}

TEST(SettingsFiles, AFifoGivesDefaultsAtOnceAndIsNeverReplaced) {
    SettingsTestDir dir;
    ASSERT_EQ(::mkfifo(dir.File().c_str(), 0600), 0);
    std::unique_ptr<CSettingsStore> store;
    EXPECT_TRUE(test::FinishesWithoutAWriter(dir.File(), [&] {
        store = std::make_unique<CSettingsStore>(dir.File(), nullptr, dir.Path());
    }));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->GetThreshold(), 3);
    EXPECT_THAT(store->LoadWarnings(), Contains(HasSubstr("not a regular file")));

    store->SetThreshold(5);
    std::string error;
    EXPECT_FALSE(store->Save(&error));
    EXPECT_THAT(error, HasSubstr("not a regular file"));
    EXPECT_FALSE(store->WriteProfileString("View", "columnwidths", "1"));
    EXPECT_TRUE(std::filesystem::is_fifo(dir.File()));
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);  // no temporary file beside it
}

TEST(SettingsFiles, AnOversizedFileGivesDefaultsAndIsNeverOverwritten) {
    SettingsTestDir dir;
    const std::string big = "[ScanWatch]\nthreshold=9\n" + std::string(kMaxReadFileSize, ';');
    WriteText(dir.File(), big);
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    EXPECT_EQ(store.GetThreshold(), 3);
    ASSERT_EQ(store.LoadWarnings().size(), 1u);
    EXPECT_THAT(store.LoadWarnings()[0], HasSubstr("larger than 1048576 bytes; using defaults"));
    // Nothing changed, as at a monitor's stop: nothing is lost, so nothing to report.
    std::string error;
    EXPECT_TRUE(store.Save(&error)) << error;
    EXPECT_EQ(error, "");
    store.SetThreshold(4);
    EXPECT_FALSE(store.Save(&error));
    EXPECT_THAT(error, HasSubstr("larger than"));
    EXPECT_EQ(ReadText(dir.File()), big);

    WriteText(dir.File(), std::string(kMaxReadFileSize, ';'));  // at the limit: read
    EXPECT_THAT(CSettingsStore(dir.File(), nullptr, dir.Path()).LoadWarnings(), IsEmpty());
}

TEST(SettingsFiles, WarningsShowControlBytesEscaped) {
    SettingsTestDir dir;
    WriteText(dir.File(),
              "[View]\nshowlistening=\x1b]0;owned\x07\x1b[2J\n[General]\nnetif=\xc2\x9b"
              "1\n");
    CSettingsStore store(dir.File(), nullptr, dir.Path());
    const std::vector<std::string> warnings = store.LoadWarnings();
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_THAT(warnings, Contains(HasSubstr("showlistening: \"\\x1b]0;owned\\x07\\x1b[2J\"")));
    EXPECT_THAT(warnings, Contains(HasSubstr("netif: \"\\xc2\\x9b1\"")));
    for (const std::string& warning : warnings) {
        EXPECT_EQ(warning.find('\x1b'), std::string::npos) << warning;
        EXPECT_EQ(warning.find('\x07'), std::string::npos) << warning;
    }
}

TEST(MessageText, EscapesWhatATerminalWouldActOn) {
    EXPECT_EQ(EscapeForMessage("plain text, 80"), "plain text, 80");
    EXPECT_EQ(EscapeForMessage(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(EscapeForMessage("\t\r\n\x7f"), "\\x09\\x0d\\x0a\\x7f");
    EXPECT_EQ(EscapeForMessage("C:\\logs"), "C:\\\\logs");
    EXPECT_EQ(EscapeForMessage("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");  // UTF-8 text stays readable
    EXPECT_EQ(EscapeForMessage("\x9b"
                               "2J"),
              "\\x9b2J");                                            // a bare C1 byte
    EXPECT_EQ(EscapeForMessage("\xc2\x9b"), "\\xc2\\x9b");           // C1 CSI written as UTF-8
    EXPECT_EQ(EscapeForMessage("\xe2\x82"), "\\xe2\\x82");           // cut short
    EXPECT_EQ(EscapeForMessage("\xc0\xaf"), "\\xc0\\xaf");           // overlong
    EXPECT_EQ(EscapeForMessage("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
}

// Loading works from a read-only folder, a save with nothing to write succeeds, and a save with
// changes fails with the system's reason. Returns what went wrong, empty when all is well.
std::string CheckReadOnlyFolder(const std::filesystem::path& file, int expectedErrno) {
    std::string wrong;
    auto expect = [&wrong](bool ok, const std::string& what) {
        if (!ok) {
            wrong += what + "\n";
        }
    };
    const std::string before = ReadText(file);
    CSettingsStore store(file, nullptr, file.parent_path());
    expect(store.GetThreshold() == 7, "threshold not loaded");
    expect(store.LoadWarnings().empty(), "warnings at load");
    std::string error;
    expect(store.Save(&error), "a save with nothing changed failed: " + error);
    store.SetThreshold(4);
    error.clear();
    expect(!store.Save(&error), "a save into a read-only folder succeeded");
    expect(error.find(std::strerror(expectedErrno)) != std::string::npos,
           "the reason lacks the system's text: " + error);
    expect(ReadText(file) == before, "the file changed");
    expect(store.Reload().empty() && store.GetThreshold() == 7, "reload failed");
    return wrong;
}

enum ChildResult { kChildPassed = 0, kChildFailed = 1, kChildCannotMount = 77 };

// As root, permissions do not stop writes: a read-only tmpfs in a private mount namespace does.
int RunReadOnlyMountCase(const std::filesystem::path& folder) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tarvik-test", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
        return kChildCannotMount;
    }
    WriteText(folder / "Tarvik.conf", "[ScanWatch]\nthreshold=7\n");
    if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        return kChildCannotMount;
    }
    const std::string wrong = CheckReadOnlyFolder(folder / "Tarvik.conf", EROFS);
    std::cerr << wrong;
    return wrong.empty() ? kChildPassed : kChildFailed;
}

TEST(SettingsFiles, AReadOnlyFolderLoadsAndRefusesToSaveWithTheReason) {
    SettingsTestDir dir;
    const auto folder = dir.Path() / "etc";
    std::filesystem::create_directory(folder);
    if (::geteuid() != 0) {
        WriteText(folder / "Tarvik.conf", "[ScanWatch]\nthreshold=7\n");
        ::chmod(folder.c_str(), 0555);
        const std::string wrong = CheckReadOnlyFolder(folder / "Tarvik.conf", EACCES);
        ::chmod(folder.c_str(), 0755);
        EXPECT_EQ(wrong, "");
        return;
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        ::_exit(RunReadOnlyMountCase(folder));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kChildCannotMount) {
        GTEST_SKIP() << "running as root without the right to mount a read-only tmpfs in a "
                        "private mount namespace; permissions alone do not stop root";
    }
    EXPECT_EQ(WEXITSTATUS(status), kChildPassed) << "see the child's output above";
}

}  // namespace
}  // namespace tarvik
