#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "logging/LogFileName.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// True when `fileName` is exactly a name the logger makes for the category: its word, a full
// stop and a daily, weekly or monthly date part ("inbound. 7. 5.2003", "inbound. 4-10. 5.2003",
// "inbound. 5.2003").
bool IsOwnLogFileName(std::string_view fileName, LogCategory category);

// Removes the category's own log files in `folder` last written more than `keepDays` days
// before `now`; nothing else is touched, not even a link with such a name. Each failure goes
// to `report` with the errno text. Returns the number of files removed.
using RetentionReport = std::function<void(const std::string& text)>;
int RemoveOldLogFiles(const std::filesystem::path& folder, LogCategory category, int keepDays,
                      std::time_t now, const RetentionReport& report);

// The "keepdays" sweep of every category's folder, at the start and once a day after.
// Owned by the logging worker's thread.
class CLogRetention {
public:
    explicit CLogRetention(CSettingsStore& settings, CWorkerHub& hub)
        : settings_(settings), hub_(hub) {}

    // Sweeps when the local date of `now` differs from the last sweep's.
    void SweepOncePerDay(std::time_t now);

private:
    CSettingsStore& settings_;
    CWorkerHub& hub_;
    std::optional<LogDate> lastSweep_;
};

}  // namespace tarvik
