#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
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
        return std::move(received_);
    }

    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return received_.size();
    }

    bool quitSeen = false;

protected:
    void OnQuit() override { quitSeen = true; }

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
};

}  // namespace tarvik::test
