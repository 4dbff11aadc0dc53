#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SettingsTestDir.h"
#include "base/AtomicFile.h"
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

class SettingsSaveTest : public ::testing::Test {
protected:
    std::unique_ptr<CSettingsStore> Open() {
        return std::make_unique<CSettingsStore>(dir.File(), nullptr, dir.Path() / "install");
    }
    SettingsTestDir dir;
};

TEST_F(SettingsSaveTest, EditsMadeWhileRunningSurviveTheSave) {
    WriteText(dir.File(), "# managed by hand\n[ScanWatch]\nthreshold=3\n");
    auto store = Open();
    // The administrator edits the file while the monitor runs, then restarts it.
    const std::string edited = "# managed by hand\n[ScanWatch]\n; was 3\nthreshold=7\nmine=1\n";
    WriteText(dir.File(), edited);
    std::string error;
    ASSERT_TRUE(store->Save(&error)) << error;
    EXPECT_EQ(ReadText(dir.File()), edited);  // nothing changed in memory: nothing written

    // Values set to what they already hold, as a dialog's OK does: no change of any kind.
    store->SetThreshold(3);
    store->SetReverseLookup(store->GetReverseLookup());
    store->SetMailHost(store->GetMailHost());
    store->SetLogPorts(LogCategory::Inbound, *store->GetLogPorts(LogCategory::Inbound));
    store->SetIgnoreHosts({"0.0.0.0", "127.0.0.1", "::1"});
    store->SetNetIf(2);
    ASSERT_TRUE(store->Save(&error)) << error;
    const std::string saved = ReadText(dir.File());
    EXPECT_EQ(saved, edited + "\n[General]\nnetif=2\n");
    EXPECT_EQ(CSettingsStore(dir.File(), nullptr, dir.Path()).GetThreshold(), 7);

    // A save clears what it wrote: a later edit of the same key survives the next save.
    WriteText(dir.File(), edited + "[General]\nnetif=5\n");
    ASSERT_TRUE(store->Save(&error)) << error;
    EXPECT_THAT(ReadText(dir.File()), HasSubstr("netif=5\n"));
}

TEST_F(SettingsSaveTest, ChangedValuesReplaceTheFilesAndKeepTheirPlace) {
    WriteText(dir.File(),
              "[Logging]\n; ports that matter\ninboundports=80\ninboundtype=3\n"
              "[ScanWatch]\nthreshold=9\n");
    auto store = Open();
    store->SetLogPorts(LogCategory::Inbound, {22, 80});
    store->SetMailHost("mail.example.org");
    ASSERT_TRUE(store->Save());
    EXPECT_EQ(ReadText(dir.File()),
              "[Logging]\n; ports that matter\ninboundports=22,80\ninboundtype=3\n"
              "[ScanWatch]\nthreshold=9\nmailhost=mail.example.org\n");
}

TEST_F(SettingsSaveTest, ProfileStringsMergeIntoTheFileAsItIsNow) {
    WriteText(dir.File(), "[ScanWatch]\nthreshold=3\n");
    auto store = Open();
    store->SetListenEnabled(1);  // not saved yet: a profile write leaves it out
    WriteText(dir.File(), "[ScanWatch]\nthreshold=7\n");
    ASSERT_TRUE(store->WriteProfileString("View", "columnwidths", "100,80"));
    EXPECT_EQ(ReadText(dir.File()), "[ScanWatch]\nthreshold=7\n\n[View]\ncolumnwidths=100,80\n");
    EXPECT_EQ(store->GetProfileString("View", "columnwidths"), "100,80");

    ASSERT_TRUE(store->Save());
    EXPECT_EQ(ReadText(dir.File()),
              "[ScanWatch]\nthreshold=7\nlistenenabled=1\n\n[View]\ncolumnwidths=100,80\n");
}

TEST_F(SettingsSaveTest, ReloadTakesTheFileAndDropsUnsavedChanges) {
    WriteText(dir.File(), "[General]\nnetif=1\n");
    auto store = Open();
    store->SetNetIf(2);
    store->SetThreshold(12);
    const std::string edited = "[General]\nnetif=0\n[ScanWatch]\nthreshold=abc\n";
    WriteText(dir.File(), edited);

    const std::vector<std::string> warnings = store->Reload();
    EXPECT_EQ(store->GetNetIf(), 0);
    EXPECT_EQ(store->GetThreshold(), 3);  // unusable in the file: the default
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("threshold: \"abc\""));
    EXPECT_EQ(store->LoadWarnings(), warnings);

    ASSERT_TRUE(store->Save());  // the changes made before the reload are gone
    EXPECT_EQ(ReadText(dir.File()), edited);
}

TEST_F(SettingsSaveTest, ReloadOfAFileThatCannotBeReadKeepsTheValues) {
    WriteText(dir.File(), "[ScanWatch]\nthreshold=7\nlistenenabled=1\n");
    auto store = Open();
    store->SetMailHost("mail.example.org");

    WriteText(dir.File(), std::string(kMaxReadFileSize + 1, '#'));
    std::vector<std::string> warnings = store->Reload();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("larger than"));
    EXPECT_THAT(warnings[0], HasSubstr("keeping the current settings"));
    EXPECT_EQ(store->GetThreshold(), 7);
    EXPECT_EQ(store->GetListenEnabled(), 1);
    EXPECT_EQ(store->GetMailHost(), "mail.example.org");
    EXPECT_FALSE(store->Save());  // and the oversized file is not replaced
    EXPECT_EQ(std::filesystem::file_size(dir.File()), kMaxReadFileSize + 1);

    std::filesystem::remove(dir.File());
    ASSERT_EQ(::mkfifo(dir.File().c_str(), 0600), 0);
    EXPECT_TRUE(test::FinishesWithoutAWriter(dir.File(), [&] { warnings = store->Reload(); }));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("not a regular file"));
    EXPECT_EQ(store->GetThreshold(), 7);
    EXPECT_EQ(store->LoadWarnings(), warnings);
}

TEST_F(SettingsSaveTest, ReloadOfAVanishedFileGivesDefaults) {
    WriteText(dir.File(), "[ScanWatch]\nthreshold=7\n");
    auto store = Open();
    std::filesystem::remove(dir.File());
    EXPECT_THAT(store->Reload(), Contains(HasSubstr("no settings file")));
    EXPECT_EQ(store->GetThreshold(), 3);
}

}  // namespace
}  // namespace tarvik
