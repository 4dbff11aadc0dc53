#include "tracking/WorkerRegistry.h"

#include <algorithm>

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

void CWorkerRegistry::BroadcastEach(int number, const std::vector<Payload>& wParams) {
    std::vector<Message> messages;
    messages.reserve(wParams.size());
    for (const Payload& wParam : wParams) {
        messages.push_back(Message{number, wParam, {}});
    }
    BroadcastAll(messages);
}

void CWorkerRegistry::BroadcastAll(const std::vector<Message>& messages) {
    const bool hasQuit = std::ranges::any_of(
        messages, [](const Message& message) { return message.number == kMsgQuit; });
    if (hasQuit) {
        // A quit empties the list part way: the messages after it reach nobody.
        for (const Message& message : messages) {
            Broadcast(message.number, message.wParam, message.lParam);
        }
        return;
    }
    std::lock_guard lock(mutex_);
    for (CWorkerThread* worker : workers_) {
        if (worker == nullptr) {
            continue;
        }
        std::vector<Message> handled;
        for (const Message& message : messages) {
            if (worker->Handles(message.number)) {
                handled.push_back(message);
            }
        }
        worker->PostAll(std::move(handled));
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
    if (!hasTraceSink_.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard lock(traceMutex_);
    if (traceSink_) {
        traceSink_(text);
    }
}

void CWorkerRegistry::SetTraceSink(std::function<void(std::string_view)> sink) {
    std::lock_guard lock(traceMutex_);
    traceSink_ = std::move(sink);
    hasTraceSink_.store(static_cast<bool>(traceSink_), std::memory_order_release);
}

}  // namespace tarvik
