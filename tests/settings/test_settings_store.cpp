#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "SettingsTestDir.h"

#include <cstdlib>
#include <functional>

#include "settings/ConfigPrinter.h"
#include "settings/LogFolders.h"
#include "settings/SettingsStore.h"

namespace tarvik {
namespace {

using test::ReadText;
using test::SettingsTestDir;
using test::WriteText;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

constexpr LogCategory kIn = LogCategory::Inbound;
constexpr LogCategory kOut = LogCategory::Outbound;
constexpr LogCategory kUnk = LogCategory::Unknown;

class SettingsStoreTest : public ::testing::Test {
protected:
    std::unique_ptr<CSettingsStore> Open() {
        return std::make_unique<CSettingsStore>(dir.File(), nullptr, dir.Path() / "install");
    }
    SettingsTestDir dir;
};

TEST_F(SettingsStoreTest, NoFileGivesEveryDefault) {
    std::filesystem::create_directory(dir.Path() / "install");
    auto store = Open();
    const std::string logs = (dir.Path() / "install" / "logs").string();

    EXPECT_EQ(store->GetNetIf(), -1);
    EXPECT_EQ(store->GetReverseLookup(), 1);
    EXPECT_EQ(store->GetShowListening(), 0);
    EXPECT_EQ(store->GetShowInbound(), 1);
    EXPECT_EQ(store->GetShowOutbound(), 1);
    EXPECT_EQ(store->GetShowUnknown(), 1);
    EXPECT_EQ(store->GetRefreshPeriodMs(), 750);
    EXPECT_EQ(store->GetInstallFolder(), dir.Path() / "install");

    for (LogCategory c : {kIn, kOut, kUnk}) {
        EXPECT_EQ(store->GetLogEnabled(c), c == kOut ? 0 : 1);
        EXPECT_EQ(store->GetLogType(c), 1);
        EXPECT_EQ(store->GetLogRotation(c), 0);
        EXPECT_EQ(store->GetLogFolder(c), logs);
        EXPECT_THAT(*store->GetLogPorts(c), IsEmpty());
    }
    // Loading creates nothing: the logger makes its folder when it opens a file.
    EXPECT_FALSE(std::filesystem::exists(logs));

    EXPECT_EQ(store->GetScanEnabled(), 1);
    EXPECT_EQ(store->GetThreshold(), 3);
    EXPECT_THAT(*store->GetIgnoreHosts(), ElementsAre("0.0.0.0", "127.0.0.1", "::1"));
    EXPECT_THAT(*store->GetIgnorePorts(), IsEmpty());
    EXPECT_EQ(store->GetListenEnabled(), 0);
    EXPECT_THAT(
        *store->GetListenPorts(),
        ElementsAre(1, 11, 15, 79, 111, 119, 143, 540, 635, 1080, 1524, 2000, 5742, 6667, 12345,
                    12346, 20034, 31337, 32771, 32772, 32773, 32774, 40421, 49724, 54320));
    EXPECT_EQ(store->GetEmailAlert(), 0);
    EXPECT_EQ(store->GetEventLog(), 1);
    EXPECT_THAT(*store->GetNotificationAddresses(), IsEmpty());
    EXPECT_EQ(store->GetMailHost(), "");

    ASSERT_EQ(store->LoadWarnings().size(), 1u);
    EXPECT_THAT(store->LoadWarnings()[0], HasSubstr("no settings file"));
}

TEST_F(SettingsStoreTest, LogFoldersFollowAStoredInstallFolder) {
    WriteText(dir.File(), "[General]\nInstallFolder=" + dir.Path().string() + "/elsewhere/\n");
    std::filesystem::create_directory(dir.Path() / "elsewhere");
    auto store = Open();
    EXPECT_EQ(store->GetInstallFolder(), dir.Path() / "elsewhere/");
    EXPECT_EQ(store->GetLogFolder(kOut), (dir.Path() / "elsewhere" / "logs").string());
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "elsewhere" / "logs"));
}

