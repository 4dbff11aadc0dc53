#include "logging/LogRetention.h"

#include <sys/stat.h>
#include <utime.h>

#include <filesystem>
#include <fstream>

#include "LoggerFixture.h"
#include "logging/LoggingThread.h"

namespace tarvik {
namespace {

namespace fs = std::filesystem;
using testing::LoggerTest;

using LogRetentionTest = LoggerTest;

constexpr std::time_t kDay = 86400;

// A file last written `daysAgo` days before `now`.
void MakeFile(const fs::path& path, std::time_t now, int daysAgo) {
    std::ofstream(path) << "x\n";
    const std::time_t when = now - daysAgo * kDay;
    const utimbuf times{when, when};
    ::utime(path.c_str(), &times);
}

TEST(LogFileNameMatchTest, OnlyNamesTheLoggerMakes) {
    for (const char* name : {"inbound. 7. 5.2003", "inbound.17.12.2003", "inbound. 4-10. 5.2003",
                             "inbound.26- 1.11.2003", "inbound. 5.2003", "inbound.12.2003"}) {
        EXPECT_TRUE(IsOwnLogFileName(name, LogCategory::Inbound)) << name;
    }
    for (const char* name :
         {"inbound.07.05.2003", "inbound. 7. 5.2003.bak", "inbound. 7. 5.2003 ", "inbound.",
          "inbound", "inbound.7.5.2003", "Inbound. 7. 5.2003", "inbound. 7.13.2003",
          "inbound.13.2003", "inbound. 5.03", "outbound. 7. 5.2003", "inbound.x. 5.2003",
          "inbound. 7. 5.2003\n", "inbound.-1. 5.2003"}) {
        EXPECT_FALSE(IsOwnLogFileName(name, LogCategory::Inbound)) << name;
    }
    EXPECT_TRUE(IsOwnLogFileName("unknown. 5.2003", LogCategory::Unknown));
}

TEST_F(LogRetentionTest, RemovesOnlyOwnOldFilesAndLeavesForeignOnesAlone) {
    const fs::path folder = dir_.Path();
    const std::time_t now = std::time(nullptr);
    MakeFile(folder / "inbound. 7. 5.2003", now, 40);     // old: goes
    MakeFile(folder / "inbound. 4-10. 5.2003", now, 31);  // old weekly: goes
    MakeFile(folder / "inbound. 5.2003", now, 10);        // young: stays
    MakeFile(folder / "inbound.07.05.2003", now, 40);     // not a name it makes
    MakeFile(folder / "inbound. 7. 5.2003.gz", now, 40);  // someone's archive
    MakeFile(folder / "outbound. 7. 5.2003", now, 40);    // another category's
    MakeFile(folder / "notes.txt", now, 400);
    fs::create_directory(folder / "inbound. 8. 5.2003");  // a folder with a log's name
    MakeFile(folder / "target", now, 40);
    fs::create_symlink(folder / "target", folder / "inbound. 9. 5.2003");

    std::vector<std::string> reports;
    const int removed =
        RemoveOldLogFiles(folder, LogCategory::Inbound, 30, now,
                          [&](const std::string& text) { reports.push_back(text); });
    EXPECT_EQ(removed, 2);
    EXPECT_TRUE(reports.empty());
    EXPECT_FALSE(fs::exists(folder / "inbound. 7. 5.2003"));
    EXPECT_FALSE(fs::exists(folder / "inbound. 4-10. 5.2003"));
    for (const char* kept :
         {"inbound. 5.2003", "inbound.07.05.2003", "inbound. 7. 5.2003.gz", "outbound. 7. 5.2003",
          "notes.txt", "inbound. 8. 5.2003", "target", "inbound. 9. 5.2003"}) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(folder / kept))) << kept;
    }
    // Zero keeps everything.
    EXPECT_EQ(RemoveOldLogFiles(folder, LogCategory::Outbound, 0, now, {}), 0);
    EXPECT_TRUE(fs::exists(folder / "outbound. 7. 5.2003"));
}

TEST_F(LogRetentionTest, AMissingFolderIsQuietAndAnUnreadableOneIsReported) {
    std::vector<std::string> reports;
    auto report = [&](const std::string& text) { reports.push_back(text); };
    EXPECT_EQ(RemoveOldLogFiles(dir_.Path() / "gone", LogCategory::Inbound, 1, 0, report), 0);
    EXPECT_TRUE(reports.empty());

    std::ofstream(dir_.Path() / "plain") << "x";
    EXPECT_EQ(RemoveOldLogFiles(dir_.Path() / "plain", LogCategory::Inbound, 1, 0, report), 0);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("Not a directory"), std::string::npos) << reports[0];
}

TEST_F(LogRetentionTest, TheLoggerSweepsAtItsStartAndOncePerDay) {
    const std::time_t now = std::time(nullptr);
    MakeFile(dir_.Path() / "unknown. 1. 1.2001", now, 3);
    MakeFile(dir_.Path() / "inbound. 1. 1.2001", now, 1);
    store_.SetLogKeepDays(2);
    {
        CLoggingThread worker(store_, hub_);
        worker.Start();
        worker.PostQuit();
        worker.Join();
    }
    EXPECT_FALSE(fs::exists(dir_.Path() / "unknown. 1. 1.2001"));
    EXPECT_TRUE(fs::exists(dir_.Path() / "inbound. 1. 1.2001"));

    // Within one day the sweep runs once; the next day runs it again. Noon keeps both calls
    // of the first day on one date.
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = 12;
    local.tm_min = local.tm_sec = 0;
    const std::time_t noon = std::mktime(&local);
    CLogRetention retention(store_, hub_);
    retention.SweepOncePerDay(noon);
    MakeFile(dir_.Path() / "inbound. 2. 1.2001", noon, 5);
    retention.SweepOncePerDay(noon + 3600);
    EXPECT_TRUE(fs::exists(dir_.Path() / "inbound. 2. 1.2001"));
    retention.SweepOncePerDay(noon + kDay);
    EXPECT_FALSE(fs::exists(dir_.Path() / "inbound. 2. 1.2001"));
}

}  // namespace
}  // namespace tarvik
