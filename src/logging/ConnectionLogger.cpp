#include "logging/ConnectionLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/UniqueFd.h"

#include "logging/PortFilter.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

constexpr std::array<LogCategory, 3> kCategories = {LogCategory::Inbound, LogCategory::Outbound,
                                                    LogCategory::Unknown};

std::size_t IndexOf(LogCategory category) {
    return static_cast<std::size_t>(category);
}

// The format an existing log file's header names; nullopt for a missing file, an empty one or
// one that starts otherwise. Only read: a link or a FIFO at the name is not followed or waited
// on (the file is opened for writing with the same care).
std::optional<LogFormat> ExistingFileFormat(const std::string& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    char head[256];
    const ssize_t got = ::pread(file.Get(), head, sizeof head, 0);
    if (got <= 0) {
        return std::nullopt;
    }
    const std::string_view text(head, static_cast<std::size_t>(got));
    const std::size_t end = text.find('\n');
    return end == std::string_view::npos ? std::nullopt : FormatOfHeader(text.substr(0, end));
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
      logs_{CCategoryLog(hub, LogCategory::Inbound, hooks.write),
            CCategoryLog(hub, LogCategory::Outbound, hooks.write),
            CCategoryLog(hub, LogCategory::Unknown, hooks.write)} {}

void CConnectionLogger::CloseAll() {
    for (auto& log : logs_) {
        log.Close(Now());
    }
}

void CConnectionLogger::Flush() {
    for (auto& log : logs_) {
        log.Flush(Now());
    }
}

void CConnectionLogger::Retry() {
    for (auto& log : logs_) {
        log.Flush(Now());
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

void CConnectionLogger::RefreshSettings() {
    if (!values_ || values_->generation != settings_.Generation()) {
        values_ = settings_.GetLoggingValues();
    }
}

const CSettingsStore::LogValues& CConnectionLogger::SettingsOf(LogCategory category) const {
    return values_->categories[IndexOf(category)];
}

void CConnectionLogger::Log(const CConnectionRecord& record) {
    Gather(record);
    Flush();
}

void CConnectionLogger::Gather(const CConnectionRecord& record) {
    RefreshSettings();
    if (!CheckDate(record.closeTime)) {
        hub_.Trace("logger: close time out of range, record dropped");
        return;
    }
    const auto category = LogCategoryOf(record.category);
    // Classic lines carry no protocol: a reader of the logs expects TCP unless UDP was asked for.
    const bool udpKept = record.protocol != Protocol::Udp || values_->udp != 0;
    if (!category || !udpKept || SettingsOf(*category).enabled == 0) {
        return;
    }
    // The store keeps the filter mode in range (at load, with a warning, and in its setters).
    const CSettingsStore::LogValues& values = SettingsOf(*category);
    static const PortList none;
    if (PassesPortFilter(*category, values.type, values.ports ? *values.ports : none, record)) {
        const LogTarget& target = TargetOf(*category);
        line_.clear();
        lineMaker_.Append(line_, record, target.format);
        LogOf(*category).Gather(target, line_, Now());
    }
}

// The open (or about to be opened) file while there is one, so that a folder change waits for
// the next date change.
const LogTarget& CConnectionLogger::TargetOf(LogCategory category) {
    const CCategoryLog& log = logs_[IndexOf(category)];
    if (const LogTarget* current = log.CurrentTarget()) {
        return *current;
    }
    LogTarget& next = nextTargets_[IndexOf(category)];
    next.folder = SettingsOf(category).folder;
    next.name = LogBaseName(category, DatePartFor(parts_, last_.rotations[IndexOf(category)]));
    // An existing file goes on in the format of its header, so that every line of a file
    // matches it; the setting applies from the next new file.
    next.format = ExistingFileFormat(next.Path()).value_or(last_.format);
    return next;
}

bool CConnectionLogger::CheckDate(std::time_t closeTime) {
    const auto date = LocalLogDate(closeTime);
    if (!date) {
        return false;
    }
    DateState now{*date, {}, values_->format};
    for (LogCategory category : kCategories) {
        // The store keeps the rotation in range.
        now.rotations[IndexOf(category)] = SettingsOf(category).rotation;
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