TEST(ListEncoding, PortLists) {
    EXPECT_THAT(DecodePortList("80,,443,"), ElementsAre(80, 443));
    EXPECT_EQ(EncodePortList(DecodePortList("80,,443,")), "80,443");
    EXPECT_THAT(DecodePortList(",80,,443 ,x"), ElementsAre(80, 443, 0));
    EXPECT_THAT(DecodePortList(" -5,+7,12abc,80,80"), ElementsAre(-5, 7, 12, 80, 80));
    EXPECT_THAT(DecodePortList("99999999999,-99999999999,2147483647,-2147483648,\t9"),
                ElementsAre(2147483647, -2147483647 - 1, 2147483647, -2147483647 - 1, 9));
    EXPECT_THAT(DecodePortList(""), IsEmpty());
    EXPECT_THAT(DecodePortList(",,,"), IsEmpty());
    EXPECT_EQ(EncodePortList({}), "");
    EXPECT_EQ(EncodePortList({21, 80, 443}), "21,80,443");
}

TEST(ListEncoding, TextListsKeepSpacesAndDropEmptyEntries) {
    EXPECT_THAT(DecodeTextList("0.0.0.0, 127.0.0.1"), ElementsAre("0.0.0.0", " 127.0.0.1"));
    EXPECT_THAT(DecodeTextList(",a,,b ,"), ElementsAre("a", "b "));
    EXPECT_THAT(DecodeTextList(""), IsEmpty());
    EXPECT_EQ(EncodeTextList({"", "a", "", "b"}), "a,b");
    EXPECT_EQ(EncodeTextList({}), "");
    // A comma inside an entry cannot be told apart on the way back.
    EXPECT_THAT(DecodeTextList(EncodeTextList({"a,b"})), ElementsAre("a", "b"));
}

TEST_F(SettingsStoreTest, MalformedFileLoadsWhatItCan) {
    WriteText(dir.File(),
              "stray=1\n"
              "[General]\n"
              "netif=2\n"
              "garbage without equals\n"
              "[View]\n"
              "reverselookup=0\n"
              "showlistening=12abc\n"
              "showinbound=99999999999\n"
              "showoutbound=\n"
              "showunknown=-2147483648\n"
              "[ScanWatch]\n"
              "threshold=abc\n"
              "threshold=7\n"
              "enabled=+0\n"
              "mailhost=\"unterminated\n");
    auto store = Open();
    EXPECT_EQ(store->GetNetIf(), 2);
    EXPECT_EQ(store->GetReverseLookup(), 0);
    EXPECT_EQ(store->GetShowListening(), 0);  // defaults for the values of the wrong kind
    EXPECT_EQ(store->GetShowInbound(), 1);
    EXPECT_EQ(store->GetShowOutbound(), 1);
    EXPECT_EQ(store->GetShowUnknown(), 1);  // out of range: the default
    EXPECT_EQ(store->GetThreshold(), 7);    // the last of duplicate keys wins
    EXPECT_EQ(store->GetScanEnabled(), 0);
    EXPECT_EQ(store->GetMailHost(), "");

    const auto warnings = store->LoadWarnings();
    EXPECT_EQ(warnings.size(), 7u);
    EXPECT_THAT(warnings, Contains(HasSubstr("line 1: value outside any section")));
    EXPECT_THAT(warnings, Contains(HasSubstr("line 4")));
    EXPECT_THAT(warnings, Contains(HasSubstr("line 15")));
    EXPECT_THAT(warnings, Contains(HasSubstr("showlistening: \"12abc\"")));
    EXPECT_THAT(warnings, Contains(HasSubstr("showinbound: \"99999999999\"")));
    EXPECT_THAT(warnings, Contains(HasSubstr("showoutbound: \"\"")));
    EXPECT_THAT(warnings, Contains(HasSubstr("showunknown: -2147483648 is out of range 0..1")));
}

