#pragma once

#include <array>
#include <string>

#include "acquisition/ConnectionRecord.h"
#include "logging/LogFile.h"
#include "logging/LogFileName.h"
#include "settings/SettingsStore.h"

namespace tarvik {

// The first line of every new log file.
inline constexpr const char* kLogHeader =
    "Open Time, Close Time, Remote Address, Remote Hostname, Remote Port, Network Interface, "
    "Local Port, Service Type";

// The text the user is shown when a category's new log file cannot be created.
const char* CreateFailureMessage(LogCategory category);

// Writes ended connections to the per-category log files. Reads the settings at every record;
// not thread-safe: one thread (the logging worker, or a test) owns it.
class CConnectionLogger {
public:
    explicit CConnectionLogger(CSettingsStore& settings);

    // Date check, then one line in the record's log when its category is on and its port
    // filter lets it through.
    void Log(const CConnectionRecord& record);

    void CloseAll();

private:
    static constexpr std::size_t kCategoryCount = 3;

    struct DateState {
        LogDate date;
        std::array<int, kCategoryCount> rotations{-1, -1, -1};

        bool operator==(const DateState&) const = default;
    };

    bool CheckDate(std::time_t closeTime);
    void Write(LogCategory category, const CConnectionRecord& record);
    bool OpenLog(LogCategory category);

    CLogFile& LogOf(LogCategory category);

    CSettingsStore& settings_;
    DateState last_;
    LogDateParts parts_;
    std::array<CLogFile, kCategoryCount> logs_;
};

}  // namespace tarvik
