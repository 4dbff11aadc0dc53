#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <string>
#include <vector>

#include "scan/SystemLog.h"

// This program's own openlog, found before the C library's: it counts the calls, so a test can
// tell whether writing an event reopened the log (and so switched the program's facility).
namespace {
std::atomic<int> openlogCalls{0};
}  // namespace

extern "C" void openlog(const char*, int, int) {
    ++openlogCalls;
}

namespace tarvik {
namespace {

struct Written {
    int severity;
    std::string message;
};

TEST(SystemLog, EventIsOneErrorRecordAndNeverReopensTheLog) {
    std::vector<Written> written;
    CSyslogSystemLog log([&](int severity, const std::string& message) {
        written.push_back({severity, message});
    });
    const int before = openlogCalls.load();
    log.ReportError("Tarvik error: 100", "An alert was triggered by connection(s) from:  10.0.0.7");
    log.ReportError("Tarvik error: 100", "second");

    EXPECT_EQ(openlogCalls.load(), before) << "an alert must keep the facility the program chose";
    ASSERT_EQ(written.size(), 2u);
    // A severity alone: the record goes to the facility opened at start.
    EXPECT_EQ(written[0].severity, LOG_ERR);
    EXPECT_EQ(written[0].message,
              "Tarvik error: 100: An alert was triggered by connection(s) from:  10.0.0.7");
    EXPECT_EQ(written[1].message, "Tarvik error: 100: second");
}

TEST(SystemLog, InterposedOpenlogIsTheOneCalled) {
    // Guards the test above: were the C library's openlog called instead, it would prove nothing.
    const int before = openlogCalls.load();
    ::openlog("Tarvik", LOG_PID, LOG_DAEMON);
    EXPECT_EQ(openlogCalls.load(), before + 1);
}

}  // namespace
}  // namespace tarvik