TEST_F(SettingsStoreTest, BinaryGarbageNeverCrashes) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) {
        junk += static_cast<char>((i * 7919) % 256);
    }
    WriteText(dir.File(), junk);
    auto store = Open();
    EXPECT_EQ(store->GetThreshold(), 3);
    EXPECT_FALSE(store->LoadWarnings().empty());
    std::string error;
    EXPECT_TRUE(store->Save(&error)) << error;
    EXPECT_THAT(ReadText(dir.File()), StartsWith(junk.substr(0, 100)));
}

void ChangeEveryValue(CSettingsStore& store) {
    store.SetNetIf(3);
    store.SetReverseLookup(0);
    store.SetShowListening(1);
    store.SetShowInbound(0);
    store.SetShowOutbound(0);
    store.SetShowUnknown(0);
    int n = 0;
    for (LogCategory c : {kIn, kOut, kUnk}) {
        ++n;
        store.SetLogEnabled(c, n % 2);
        store.SetLogType(c, n);
        store.SetLogRotation(c, n - 1);
        store.SetLogFolder(c, " /var/log/tarvik " + std::to_string(n));
        store.SetLogPorts(c, n == 2 ? PortList{} : PortList{n, 80, 65535});
    }
    store.SetScanEnabled(0);
    store.SetThreshold(12);
    store.SetIgnoreHosts({"10.0.0.1", " 10.0.0.2"});
    store.SetListenEnabled(1);
    store.SetListenPorts({});
    store.SetEmailAlert(1);
    store.SetEventLog(0);
    store.SetNotificationAddresses({"a@example.org", "b@example.org "});
    store.SetMailHost("  mail.example.org");
}

void ExpectEveryValueChanged(const CSettingsStore& store) {
    EXPECT_EQ(store.GetNetIf(), 3);
    EXPECT_EQ(store.GetReverseLookup(), 0);
    EXPECT_EQ(store.GetShowListening(), 1);
    EXPECT_EQ(store.GetShowInbound(), 0);
    EXPECT_EQ(store.GetShowOutbound(), 0);
    EXPECT_EQ(store.GetShowUnknown(), 0);
    int n = 0;
    for (LogCategory c : {kIn, kOut, kUnk}) {
        ++n;
        EXPECT_EQ(store.GetLogEnabled(c), n % 2);
        EXPECT_EQ(store.GetLogType(c), n);
        EXPECT_EQ(store.GetLogRotation(c), n - 1);
        EXPECT_EQ(store.GetLogFolder(c), " /var/log/tarvik " + std::to_string(n));
        EXPECT_EQ(*store.GetLogPorts(c), (n == 2 ? PortList{} : PortList{n, 80, 65535}));
    }
    EXPECT_EQ(store.GetScanEnabled(), 0);
    EXPECT_EQ(store.GetThreshold(), 12);
    EXPECT_THAT(*store.GetIgnoreHosts(), ElementsAre("10.0.0.1", " 10.0.0.2"));
    EXPECT_EQ(store.GetListenEnabled(), 1);
    EXPECT_THAT(*store.GetListenPorts(), IsEmpty());
    EXPECT_EQ(store.GetEmailAlert(), 1);
    EXPECT_EQ(store.GetEventLog(), 0);
    EXPECT_THAT(*store.GetNotificationAddresses(), ElementsAre("a@example.org", "b@example.org "));
    EXPECT_EQ(store.GetMailHost(), "  mail.example.org");
}

TEST_F(SettingsStoreTest, SaveThenLoadRoundTripsEveryValue) {
    {
        auto store = Open();
        ChangeEveryValue(*store);
        std::string error;
        ASSERT_TRUE(store->Save(&error)) << error;
    }
    auto store = Open();
    EXPECT_THAT(store->LoadWarnings(), IsEmpty());
    ExpectEveryValueChanged(*store);
}

