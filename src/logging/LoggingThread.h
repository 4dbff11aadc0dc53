#pragma once

#include "logging/ConnectionLogger.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

// The worker that writes ended connections (kMsgLogConnection) to their log files. The poll
// tick (kMsgPoll) retries lines held back by a failing file even when no record arrives.
class CLoggingThread : public CWorkerThread {
public:
    explicit CLoggingThread(CSettingsStore& settings, LoggerHooks hooks = {});
    ~CLoggingThread() override;

protected:
    int ExitInstance() override;

private:
    void OnLogConnection(Message& message);

    CConnectionLogger logger_;
};

}  // namespace tarvik
