#include "logging/LogFileName.h"

#include <gtest/gtest.h>

#include "LogTestSupport.h"

namespace tarvik {
namespace {

using testing::UseZone;
using testing::UtcTime;

class LogFileNameTest : public ::testing::Test {
protected:
    void SetUp() override { UseZone("UTC"); }
    void TearDown() override { UseZone("UTC"); }
};

struct PartsRow {
    std::time_t time;
    const char* daily;
    const char* weekly;
    const char* monthly;
};

TEST_F(LogFileNameTest, DatePartsArePaddedWithSpaces) {
    const PartsRow rows[] = {
        // Wednesday 7 May 2003.
        {UtcTime(2003, 5, 7, 14, 5, 10), " 7. 5.2003", " 4-10. 5.2003", " 5.2003"},
        // The week's own Sunday and Saturday, at the first and last second of the day.
        {UtcTime(2003, 5, 4, 0, 0, 0), " 4. 5.2003", " 4-10. 5.2003", " 5.2003"},
        {UtcTime(2003, 5, 10, 23, 59, 59), "10. 5.2003", " 4-10. 5.2003", " 5.2003"},
        {UtcTime(2003, 12, 24), "24.12.2003", "21-27.12.2003", "12.2003"},
    };
    for (const auto& row : rows) {
        const auto parts = MakeLogDateParts(row.time);
        ASSERT_TRUE(parts.has_value());
        EXPECT_EQ(parts->daily, row.daily);
        EXPECT_EQ(parts->weekly, row.weekly);
        EXPECT_EQ(parts->monthly, row.monthly);
    }
}

TEST_F(LogFileNameTest, WeekAcrossMonthOrYearKeepsTheCloseTimesMonth) {
    const PartsRow rows[] = {
        // Tuesday 28 October and Saturday 1 November 2003 share a week but not a file.
        {UtcTime(2003, 10, 28), "28.10.2003", "26- 1.10.2003", "10.2003"},
        {UtcTime(2003, 11, 1), " 1.11.2003", "26- 1.11.2003", "11.2003"},
        {UtcTime(2003, 12, 31), "31.12.2003", "28- 3.12.2003", "12.2003"},
        {UtcTime(2004, 1, 2), " 2. 1.2004", "28- 3. 1.2004", " 1.2004"},
    };
    for (const auto& row : rows) {
        const auto parts = MakeLogDateParts(row.time);
        ASSERT_TRUE(parts.has_value());
        EXPECT_EQ(parts->daily, row.daily);
        EXPECT_EQ(parts->weekly, row.weekly);
        EXPECT_EQ(parts->monthly, row.monthly);
    }
}

TEST_F(LogFileNameTest, DateIsTakenInLocalTime) {
    // 23:30 UTC on 6 May is already 7 May in Berlin (summer time, UTC+2).
    UseZone("Europe/Berlin");
    const auto parts = MakeLogDateParts(UtcTime(2003, 5, 6, 23, 30));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->daily, " 7. 5.2003");
    EXPECT_EQ(LocalLogDate(UtcTime(2003, 5, 6, 23, 30)), (LogDate{7, 5, 2003}));
}

TEST_F(LogFileNameTest, WeekWithDaylightSavingStartFindsItsSunday) {
    // Berlin moved to summer time on Sunday 30 March 2003, so that Sunday had 23 hours. Half
    // past midnight on Tuesday 1 April minus two times 86400 s would land on Saturday 29th.
    UseZone("Europe/Berlin");
    const auto parts = MakeLogDateParts(UtcTime(2003, 3, 31, 22, 30));
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(parts->daily, " 1. 4.2003");
    EXPECT_EQ(parts->weekly, "30- 5. 4.2003");
}

TEST_F(LogFileNameTest, RotationChoosesThePart) {
    const LogDateParts parts{"d", "w", "m"};
    EXPECT_EQ(DatePartFor(parts, kRotationDaily), "d");
    EXPECT_EQ(DatePartFor(parts, kRotationWeekly), "w");
    EXPECT_EQ(DatePartFor(parts, kRotationMonthly), "m");
    EXPECT_EQ(DatePartFor(parts, 3), "");
    EXPECT_EQ(DatePartFor(parts, -1), "");
}

TEST_F(LogFileNameTest, FileNameJoinsFolderWordAndDatePart) {
    EXPECT_EQ(LogFileName("/var/log/tarvik", LogCategory::Inbound, " 7. 5.2003"),
              "/var/log/tarvik/inbound. 7. 5.2003");
    EXPECT_EQ(LogFileName("/var/log/tarvik/", LogCategory::Outbound, " 4-10. 5.2003"),
              "/var/log/tarvik/outbound. 4-10. 5.2003");
    EXPECT_EQ(LogFileName("logs", LogCategory::Unknown, " 5.2003"), "logs/unknown. 5.2003");
    EXPECT_EQ(LogFileName("/var/log/tarvik", LogCategory::Inbound, ""), "");
}

}  // namespace
}  // namespace tarvik
