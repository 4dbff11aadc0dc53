#include "tracking/WorkerRegistry.h"

#include "tracking/WorkerThread.h"

namespace tarvik {

void CWorkerRegistry::Register(CWorkerThread* worker) {
    std::lock_guard lock(mutex_);
    workers_.push_back(worker);
}

void CWorkerRegistry::Broadcast(int number, Payload wParam, Payload lParam) {
    std::lock_guard lock(mutex_);
    for (CWorkerThread* worker : workers_) {
        // A worker without a handler would drop the message unread, so it is not posted.
        if (worker != nullptr && worker->Handles(number)) {
            worker->Post(Message{number, wParam, lParam});
        }
    }
    if (number == kMsgQuit) {
        workers_.clear();
    }
}

void CWorkerRegistry::Clear() {
    std::lock_guard lock(mutex_);
    workers_.clear();
}

std::size_t CWorkerRegistry::Size() const {
    std::lock_guard lock(mutex_);
    return workers_.size();
}

void CWorkerRegistry::Trace(std::string_view text) const {
    std::lock_guard lock(traceMutex_);
    if (traceSink_) {
        traceSink_(text);
    }
}

void CWorkerRegistry::SetTraceSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(traceMutex_);
    traceSink_ = std::move(sink);
}

}  // namespace tarvik
