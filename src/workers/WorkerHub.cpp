#include "workers/WorkerHub.h"

namespace tarvik {

void CWorkerHub::SetUserNotifier(std::shared_ptr<IUserNotifier> notifier) {
    std::lock_guard lock(servicesMutex_);
    notifier_ = std::move(notifier);
}

void CWorkerHub::NotifyUser(const std::string& text) const {
    std::shared_ptr<IUserNotifier> notifier;
    {
        std::lock_guard lock(servicesMutex_);
        notifier = notifier_;
    }
    if (notifier) {
        notifier->ShowMessage(text);
    }
}

void CWorkerHub::SetBalloonSink(std::shared_ptr<IBalloonSink> sink) {
    std::lock_guard lock(servicesMutex_);
    balloon_ = std::move(sink);
}

bool CWorkerHub::ShowBalloon(const std::string& title, const std::string& text,
                             int timeoutSeconds) const {
    std::shared_ptr<IBalloonSink> sink;
    {
        std::lock_guard lock(servicesMutex_);
        sink = balloon_;
    }
    return sink && sink->ShowBalloon(title, text, timeoutSeconds);
}

}  // namespace tarvik
