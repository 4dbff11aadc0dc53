#include "scan/MailQueue.h"

#include <utility>

namespace tarvik {

CMailQueue::CMailQueue() : thread_([this](std::stop_token stop) { Run(stop); }) {}

CMailQueue::~CMailQueue() {
    DropWaiting();
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool CMailQueue::Push(Job job, std::size_t capacity) {
    {
        std::lock_guard lock(mutex_);
        if (jobs_.size() >= capacity) {
            return false;
        }
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
    return true;
}

void CMailQueue::DropWaiting() {
    {
        std::lock_guard lock(mutex_);
        jobs_.clear();
    }
    changed_.notify_all();
}

bool CMailQueue::WaitIdle(std::chrono::milliseconds deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [this] { return jobs_.empty() && !busy_; });
}

void CMailQueue::Run(std::stop_token stop) {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait(lock, stop, [this] { return !jobs_.empty(); })) {
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
        }
        // The job reports its own failures; nothing it throws may end the queue.
        try {
            job();
        } catch (...) {
        }
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
        }
        changed_.notify_all();
    }
}

}  // namespace tarvik
