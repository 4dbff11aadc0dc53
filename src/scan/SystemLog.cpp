#include "scan/SystemLog.h"

#include <sys/uio.h>
#include <syslog.h>

#include <system_error>
#include <utility>

#if TARVIK_HAVE_SYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace tarvik {

namespace {

std::string OneRecord(const std::string& heading, const std::string& text) {
    return heading + ": " + text;
}

}  // namespace

void WriteSyslog(int severity, const std::string& message) {
    ::syslog(severity, "%s", message.c_str());
}

CSyslogSystemLog::CSyslogSystemLog(SyslogWriter writer) : writer_(std::move(writer)) {}

void CSyslogSystemLog::ReportError(const std::string& heading, const std::string& text) {
    if (writer_) {
        writer_(LOG_ERR, OneRecord(heading, text));
    }
}

bool JournalAvailable() {
    return TARVIK_HAVE_SYSTEMD != 0;
}

void WriteJournal(const std::vector<std::string>& fields) {
#if TARVIK_HAVE_SYSTEMD
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (const std::string& field : fields) {
        vectors.push_back({const_cast<char*>(field.data()), field.size()});
    }
    ::sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
#else
    (void)fields;
#endif
}

CJournalSystemLog::CJournalSystemLog(JournalWriter writer) : writer_(std::move(writer)) {}

void CJournalSystemLog::ReportError(const std::string& heading, const std::string& text) {
    if (writer_) {
        writer_({"MESSAGE=" + OneRecord(heading, text), "PRIORITY=3", "SYSLOG_IDENTIFIER=Tarvik"});
    }
}

void CJournalSystemLog::ReportAlert(const std::string& heading, const std::string& text,
                                    const AlertFields& fields) {
    if (writer_) {
        writer_({"MESSAGE=" + OneRecord(heading, text),
                 std::string("MESSAGE_ID=") + kScanAlertMessageId, "PRIORITY=3",
                 "SYSLOG_IDENTIFIER=Tarvik", "TARVIK_REMOTE_ADDR=" + fields.remoteAddress,
                 "TARVIK_PORTS=" + fields.ports, "TARVIK_SCAN_KIND=" + fields.kind});
    }
}

std::shared_ptr<ISystemLog> MakeSystemLog(const std::filesystem::path& journalSocket) {
    std::error_code error;
    if (JournalAvailable() && std::filesystem::exists(journalSocket, error)) {
        return std::make_shared<CJournalSystemLog>();
    }
    return std::make_shared<CSyslogSystemLog>();
}

}  // namespace tarvik
