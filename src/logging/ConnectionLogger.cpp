#include "logging/ConnectionLogger.h"

#include "logging/PortFilter.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

constexpr std::array<LogCategory, 3> kCategories = {LogCategory::Inbound, LogCategory::Outbound,
                                                    LogCategory::Unknown};

std::size_t IndexOf(LogCategory category) {
    return static_cast<std::size_t>(category);
}

}  // namespace

std::string CreateFailureMessage(LogCategory category, const std::string& where) {
    // Logging stays on: the lines are held and the file is tried again after a pause.
    return "Unable to open " + std::string(LogCategoryWord(category)) + " connection logfile " +
           where + " (lines are kept and the file is tried again)";
}

CConnectionLogger::CConnectionLogger(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks)
    : settings_(settings),
      hub_(hub),
      now_(hooks.now ? std::move(hooks.now) : [] { return CCategoryLog::Clock::now(); }),
      logs_{CCategoryLog(settings, hub, LogCategory::Inbound, hooks.write),
            CCategoryLog(settings, hub, LogCategory::Outbound, hooks.write),
            CCategoryLog(settings, hub, LogCategory::Unknown, hooks.write)} {}

void CConnectionLogger::CloseAll() {
    for (auto& log : logs_) {
        log.Close();
    }
}

void CConnectionLogger::Retry() {
    for (auto& log : logs_) {
        log.Retry(Now());
    }
}

void CConnectionLogger::Finish() {
    for (auto& log : logs_) {
        log.Finish(Now());
    }
}

CCategoryLog& CConnectionLogger::LogOf(LogCategory category) {
    return logs_[IndexOf(category)];
}

CCategoryLog::Clock::time_point CConnectionLogger::Now() const {
    return now_();
}

void CConnectionLogger::Log(const CConnectionRecord& record) {
    if (!CheckDate(record.closeTime)) {
        hub_.Trace("logger: close time out of range, record dropped");
        return;
    }
    const auto category = LogCategoryOf(record.category);
    if (!category || settings_.GetLogEnabled(*category) == 0) {
        return;
    }
    const PortListPtr ports = settings_.GetLogPorts(*category);
    const PortList none;
    if (PassesPortFilter(*category, FilterModeOf(*category), ports ? *ports : none, record)) {
        LogOf(*category).Submit(TargetOf(*category), record.CsvText(), Now());
    }
}

// The store keeps both values in range (at load, with a warning, and in its setters).
int CConnectionLogger::RotationOf(LogCategory category) const {
    return settings_.GetLogRotation(category);
}

int CConnectionLogger::FilterModeOf(LogCategory category) const {
    return settings_.GetLogType(category);
}

// The open file while there is one, so that a folder change waits for the next date change.
LogTarget CConnectionLogger::TargetOf(LogCategory category) const {
    const CCategoryLog& log = logs_[IndexOf(category)];
    if (const LogTarget* open = log.OpenTarget()) {
        return *open;
    }
    return LogTarget{
        settings_.GetLogFolder(category),
        LogBaseName(category, DatePartFor(parts_, last_.rotations[IndexOf(category)]))};
}

bool CConnectionLogger::CheckDate(std::time_t closeTime) {
    const auto date = LocalLogDate(closeTime);
    if (!date) {
        return false;
    }
    DateState now{*date, {}};
    for (LogCategory category : kCategories) {
        now.rotations[IndexOf(category)] = RotationOf(category);
    }
    if (now == last_) {
        return true;
    }
    auto parts = MakeLogDateParts(closeTime);
    if (!parts) {
        return false;
    }
    last_ = now;
    parts_ = std::move(*parts);
    CloseAll();
    return true;
}

}  // namespace tarvik