TEST_F(SettingsStoreTest, RenderedConfigReadsBackAsTheSameValues) {
    WriteText(dir.File(), "[ScanWatch]\nignoreports=135, 139\n[General]\nInstallFolder= /opt/t \n");
    auto store = Open();
    ChangeEveryValue(*store);
    const std::string text = RenderConfig(*store);
    EXPECT_THAT(text, HasSubstr("ignoreports=135,139\n"));
    EXPECT_THAT(text, HasSubstr("InstallFolder=/opt/t\n"));

    SettingsTestDir other;
    WriteText(other.File(), text);
    CSettingsStore back(other.File(), nullptr, other.Path());
    EXPECT_THAT(back.LoadWarnings(), IsEmpty());
    ExpectEveryValueChanged(back);
    EXPECT_EQ(back.GetInstallFolder(), "/opt/t");
    EXPECT_THAT(*back.GetIgnorePorts(), ElementsAre(135, 139));
    EXPECT_EQ(RenderConfig(back), text);
}

TEST_F(SettingsStoreTest, FreshSaveWritesTheStoredValuesInOrder) {
    auto store = Open();
    ASSERT_TRUE(store->Save());
    const std::string logs = (dir.Path() / "install" / "logs").string();
    std::string logging;
    for (const char* word : {"inbound", "outbound", "unknown"}) {
        const bool on = std::string(word) != "outbound";
        logging += std::string(word) + "=" + (on ? "1" : "0") + "\n" + word + "type=1\n" + word +
                   "rotation=0\n" + word + "folder=" + logs + "\n" + word + "ports=\n";
    }
    EXPECT_EQ(ReadText(dir.File()),
              "[General]\nnetif=-1\nacquisition=auto\nsocket=default\n\n"
              "[View]\nreverselookup=1\nshowlistening=0\nshowinbound=1\nshowoutbound=1\n"
              "showunknown=1\n\n"
              "[Logging]\n" +
                  logging +
                  "keepdays=0\nformat=classic\nudp=0\n\n[ScanWatch]\nenabled=1\nthreshold=3\n"
                  "ignorehosts=0.0.0.0,127.0.0.1,::1\n"
                  "listenenabled=0\nlistenports=1,11,15,79,111,119,143,540,635,1080,1524,2000,"
                  "5742,6667,12345,12346,20034,31337,32771,32772,32773,32774,40421,49724,54320\n"
                  "eventlog=1\nemailalert=0\nnotificationaddresses=\nmailhost=\n"
                  "window=0\nmaxhosts=65536\nmaxports=1024\nalertsperminute="
                  "10\neventalertsperminute=100\nblock=0\n"
                  "blocktimeout=3600\nblockprobes=0\noutbound=1\noutboundthreshold=20\n\n"
                  "[Export]\nmetricsfile=\neventformat=tarvik\neventsfile=\n"
                  "eventsfilesize=100\n");
}

TEST_F(SettingsStoreTest, SaveKeepsWhatItDoesNotWrite) {
    const std::string original =
        "# my settings\n"
        "[General]\n"
        "InstallFolder=/srv/tarvik\n"
        "netif=0\n"
        "[ScanWatch]\n"
        "ignoreports=80,,443,\n"
        "custom=keep me\n"
        "[Settings]\n"
        "MainWndPos=0,1,2\n"
        "[Plugins]\n"
        "x=y\n";
    WriteText(dir.File(), original);
    auto store = Open();
    EXPECT_THAT(*store->GetIgnorePorts(), ElementsAre(80, 443));
    store->SetNetIf(1);
    ASSERT_TRUE(store->Save());
    const std::string saved = ReadText(dir.File());
    EXPECT_THAT(saved,
                StartsWith("# my settings\n[General]\nInstallFolder=/srv/tarvik\nnetif=1\n"));
    EXPECT_THAT(saved, HasSubstr("ignoreports=80,,443,\ncustom=keep me\n"));
    EXPECT_THAT(saved, HasSubstr("[Settings]\nMainWndPos=0,1,2\n[Plugins]\nx=y\n"));

    ASSERT_TRUE(Open()->Save());  // and again, as on every later run
    EXPECT_THAT(ReadText(dir.File()), HasSubstr("ignoreports=80,,443,\n"));
}

