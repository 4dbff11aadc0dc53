#pragma once

#include "logging/ConnectionLogger.h"
#include "logging/LogRetention.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

namespace tarvik {

using LoggerInbox = std::variant<ConnectionEnded, Poll>;

// The worker that writes ended connections (ConnectionEnded) to their log files: the lines of
// all the records taken in one go are written together, one write per file, before it waits
// again. The poll tick (Poll) retries lines held back by a failing file even when no record
// arrives, and removes log files past "keepdays" at the start and at the first tick of every day.
class CLoggingThread : public CWorker<LoggerInbox> {
public:
    explicit CLoggingThread(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks = {});
    ~CLoggingThread() override;

protected:
    bool InitInstance() override;
    int ExitInstance() override;
    void OnInboxDone() override;

private:
    void Handle(LoggerInbox& message) override;

    CConnectionLogger logger_;
    CLogRetention retention_;
};

}  // namespace tarvik
