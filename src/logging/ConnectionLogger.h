#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "acquisition/ConnectionRecord.h"
#include "logging/CategoryLog.h"
#include "logging/LogFile.h"
#include "logging/LogFileName.h"
#include "logging/LogLine.h"
#include "settings/SettingsStore.h"

namespace tarvik {

class CWorkerHub;

// The text the user is shown when a category's new log file cannot be created; `where` is the
// file's path and the reason.
std::string CreateFailureMessage(LogCategory category, const std::string& where);

// Seams for tests: the clock that paces retries, and the write under every log line.
struct LoggerHooks {
    std::function<CCategoryLog::Clock::time_point()> now;
    LogWriter write;
};

// Writes ended connections to the per-category log files. Keeps a copy of the logging settings
// and reads them again when the store says they changed, so a change applies from the next
// record on; not thread-safe: one thread (the logging worker, or a test) owns it.
class CConnectionLogger {
public:
    explicit CConnectionLogger(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks = {});

    // Date check, then one line for the record's log when its category is on and its port
    // filter lets it through; the line is written by the next Flush (or a date change, or a
    // line for another file of the same category).
    void Gather(const CConnectionRecord& record);
    // Writes the gathered lines: one write per file.
    void Flush();
    // Gather and Flush.
    void Log(const CConnectionRecord& record);

    // Writes the gathered lines, then lines held back by a failure once its pause has run out.
    void Retry();

    // Writes the gathered lines, a last try for held-back lines, then closes the files.
    void Finish();

    void CloseAll();

private:
    static constexpr std::size_t kCategoryCount = 3;

    struct DateState {
        LogDate date;
        std::array<int, kCategoryCount> rotations{-1, -1, -1};
        // A change closes the files too; each keeps the format its header names.
        LogFormat format = LogFormat::Classic;

        bool operator==(const DateState&) const = default;
    };

    // Reads the logging settings again when the store's generation moved since the last read.
    void RefreshSettings();
    const CSettingsStore::LogValues& SettingsOf(LogCategory category) const;
    bool CheckDate(std::time_t closeTime);
    const LogTarget& TargetOf(LogCategory category);
    CCategoryLog::Clock::time_point Now() const;

    CCategoryLog& LogOf(LogCategory category);

    CSettingsStore& settings_;
    std::optional<CSettingsStore::LoggingValues> values_;  // none until the first record
    std::string line_;  // the line being written; its capacity is kept from record to record
    CLogLineMaker lineMaker_;
    std::array<LogTarget, kCategoryCount> nextTargets_;  // where a category's file is to open
    CWorkerHub& hub_;
    std::function<CCategoryLog::Clock::time_point()> now_;
    DateState last_;
    LogDateParts parts_;
    std::array<CCategoryLog, kCategoryCount> logs_;
};

}  // namespace tarvik
