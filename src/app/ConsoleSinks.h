#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "tracking/ConnectionList.h"
#include "workers/WorkerHub.h"

namespace tarvik {

// Where the headless monitor sends what the window would show. Each line goes out whole, so
// lines from different workers never interleave. The stream is a terminal or the journal, so
// outside text goes through WriteEscaped or is escaped by the sinks below.
class CConsoleWriter {
public:
    explicit CConsoleWriter(std::FILE* stream) : stream_(stream) {}
    void WriteLine(const std::string& line);
    // `prefix` as given, then outside text (names, paths, server replies) escaped.
    void WriteEscaped(std::string_view prefix, std::string_view text);

private:
    std::mutex mutex_;
    std::FILE* stream_;
};

// Messages for the user (a log file that cannot be created) go to standard error, which the
// service manager's journal keeps, and to the system log, both escaped.
class CConsoleNotifier : public IUserNotifier {
public:
    using SystemLog = std::function<void(const std::string& text)>;
    // `systemLog` defaults to syslog(3) at error severity.
    explicit CConsoleNotifier(CConsoleWriter& writer, SystemLog systemLog = {});
    void ShowMessage(const std::string& text) override;

private:
    CConsoleWriter& writer_;
    SystemLog systemLog_;
};

// The scan alert's balloon, as one line on standard error.
class CConsoleBalloon : public IBalloonSink {
public:
    explicit CConsoleBalloon(CConsoleWriter& writer) : writer_(writer) {}
    bool ShowBalloon(const std::string& title, const std::string& text,
                     int timeoutSeconds) override;

private:
    CConsoleWriter& writer_;
};

// The list changes, one line each, or nothing at all.
class CConsoleList : public IConnectionList {
public:
    CConsoleList(CConsoleWriter* writer) : writer_(writer) {}
    void Apply(std::vector<RowOp> ops) override;
    bool TakesRows() const override { return writer_ != nullptr; }

private:
    CConsoleWriter* writer_;  // null: discard
};

// One line describing a list operation, e.g. "insert #3 Established 10.0.0.7:51000 -> :22 ssh".
std::string DescribeRowOp(const RowOp& op);

}  // namespace tarvik
