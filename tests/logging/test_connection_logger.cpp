#include "logging/ConnectionLogger.h"

#include <filesystem>

#include "LoggerFixture.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::kHeaderLine;
using testing::LineCount;
using testing::LoggerTest;
using testing::UtcTime;

const std::time_t kMay7 = UtcTime(2003, 5, 7, 14, 5, 10);
const std::time_t kMay8 = UtcTime(2003, 5, 8, 9, 0, 0);

std::size_t FileCount(const fs::path& dir) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++count;
    }
    return count;
}

using ConnectionLoggerTest = LoggerTest;

TEST_F(ConnectionLoggerTest, WritesTheExactLineUnderAHeaderWithNothingEscaped) {
    CConnectionRecord record = Record(kCategoryInbound, UtcTime(2003, 8, 22, 14, 5, 10));
    record.openTime = UtcTime(2003, 8, 22, 14, 3, 7);
    CConnectionLogger logger(store_);
    logger.Log(record);
    record.serviceText = "inbound a,b";
    logger.Log(record);

    const std::string line =
        "14:03:07 08/22/2003,14:05:10 08/22/2003,192.168.1.20,192.168.1.20,1234,192.168.1.5,21,";
    EXPECT_EQ(Log("inbound.22. 8.2003"),
              kHeaderLine + line + "inbound ftp\n" + line + "inbound a,b\n");
}

TEST_F(ConnectionLoggerTest, HeaderIsWrittenOnceEvenAcrossLoggers) {
    {
        CConnectionLogger logger(store_);
        logger.Log(Record(kCategoryInbound, kMay7));
        logger.Log(Record(kCategoryInbound, kMay7 + 60));
    }
    CConnectionLogger reopened(store_);
    reopened.Log(Record(kCategoryInbound, kMay7 + 120));

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find("Open Time"), 0u);
    EXPECT_EQ(log.find("Open Time", 1), std::string::npos);
    EXPECT_EQ(LineCount(log), 4);
    EXPECT_NE(log.find("14:05:07 05/07/2003,14:07:10 05/07/2003,192.168.1.20"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, ExistingFileIsAppendedToAndOnlyAnEmptyOneGetsTheHeader) {
    std::ofstream(dir_ / "outbound. 7. 5.2003").close();
    std::ofstream(dir_ / "unknown. 7. 5.2003") << "earlier line\n";
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryOutbound, kMay7));
    logger.Log(Record(kCategoryUnknown, kMay7));

    EXPECT_EQ(Log("outbound. 7. 5.2003").find(kHeaderLine), 0u);
    const std::string unknown = Log("unknown. 7. 5.2003");
    EXPECT_EQ(unknown.find("earlier line\n14:03:07 05/07/2003,"), 0u);
    EXPECT_EQ(LineCount(unknown), 2);
}

TEST_F(ConnectionLoggerTest, EachCategoryHasItsOwnFileAndListeningWritesNothing) {
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryListening, kMay7));
    logger.Log(Record(0, kMay7));
    EXPECT_EQ(FileCount(dir_.Path()), 0u);

    logger.Log(Record(kCategoryInbound, kMay7));
    logger.Log(Record(kCategoryOutbound, kMay7));
    logger.Log(Record(kCategoryUnknown, kMay7));
    EXPECT_EQ(FileCount(dir_.Path()), 3u);
    for (const char* name : {"inbound. 7. 5.2003", "outbound. 7. 5.2003", "unknown. 7. 5.2003"}) {
        EXPECT_EQ(LineCount(Log(name)), 2) << name;
    }
}

TEST_F(ConnectionLoggerTest, SwitchAndFilterAreReadAtEveryRecord) {
    CConnectionLogger logger(store_);
    store_.SetLogEnabled(LogCategory::Inbound, 0);
    logger.Log(Record(kCategoryInbound, kMay7, 80));
    EXPECT_FALSE(fs::exists(dir_ / "inbound. 7. 5.2003"));

    store_.SetLogEnabled(LogCategory::Inbound, 1);
    store_.SetLogType(LogCategory::Inbound, 2);
    store_.SetLogPorts(LogCategory::Inbound, {80, 443});
    logger.Log(Record(kCategoryInbound, kMay7, 80));
    logger.Log(Record(kCategoryInbound, kMay7, 25));
    store_.SetLogType(LogCategory::Inbound, 3);
    logger.Log(Record(kCategoryInbound, kMay7, 443));
    logger.Log(Record(kCategoryInbound, kMay7, 22));

    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(log), 3);
    EXPECT_NE(log.find(",25,inbound ftp\n"), std::string::npos);
    EXPECT_NE(log.find(",443,inbound ftp\n"), std::string::npos);
    EXPECT_EQ(log.find(",80,inbound ftp\n"), std::string::npos);
    EXPECT_EQ(log.find(",22,inbound ftp\n"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, AlternatingDaysPutEachLineInItsDaysFile) {
    CConnectionLogger logger(store_);
    for (int i = 0; i < 4; ++i) {
        CConnectionRecord record = Record(kCategoryInbound, i % 2 == 0 ? kMay7 : kMay8);
        record.localPort = 100 + i;
        logger.Log(record);
    }
    const std::string day7 = Log("inbound. 7. 5.2003");
    const std::string day8 = Log("inbound. 8. 5.2003");
    EXPECT_EQ(LineCount(day7), 3);
    EXPECT_EQ(LineCount(day8), 3);
    EXPECT_NE(day7.find(",100,"), std::string::npos);
    EXPECT_NE(day7.find(",102,"), std::string::npos);
    EXPECT_NE(day8.find(",101,"), std::string::npos);
    EXPECT_NE(day8.find(",103,"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, RotationChangeMovesToTheNewFileAtOnce) {
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryOutbound, kMay7));
    store_.SetLogRotation(LogCategory::Outbound, kRotationWeekly);
    logger.Log(Record(kCategoryOutbound, kMay7));
    store_.SetLogRotation(LogCategory::Outbound, kRotationMonthly);
    logger.Log(Record(kCategoryOutbound, kMay7));

    for (const char* name : {"outbound. 7. 5.2003", "outbound. 4-10. 5.2003", "outbound. 5.2003"}) {
        const std::string log = Log(name);
        EXPECT_EQ(LineCount(log), 2) << name;
    }
}

TEST_F(ConnectionLoggerTest, FolderChangeTakesEffectAfterTheNextDateChange) {
    const fs::path other = dir_.Path() / "other";
    fs::create_directory(other);
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryInbound, kMay7));
    store_.SetLogFolder(LogCategory::Inbound, other.string() + "/");
    logger.Log(Record(kCategoryInbound, kMay7));
    logger.Log(Record(kCategoryInbound, kMay8));

    const std::string day7 = Log("inbound. 7. 5.2003");
    EXPECT_EQ(LineCount(day7), 3);
    EXPECT_EQ(testing::ReadFile(other / "inbound. 8. 5.2003").find(kHeaderLine), 0u);
}

