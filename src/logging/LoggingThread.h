#pragma once

#include "logging/ConnectionLogger.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

// The worker that writes ended connections (kMsgLogConnection) to their log files.
class CLoggingThread : public CWorkerThread {
public:
    explicit CLoggingThread(CSettingsStore& settings);
    ~CLoggingThread() override;

protected:
    int ExitInstance() override;

private:
    void OnLogConnection(Message& message);

    CConnectionLogger logger_;
};

}  // namespace tarvik
