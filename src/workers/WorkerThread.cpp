#include "workers/WorkerThread.h"

#include <algorithm>
#include <utility>

#include "base/ThreadName.h"

namespace tarvik {

CWorkerThread::CWorkerThread(std::string name) : name_(std::move(name)) {}

CWorkerThread::~CWorkerThread() {
    // The queue and the subclass members are already gone here, so CWorker and the subclasses
    // stop in their own destructors; this is the backstop.
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
    thread_ = std::jthread([this](std::stop_token stop) {
        NameThisThread(name_);
        Run(std::move(stop));
    });
}

bool CWorkerThread::Subscribes(std::type_index type) const {
    return std::find(subscriptions_.begin(), subscriptions_.end(), type) != subscriptions_.end();
}

void CWorkerThread::AddSubscription(std::type_index type) {
    if (!Subscribes(type)) {
        subscriptions_.push_back(type);
    }
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

void CWorkerThread::QuitLoop() {
    std::lock_guard lock(mutex_);
    quitRequested_ = true;
}

void CWorkerThread::EndRunning() {
    std::lock_guard lock(mutex_);
    accepting_ = false;
    running_ = false;
}

}  // namespace tarvik