TEST_F(ConnectionLoggerTest, MissingFolderSwitchesOnlyThatCategoryOffOnce) {
    const fs::path missing = dir_.Path() / "missing";
    store_.SetLogFolder(LogCategory::Inbound, missing.string());
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryInbound, kMay7));
    logger.Log(Record(kCategoryInbound, kMay7));
    logger.Log(Record(kCategoryUnknown, kMay7));

    EXPECT_EQ(notifier_->Messages(),
              std::vector<std::string>{
                  "Unable to open inbound connection logfile, disabling inbound logging."});
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Inbound), 0);
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Unknown), 1);
    EXPECT_TRUE(fs::exists(dir_ / "unknown. 7. 5.2003"));

    // Switched on again by the user, with the folder back, the category writes again.
    fs::create_directory(missing);
    store_.SetLogEnabled(LogCategory::Inbound, 1);
    logger.Log(Record(kCategoryInbound, kMay7));
    EXPECT_EQ(testing::ReadFile(missing / "inbound. 7. 5.2003").find(kHeaderLine), 0u);
    EXPECT_EQ(notifier_->Messages().size(), 1u);
}

TEST_F(ConnectionLoggerTest, EachCategoryHasItsOwnFailureMessage) {
    store_.SetLogRotation(LogCategory::Outbound, 7);  // no file name at all
    store_.SetLogFolder(LogCategory::Unknown, (dir_.Path() / "gone").string());
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryOutbound, kMay7));
    logger.Log(Record(kCategoryUnknown, kMay7));

    EXPECT_EQ(notifier_->Messages(),
              (std::vector<std::string>{
                  "Unable to open Outbound connection logfile, disabling Outbound logging.",
                  "Unable to open Unknown connection logfile, disabling Unknown logging."}));
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Outbound), 0);
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Unknown), 0);
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Inbound), 1);
}

TEST_F(ConnectionLoggerTest, ExistingFileThatCannotBeOpenedIsRetriedAtTheNextRecord) {
    // A directory in the file's place exists but cannot be opened for writing, even by root.
    const fs::path blocked = dir_.Path() / "inbound. 7. 5.2003";
    fs::create_directory(blocked);
    CConnectionLogger logger(store_);
    logger.Log(Record(kCategoryInbound, kMay7, 1));

    EXPECT_TRUE(notifier_->Messages().empty());
    EXPECT_EQ(store_.GetLogEnabled(LogCategory::Inbound), 1);

    fs::remove(blocked);
    logger.Log(Record(kCategoryInbound, kMay7, 2));
    const std::string log = Log("inbound. 7. 5.2003");
    EXPECT_EQ(log.find(kHeaderLine), 0u);
    EXPECT_EQ(LineCount(log), 2);
    EXPECT_NE(log.find(",2,inbound ftp\n"), std::string::npos);
}

TEST_F(ConnectionLoggerTest, DefaultsLogInboundDailyIntoLogsUnderTheInstallFolder) {
    testing::TempDir install;
    CSettingsStore defaults(
        install.Path() / "Tarvik.conf", [] { return std::vector<std::string>{}; }, install.Path());
    ASSERT_TRUE(fs::is_directory(install.Path() / "logs"));
    CConnectionLogger logger(defaults);
    logger.Log(Record(kCategoryInbound, kMay7));
    logger.Log(Record(kCategoryOutbound, kMay7));

    EXPECT_EQ(testing::ReadFile(install.Path() / "logs" / "inbound. 7. 5.2003").find(kHeaderLine),
              0u);
    EXPECT_FALSE(fs::exists(install.Path() / "logs" / "outbound. 7. 5.2003"));
}

}  // namespace
}  // namespace tarvik
