#include "scan/SystemLog.h"

#include <syslog.h>

namespace tarvik {

void CSyslogSystemLog::ReportError(const std::string& heading, const std::string& text) {
    // No closelog: the connection is process-wide and other parts of the program may use it.
    ::openlog("Tarvik", LOG_PID, LOG_USER);
    const std::string message = heading + ": " + text;
    ::syslog(LOG_ERR, "%s", message.c_str());
}

}  // namespace tarvik
