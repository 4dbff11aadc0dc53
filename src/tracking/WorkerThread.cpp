#include "tracking/WorkerThread.h"

#include <algorithm>
#include <utility>

#include "base/ThreadName.h"

namespace tarvik {

CWorkerThread::CWorkerThread(std::string name) : name_(std::move(name)) {}

CWorkerThread::~CWorkerThread() {
    // Subclass members are already gone here, so subclasses call Stop() in their own
    // destructor; this is the backstop for those that own nothing their handlers use.
    Stop();
}

void CWorkerThread::Stop() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.request_stop();
        thread_.join();
    }
}

void CWorkerThread::Start() {
    {
        std::lock_guard lock(mutex_);
        running_ = true;
    }
    thread_ = std::jthread([this](std::stop_token stop) { Run(std::move(stop)); });
}

bool CWorkerThread::Post(Message message) {
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) {
            return false;
        }
        wasEmpty = queue_.empty();
        if (AdmitLocked(message)) {
            queue_.push_back(std::move(message));
        }
    }
    // The loop only sleeps on an empty queue, so only the first message needs to wake it.
    if (wasEmpty) {
        wake_.notify_one();
    }
    return true;
}

bool CWorkerThread::PostAll(std::vector<Message> messages) {
    if (messages.empty()) {
        return true;
    }
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_) {
            return false;
        }
        wasEmpty = queue_.empty();
        for (Message& message : messages) {
            if (AdmitLocked(message)) {
                queue_.push_back(std::move(message));
            }
        }
    }
    if (wasEmpty) {
        wake_.notify_one();
    }
    return true;
}

void CWorkerThread::CoalesceQueued(int number) {
    waiting_[number] = 0;
}

void CWorkerThread::DropQueuedAtQuit(int number) {
    dropAtQuit_.insert(number);
}

bool CWorkerThread::DroppedByQuit(int number) const {
    return quitQueued_.load(std::memory_order_acquire) && dropAtQuit_.contains(number);
}

void CWorkerThread::QuitQueuedLocked() {
    if (dropAtQuit_.empty()) {
        return;
    }
    quitQueued_.store(true, std::memory_order_release);
    // What is already taken into the inbox is skipped by the loop; the rest goes now.
    std::erase_if(queue_,
                  [this](const Message& queued) { return dropAtQuit_.contains(queued.number); });
}

bool CWorkerThread::AdmitLocked(const Message& message) {
    if (message.number == kMsgQuit) {
        QuitQueuedLocked();
        return true;
    }
    if (quitQueued_.load(std::memory_order_relaxed) && dropAtQuit_.contains(message.number)) {
        return false;
    }
    const auto waiting = waiting_.find(message.number);
    if (waiting == waiting_.end()) {
        return true;
    }
    if (waiting->second > 0) {
        return false;
    }
    ++waiting->second;
    return true;
}

void CWorkerThread::MarkHandled(int number) {
    std::lock_guard lock(mutex_);
    if (const auto waiting = waiting_.find(number); waiting != waiting_.end()) {
        waiting->second = 0;
    }
}

bool CWorkerThread::Handles(int number) const {
    return number == kMsgQuit || handlers_.contains(number);
}

void CWorkerThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

bool CWorkerThread::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void CWorkerThread::On(int number, Handler handler) {
    handlers_[number] = std::move(handler);
}

void CWorkerThread::QuitLoop() {
    std::lock_guard lock(mutex_);
    quitRequested_ = true;
}

bool CWorkerThread::NextMessage(std::stop_token& stop, Message& message) {
    if (inbox_.empty()) {
        OnInboxDone();
        std::unique_lock lock(mutex_);
        if (quitRequested_) {
            return false;
        }
        if (!wake_.wait(lock, stop, [this] { return !queue_.empty(); })) {
            return false;
        }
        // Everything queued so far is taken with this one lock.
        inbox_.swap(queue_);
    } else if (quitRequested_) {  // set only on this thread
        return false;
    }
    message = std::move(inbox_.front());
    inbox_.pop_front();
    return true;
}

void CWorkerThread::Run(std::stop_token stop) {
    NameThisThread(name_);
    if (InitInstance()) {
        Message message;
        while (NextMessage(stop, message)) {
            if (message.number == kMsgQuit) {
                OnQuit();
                QuitLoop();
            } else if (DroppedByQuit(message.number)) {
                // freed below, unhandled
            } else if (auto handler = handlers_.find(message.number); handler != handlers_.end()) {
                if (waiting_.contains(message.number)) {  // the table is fixed before Start()
                    MarkHandled(message.number);          // a tick arriving from now on is new work
                }
                handler->second(message);
            }
            message = Message{};  // frees whatever the handler did not take
        }
        OnInboxDone();
        ExitInstance();
    }
    std::deque<Message> leftover;
    {
        std::lock_guard lock(mutex_);
        accepting_ = false;
        running_ = false;
        leftover.swap(queue_);
    }
    inbox_.clear();
    // leftover payloads are freed here, outside the lock
}

}  // namespace tarvik
