#include "logging/ConnectionLogger.h"

#include <system_error>

#include "logging/PortFilter.h"

namespace tarvik {

namespace {

constexpr std::array<LogCategory, 3> kCategories = {LogCategory::Inbound, LogCategory::Outbound,
                                                    LogCategory::Unknown};

std::size_t IndexOf(LogCategory category) {
    return static_cast<std::size_t>(category);
}

std::string Reason(int error) {
    return std::generic_category().message(error);
}

}  // namespace

const char* CreateFailureMessage(LogCategory category) {
    switch (category) {
        case LogCategory::Inbound:
            return "Unable to open inbound connection logfile, disabling inbound logging.";
        case LogCategory::Outbound:
            return "Unable to open Outbound connection logfile, disabling Outbound logging.";
        case LogCategory::Unknown:
            return "Unable to open Unknown connection logfile, disabling Unknown logging.";
    }
    return "";
}

CConnectionLogger::CConnectionLogger(CSettingsStore& settings) : settings_(settings) {}

void CConnectionLogger::CloseAll() {
    for (auto& log : logs_) {
        log.Close();
    }
}

CLogFile& CConnectionLogger::LogOf(LogCategory category) {
    return logs_[IndexOf(category)];
}

void CConnectionLogger::Log(const CConnectionRecord& record) {
    if (!CheckDate(record.closeTime)) {
        settings_.Trace("logger: close time out of range, record dropped");
        return;
    }
    const auto category = LogCategoryOf(record.category);
    if (!category || settings_.GetLogEnabled(*category) == 0) {
        return;
    }
    const PortListPtr ports = settings_.GetLogPorts(*category);
    const PortList none;
    if (PassesPortFilter(*category, settings_.GetLogType(*category), ports ? *ports : none,
                         record)) {
        Write(*category, record);
    }
}

bool CConnectionLogger::CheckDate(std::time_t closeTime) {
    const auto date = LocalLogDate(closeTime);
    if (!date) {
        return false;
    }
    DateState now{*date, {}};
    for (LogCategory category : kCategories) {
        now.rotations[IndexOf(category)] = settings_.GetLogRotation(category);
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

void CConnectionLogger::Write(LogCategory category, const CConnectionRecord& record) {
    CLogFile& log = LogOf(category);
    if (!log.IsOpen() && !OpenLog(category)) {
        return;
    }
    int error = 0;
    if (!log.WriteLine(record.CsvText(), &error)) {
        // Closed so that the next record reopens the file instead of writing after a torn line.
        settings_.Trace(std::string("logger: write failed: ") + Reason(error));
        log.Close();
    }
}

bool CConnectionLogger::OpenLog(LogCategory category) {
    const std::string path = LogFileName(settings_.GetLogFolder(category), category,
                                         DatePartFor(parts_, last_.rotations[IndexOf(category)]));
    CLogFile& log = LogOf(category);
    int error = 0;
    switch (log.Open(path, &error)) {
        case CLogFile::OpenResult::CreateFailed:
            settings_.Trace("logger: cannot create " + path + ": " + Reason(error));
            settings_.NotifyUser(CreateFailureMessage(category));
            settings_.SetLogEnabled(category, 0);
            return false;
        case CLogFile::OpenResult::AppendFailed:
            // Left on: the next record tries again, so logging resumes once the file is
            // writable.
            settings_.Trace("logger: cannot append to " + path + ": " + Reason(error));
            return false;
        case CLogFile::OpenResult::Created:
        case CLogFile::OpenResult::Appending:
            break;
    }
    // An existing but empty file (left by a crash before its header) gets the header too.
    if (log.IsEmpty() && !log.WriteLine(kLogHeader, &error)) {
        settings_.Trace("logger: cannot write header to " + path + ": " + Reason(error));
        log.Close();
        return false;
    }
    return true;
}

}  // namespace tarvik