TEST_F(SettingsStoreTest, ReadOnlyValuesAreNotAddedBySave) {
    auto store = Open();
    ASSERT_TRUE(store->Save());
    const std::string saved = ReadText(dir.File());
    EXPECT_THAT(saved, Not(HasSubstr("InstallFolder")));
    EXPECT_THAT(saved, Not(HasSubstr("ignoreports")));
}

TEST_F(SettingsStoreTest, SaveIntoAMissingFolderCreatesIt) {
    const auto file = dir.Path() / "config" / "Corvane" / "Tarvik.conf";
    CSettingsStore store(file, nullptr, dir.Path());
    store.SetThreshold(5);
    std::string error;
    ASSERT_TRUE(store.Save(&error)) << error;
    EXPECT_EQ(CSettingsStore(file, nullptr, dir.Path()).GetThreshold(), 5);
}

TEST_F(SettingsStoreTest, FailedSaveReportsAndKeepsTheOldFile) {
    WriteText(dir.Path() / "blocker", "not a folder");
    CSettingsStore store(dir.Path() / "blocker" / "Tarvik.conf", nullptr, dir.Path());
    std::string error;
    EXPECT_FALSE(store.Save(&error));
    EXPECT_THAT(error, HasSubstr("cannot create folder"));
    EXPECT_EQ(ReadText(dir.Path() / "blocker"), "not a folder");
}

