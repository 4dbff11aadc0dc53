#include "logging/LoggingThread.h"

namespace tarvik {

CLoggingThread::CLoggingThread(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks)
    : CWorkerThread("logging"),
      logger_(settings, hub, std::move(hooks)),
      retention_(settings, hub) {
    On(kMsgLogConnection, [this](Message& message) { OnLogConnection(message); });
    On(kMsgPoll, [this](Message&) {
        logger_.Retry();
        retention_.SweepOncePerDay(std::time(nullptr));
    });
    CoalesceQueued(kMsgPoll);
}

CLoggingThread::~CLoggingThread() {
    // The handler uses logger_: the thread must be gone before it is destroyed.
    Stop();
    logger_.Finish();
}

bool CLoggingThread::InitInstance() {
    retention_.SweepOncePerDay(std::time(nullptr));
    return CWorkerThread::InitInstance();
}

int CLoggingThread::ExitInstance() {
    logger_.Finish();
    return CWorkerThread::ExitInstance();
}

void CLoggingThread::OnLogConnection(Message& message) {
    if (const auto record = message.wParam.TakeRecord()) {
        logger_.Log(*record);
    }
}

}  // namespace tarvik
