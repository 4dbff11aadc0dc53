#pragma once

#include <functional>
#include <string>

namespace tarvik {

// Where error events for the administrator go.
class ISystemLog {
public:
    virtual ~ISystemLog() = default;
    // One error event made of two texts: a short heading, then the event text.
    virtual void ReportError(const std::string& heading, const std::string& text) = 0;
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

}  // namespace tarvik
