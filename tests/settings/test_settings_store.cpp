#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SettingsTestDir.h"
#include "settings/SettingsStore.h"

namespace tarvik {
namespace {

using test::ReadText;
using test::SettingsTestDir;
using test::WriteText;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

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
    EXPECT_TRUE(std::filesystem::is_directory(logs));

    EXPECT_EQ(store->GetScanEnabled(), 1);
    EXPECT_EQ(store->GetThreshold(), 3);
    EXPECT_THAT(*store->GetIgnoreHosts(), ElementsAre("0.0.0.0", "127.0.0.1"));
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

    EXPECT_THAT(store->ColumnTitles(),
                ElementsAre("Hostname", "IP Address", "Local Port", "Remote Port", "Service Type",
                            "Interface", "Connection State"));
    ASSERT_EQ(store->LoadWarnings().size(), 1u);
    EXPECT_THAT(store->LoadWarnings()[0], HasSubstr("no settings file"));
}

TEST_F(SettingsStoreTest, LogFoldersFollowAStoredInstallFolder) {
    WriteText(dir.File(), "[General]\nInstallFolder=" + dir.Path().string() + "/elsewhere/\n");
    std::filesystem::create_directory(dir.Path() / "elsewhere");
    auto store = Open();
    EXPECT_EQ(store->GetInstallFolder(), dir.Path() / "elsewhere/");
    EXPECT_EQ(store->GetLogFolder(kOut), (dir.Path() / "elsewhere" / "logs").string());
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() / "elsewhere" / "logs"));
}

TEST(ListEncoding, PortLists) {
    EXPECT_THAT(DecodePortList("80,,443,"), ElementsAre(80, 443));
    EXPECT_EQ(EncodePortList(DecodePortList("80,,443,")), "80,443");
    EXPECT_THAT(DecodePortList(",80,,443 ,x"), ElementsAre(80, 443, 0));
    EXPECT_THAT(DecodePortList(" -5,+7,12abc,80,80"), ElementsAre(-5, 7, 12, 80, 80));
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

}  // namespace
}  // namespace tarvik
