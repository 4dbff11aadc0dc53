#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "settings/SettingsStore.h"

namespace tarvik {

// Rotation setting values.
enum LogRotation : int {
    kRotationDaily = 0,
    kRotationWeekly = 1,
    kRotationMonthly = 2,
};

// The calendar date a log file is chosen by, in local time.
struct LogDate {
    int day = -1;
    int month = -1;  // 1..12
    int year = -1;

    bool operator==(const LogDate&) const = default;
};

// The date parts of the three rotations for one day, space padded: " 7. 5.2003",
// " 4-10. 5.2003", " 5.2003".
struct LogDateParts {
    std::string daily;
    std::string weekly;
    std::string monthly;
};

// Local date of `time`; empty when the time cannot be converted.
std::optional<LogDate> LocalLogDate(std::time_t time);

// Date parts for the day that holds `time` in local time; empty when it cannot be converted.
std::optional<LogDateParts> MakeLogDateParts(std::time_t time);

// The part chosen by a rotation setting; empty for any value but daily, weekly or monthly.
const std::string& DatePartFor(const LogDateParts& parts, int rotation);

// word + "." + date part, e.g. "inbound. 7. 5.2003"; empty when the date part is empty.
std::string LogBaseName(LogCategory category, std::string_view datePart);

// folder + "/" + word + "." + date part, e.g. "/var/log/tarvik/inbound. 7. 5.2003". Empty when
// the date part is empty, so that an unknown rotation opens nothing.
std::string LogFileName(std::string_view folder, LogCategory category, std::string_view datePart);

}  // namespace tarvik
