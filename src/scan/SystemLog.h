#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvik {

// The structured part of one scan alert, for logs that keep fields.
struct AlertFields {
    std::string remoteAddress;
    std::string ports;  // the ports text
    std::string kind;
};

// Where error events for the administrator go.
class ISystemLog {
public:
    virtual ~ISystemLog() = default;
    // One error event made of two texts: a short heading, then the event text.
    virtual void ReportError(const std::string& heading, const std::string& text) = 0;
    // A scan alert's event: the same two texts, with its fields for logs that keep them.
    virtual void ReportAlert(const std::string& heading, const std::string& text,
                             const AlertFields& /*fields*/) {
        ReportError(heading, text);
    }
};

// Hands one record to the system log: a severity without a facility, and the whole text.
using SyslogWriter = std::function<void(int severity, const std::string& message)>;

// syslog(3) with the ident and facility the program opened the log with (once, at start).
void WriteSyslog(int severity, const std::string& message);

// The system log. The two texts go into one message, separated by ": ", at error severity. It
// never opens the log itself: the program did so at start with ident "Tarvik" and its own
// facility, which an alert must not switch. When no log daemon listens the event is dropped
// quietly, as syslog does.
class CSyslogSystemLog : public ISystemLog {
public:
    explicit CSyslogSystemLog(SyslogWriter writer = WriteSyslog);
    void ReportError(const std::string& heading, const std::string& text) override;

private:
    SyslogWriter writer_;
};

// Hands one journal entry, as "NAME=value" fields, to the journal.
using JournalWriter = std::function<void(const std::vector<std::string>& fields)>;

// The journal's own interface; false when the program was built without it.
bool JournalAvailable();
void WriteJournal(const std::vector<std::string>& fields);

// Identifies scan alerts in the journal, whatever their text.
inline constexpr const char* kScanAlertMessageId = "6f1d3b2a9c8e4d57a0b4c2e19f7d3a68";

// The journal: the MESSAGE is the syslog record's text, at PRIORITY=3 (error), and alerts carry
// MESSAGE_ID and the TARVIK_REMOTE_ADDR, TARVIK_PORTS and TARVIK_SCAN_KIND fields.
class CJournalSystemLog : public ISystemLog {
public:
    explicit CJournalSystemLog(JournalWriter writer = WriteJournal);
    void ReportError(const std::string& heading, const std::string& text) override;
    void ReportAlert(const std::string& heading, const std::string& text,
                     const AlertFields& fields) override;

private:
    JournalWriter writer_;
};

inline const std::filesystem::path kJournalSocket = "/run/systemd/journal/socket";

// The journal when the program was built with it and `journalSocket` exists, else syslog.
std::shared_ptr<ISystemLog> MakeSystemLog(
    const std::filesystem::path& journalSocket = kJournalSocket);

}  // namespace tarvik
