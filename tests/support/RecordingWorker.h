#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "tracking/WorkerThread.h"

namespace tarvik::test {

// A worker that handles the given numbers by remembering them (and taking their payloads), so
// tests can see what was broadcast, in order.
class RecordingWorker : public CWorkerThread {
public:
    struct Received {
        int number = 0;
        std::unique_ptr<CConnectionRecord> record;   // wParam record, if any
        std::unique_ptr<CConnectionRecord> lRecord;  // lParam record, if any
        std::unique_ptr<std::string> text;           // wParam text, if any
    };

    explicit RecordingWorker(std::vector<int> numbers) : CWorkerThread("recording") {
        for (int number : numbers) {
            On(number, [this](Message& message) { Record(message); });
        }
    }
    ~RecordingWorker() override { Stop(); }

    // Waits until at least `count` messages arrived; false after the deadline.
    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, deadline, [&] { return received_.size() >= count; });
    }

    std::vector<Received> Take() {
        std::lock_guard lock(mutex_);
        taken_ += received_.size();
        return std::exchange(received_, {});
    }

    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return received_.size();
    }

    // How many times the worker took messages and handled them all: once per wake-up.
    std::size_t Wakes() const {
        std::lock_guard lock(mutex_);
        return wakes_;
    }

    bool quitSeen = false;

protected:
    void OnQuit() override { quitSeen = true; }
    void OnInboxDone() override {
        std::lock_guard lock(mutex_);
        if (received_.size() + taken_ > countedUpTo_) {
            ++wakes_;
            countedUpTo_ = received_.size() + taken_;
        }
    }

private:
    void Record(Message& message) {
        Received received;
        received.number = message.number;
        received.record = message.wParam.TakeRecord();
        received.text = message.wParam.TakeText();
        received.lRecord = message.lParam.TakeRecord();
        {
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(received));
        }
        arrived_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Received> received_;
    std::size_t taken_ = 0;        // received and taken by the test
    std::size_t countedUpTo_ = 0;  // received when the last wake was counted
    std::size_t wakes_ = 0;
};

}  // namespace tarvik::test
