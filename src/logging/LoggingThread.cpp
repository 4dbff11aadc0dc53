#include "logging/LoggingThread.h"

namespace tarvik {

CLoggingThread::CLoggingThread(CSettingsStore& settings, CWorkerHub& hub, LoggerHooks hooks)
    : CWorker("logging"), logger_(settings, hub, std::move(hooks)), retention_(settings, hub) {
    Subscribe<ConnectionEnded>();
    Subscribe<Poll>();
    Coalesce<Poll>();
}

CLoggingThread::~CLoggingThread() {
    // The handler uses logger_: the thread must be gone before it is destroyed.
    Stop();
    logger_.Finish();
}

bool CLoggingThread::InitInstance() {
    retention_.SweepOncePerDay(std::time(nullptr));
    return CWorker::InitInstance();
}

int CLoggingThread::ExitInstance() {
    logger_.Finish();
    return CWorker::ExitInstance();
}

// The lines of one inbox's records go out together, before the worker waits again.
void CLoggingThread::OnInboxDone() {
    logger_.Flush();
}

void CLoggingThread::Handle(LoggerInbox& message) {
    if (const auto* ended = std::get_if<ConnectionEnded>(&message)) {
        if (ended->record) {
            logger_.Gather(*ended->record);
        }
        return;
    }
    logger_.Retry();
    retention_.SweepOncePerDay(std::time(nullptr));
}

}  // namespace tarvik
