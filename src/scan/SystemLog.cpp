#include "scan/SystemLog.h"

#include <syslog.h>

#include <utility>

namespace tarvik {

void WriteSyslog(int severity, const std::string& message) {
    ::syslog(severity, "%s", message.c_str());
}

CSyslogSystemLog::CSyslogSystemLog(SyslogWriter writer) : writer_(std::move(writer)) {}

void CSyslogSystemLog::ReportError(const std::string& heading, const std::string& text) {
    if (writer_) {
        writer_(LOG_ERR, heading + ": " + text);
    }
}

}  // namespace tarvik