TEST_F(SettingsStoreTest, AFileThatCannotBeReadIsNotOverwritten) {
    std::filesystem::create_directory(dir.File());
    auto store = Open();
    EXPECT_EQ(store->GetThreshold(), 3);
    EXPECT_FALSE(store->LoadWarnings().empty());
    store->SetThreshold(5);
    std::string error;
    EXPECT_FALSE(store->Save(&error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(store->WriteProfileString("View", "columnwidths", "1"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File()));
}

TEST_F(SettingsStoreTest, GenerationMovesWithEveryChangedValueAndReloadOnly) {
    auto store = Open();
    const struct {
        const char* name;
        std::function<void()> act;
        bool moves;
    } steps[] = {
        {"a logging value", [&] { store->SetLogRotation(kOut, 2); }, true},
        {"the same value again", [&] { store->SetLogRotation(kOut, 2); }, false},
        {"a port list", [&] { store->SetLogPorts(kUnk, {25}); }, true},
        {"another section's value", [&] { store->SetThreshold(9); }, true},
        {"a save", [&] { ASSERT_TRUE(store->Save()); }, false},
        {"a reload", [&] { store->Reload(); }, true},
    };
    for (const auto& step : steps) {
        const std::uint64_t before = store->Generation();
        step.act();
        EXPECT_EQ(store->Generation() != before, step.moves) << step.name;
    }
    const CSettingsStore::LoggingValues logging = store->GetLoggingValues();
    EXPECT_EQ(logging.generation, store->Generation());
    EXPECT_EQ(logging.categories[std::size_t(kOut)].rotation, 2);
    EXPECT_THAT(*logging.categories[std::size_t(kUnk)].ports, ElementsAre(25));
}

TEST_F(SettingsStoreTest, ProfileStringsAreWrittenAtOnce) {
    WriteText(dir.File(), "[View]\nshowlistening=1\n");
    auto store = Open();
    EXPECT_EQ(store->GetProfileString("Settings", "MainWndPos", "none"), "none");
    store->SetThreshold(9);  // in memory only until Save
    ASSERT_TRUE(store->WriteProfileString("View", "columnwidths", " 100,80 "));
    ASSERT_TRUE(store->WriteProfileString("Settings", "MainWndPos", "1\n2"));
    EXPECT_FALSE(store->WriteProfileString("Bad]", "x", "1"));
    EXPECT_EQ(store->GetProfileString("View", "columnwidths"), " 100,80 ");

    auto again = Open();
    EXPECT_EQ(again->GetProfileString("View", "columnwidths"), " 100,80 ");
    EXPECT_EQ(again->GetProfileString("Settings", "MainWndPos"), "1\n2");
    EXPECT_EQ(again->GetShowListening(), 1);
    EXPECT_EQ(again->GetThreshold(), 3);
}

TEST(SettingsStoreFile, DefaultFileFollowsTheEnvironment) {
    struct Restore {
        std::vector<std::pair<std::string, std::optional<std::string>>> saved;
        void Keep(const char* name) {
            const char* v = std::getenv(name);
            saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        ~Restore() {
            for (auto& [name, value] : saved) {
                value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
            }
        }
    } restore;
    for (const char* name : {"TARVIK_CONFIG", "XDG_CONFIG_HOME", "HOME"}) {
        restore.Keep(name);
    }
    ::setenv("HOME", "/home/u", 1);
    ::unsetenv("TARVIK_CONFIG");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(CSettingsStore::DefaultFile(), "/home/u/.config/Corvane/Tarvik.conf");
    ::setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(CSettingsStore::DefaultFile(), "/home/u/.config/Corvane/Tarvik.conf");
    ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(CSettingsStore::DefaultFile(), "/xdg/Corvane/Tarvik.conf");
    ::setenv("TARVIK_CONFIG", "/etc/tarvik.conf", 1);
    EXPECT_EQ(CSettingsStore::DefaultFile(), "/etc/tarvik.conf");
}

TEST_F(SettingsStoreTest, InterfaceListIsExchangedWhole) {
    int builds = 0;
    std::vector<std::string> traces;
    CSettingsStore store(
        dir.File(),
        [&] {
            ++builds;
            return std::vector<std::string>{"0.0.0.0", "10.0.0." + std::to_string(builds)};
        },
        dir.Path());
    store.SetTraceSink([&](std::string_view text) { traces.emplace_back(text); });

    TextListPtr first = store.GetInterfaceAddresses();
    EXPECT_THAT(*first, ElementsAre("10.0.0.1"));
    EXPECT_EQ(store.GetInterfaceAddresses(), first);  // no rebuild without a refresh
    TextListPtr second = store.GetInterfaceAddresses(true);
    EXPECT_THAT(*second, ElementsAre("10.0.0.2"));
    EXPECT_THAT(*first, ElementsAre("10.0.0.1"));  // the earlier reader's list is untouched
    EXPECT_EQ(store.GetInterfaceAddresses(), second);
    EXPECT_EQ(builds, 2);
    EXPECT_THAT(traces, ElementsAre("config, refresh netifs", "config, refresh netifs"));

    CSettingsStore without(dir.File(), nullptr, dir.Path());
    EXPECT_THAT(*without.GetInterfaceAddresses(), IsEmpty());
}

TEST(SettingsStoreHost, LocalHostNameIsTheMachineName) {
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof(name) - 1), 0);
    EXPECT_EQ(CSettingsStore::LocalHostName(), name);
}

TEST_F(SettingsStoreTest, AcquisitionIsOneOfItsWordsElseAutoWithAWarning) {
    EXPECT_EQ(Open()->GetAcquisition(), "auto");

    WriteText(dir.File(), "[General]\nacquisition=destroy\n");
    auto store = Open();
    EXPECT_EQ(store->GetAcquisition(), "destroy");
    EXPECT_THAT(store->LoadWarnings(), IsEmpty());

    WriteText(dir.File(), "[General]\nacquisition=ebpf\n");
    store = Open();
    EXPECT_EQ(store->GetAcquisition(), "auto");
    EXPECT_THAT(store->LoadWarnings(),
                ElementsAre(HasSubstr(
                    "acquisition: \"ebpf\" is not one of auto,events,destroy,poll; using auto")));
}

TEST(UserLogsFolder, FollowsTheStateHomeForUsersOnly) {
    struct Case {
        UserFolderPlaces places;
        std::optional<std::filesystem::path> expected;
    };
    const Case cases[] = {
        {{false, "/s", "/h"}, "/s/tarvik/logs"},
        {{false, "", "/h"}, "/h/.local/state/tarvik/logs"},
        {{false, "relative/state", "/h"}, "/h/.local/state/tarvik/logs"},
        {{false, "", ""}, std::nullopt},
        {{true, "/s", "/h"}, std::nullopt},  // root keeps the install folder's logs
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UserLogsFolder(c.places), c.expected) << c.places.stateHome << c.places.home;
    }
}

