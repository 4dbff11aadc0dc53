#include "logging/LoggingThread.h"

namespace tarvik {

CLoggingThread::CLoggingThread(CSettingsStore& settings)
    : CWorkerThread("logging"), logger_(settings) {
    On(kMsgLogConnection, [this](Message& message) { OnLogConnection(message); });
}

CLoggingThread::~CLoggingThread() {
    // The handler uses logger_: the thread must be gone before it is destroyed.
    Stop();
    logger_.CloseAll();
}

int CLoggingThread::ExitInstance() {
    logger_.CloseAll();
    return CWorkerThread::ExitInstance();
}

void CLoggingThread::OnLogConnection(Message& message) {
    if (const auto record = message.wParam.TakeRecord()) {
        logger_.Log(*record);
    }
}

}  // namespace tarvik
