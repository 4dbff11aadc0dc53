#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "workers/WorkerHub.h"

namespace tarvik::test {

// Keeps every message meant for the user; safe from any thread.
class RecordingNotifier : public IUserNotifier {
public:
    void ShowMessage(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(text);
        }
        changed_.notify_all();
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, deadline, [&] { return messages_.size() >= count; });
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> messages_;
};

}  // namespace tarvik::test