// The log folder a store made as the programs make it (no install folder given) reads, run as
// an ordinary user: in a child that drops root when the test has it.
std::string DefaultLogFolderAsUser(const std::filesystem::path& file) {
    int out[2];
    if (::pipe(out) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        if (::geteuid() == 0 &&
            (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) {
            ::_exit(1);
        }
        const std::string folder = CSettingsStore(file, nullptr).GetLogFolder(kIn);
        const bool written =
            ::write(out[1], folder.data(), folder.size()) == static_cast<ssize_t>(folder.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(out[1]);
    std::string folder;
    char buffer[512];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        folder.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? folder : "child failed";
}

TEST_F(SettingsStoreTest, UsersOwnMonitorLogsUnderTheStateHomeUnlessTheFileSaysOtherwise) {
    ::chmod(dir.Path().c_str(), 0755);  // readable by the user the child becomes
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string restore = savedState != nullptr ? savedState : "";
    ::setenv("XDG_STATE_HOME", (dir.Path() / "state").c_str(), 1);
    struct Case {
        const char* file;
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {"", dir.Path() / "state" / "tarvik" / "logs"},
        {"[General]\nInstallFolder=/srv/tarvik\n", "/srv/tarvik/logs"},
        {"[Logging]\ninboundfolder=/var/tmp/in\n", "/var/tmp/in"},
    };
    for (const Case& c : cases) {
        WriteText(dir.File(), c.file);
        ::chmod(dir.File().c_str(), 0644);
        EXPECT_EQ(DefaultLogFolderAsUser(dir.File()), c.expected.string()) << c.file;
    }
    if (savedState != nullptr) {
        ::setenv("XDG_STATE_HOME", restore.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "state"));  // nothing made by loading
}

TEST_F(SettingsStoreTest, LogFoldersAreMadePrivateAndTheUnusableOnesToldInOneNotice) {
    const std::filesystem::path made = dir.Path() / "state" / "tarvik" / "logs";
    const std::filesystem::path file = dir.Path() / "plain";
    WriteText(file, "x");
    auto store = Open();
    struct Case {
        LogCategory category;
        int enabled;
        std::filesystem::path folder;
    };
    const Case cases[] = {
        {kIn, 1, made},
        {kOut, 1, file / "logs"},  // under a file: cannot be made
        {kUnk, 1, file / "logs"},  // shares the folder: one line for both
    };
    for (const Case& c : cases) {
        store->SetLogEnabled(c.category, c.enabled);
        store->SetLogFolder(c.category, c.folder.string());
    }
    std::vector<LogFolderProblem> problems = PrepareLogFolders(*store);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].categories, (std::vector<LogCategory>{kOut, kUnk}));
    struct stat status {};
    ASSERT_EQ(::stat(made.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((dir.Path() / "state").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);

    store->SetLogFolder(kIn, file.string());  // a file where the folder should be
    store->SetLogEnabled(kUnk, 0);            // a switched-off category is not checked
    problems = PrepareLogFolders(*store);
    EXPECT_EQ(LogFolderNotice(problems), "Connection logs cannot be written:\n" + file.string() +
                                             " (inbound): is not a folder\n" +
                                             (file / "logs").string() +
                                             " (outbound): cannot be made: Not a directory\n"
                                             "Choose other folders in Options > Logging.");
    EXPECT_EQ(LogFolderNotice({}), "");
}

}  // namespace
}  // namespace tarvik
