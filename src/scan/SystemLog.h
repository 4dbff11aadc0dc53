#pragma once

#include <string>

namespace tarvik {

// Where error events for the administrator go.
class ISystemLog {
public:
    virtual ~ISystemLog() = default;
    // One error event made of two texts: a short heading, then the event text.
    virtual void ReportError(const std::string& heading, const std::string& text) = 0;
};

// The system log (syslog(3), ident "Tarvik"). The two texts go into one message, separated by
// ": ". When no log daemon listens the event is dropped quietly, as syslog does.
class CSyslogSystemLog : public ISystemLog {
public:
    void ReportError(const std::string& heading, const std::string& text) override;
};

}  // namespace tarvik
