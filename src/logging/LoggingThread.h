#pragma once

#include "logging/ConnectionLogger.h"
#include "logging/LogRetention.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

// The worker that writes ended connections (kMsgLogConnection) to their log files. The poll
// tick (kMsgPoll) retries lines held back by a failing file even when no record arrives, and
// removes log files past "keepdays" at the start and at the first tick of every day.
class CLoggingThread : public CWorkerThread {
public:
    explicit CLoggingThread(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks = {});
    ~CLoggingThread() override;

protected:
    bool InitInstance() override;
    int ExitInstance() override;

private:
    void OnLogConnection(Message& message);

    CConnectionLogger logger_;
    CLogRetention retention_;
};

}  // namespace tarvik
