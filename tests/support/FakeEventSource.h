#pragma once

#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "acquisition/EventSource.h"

namespace tarvik::testing {

// Notices set by the test, and a loss it can report once.
class CFakeEventSource : public IEventSource {
public:
    explicit CFakeEventSource(AcquisitionMode mode = AcquisitionMode::Destroy,
                              bool dumpEveryTick = true)
        : mode_(mode), dumpEveryTick_(dumpEveryTick) {}

    AcquisitionMode Mode() const override { return mode_; }
    std::vector<TcpEvent> Drain() override {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }
    bool TakeLoss() override {
        std::lock_guard lock(mutex_);
        return std::exchange(lost_, false);
    }
    bool NeedsDumpEveryTick() const override { return dumpEveryTick_; }
    void SetReadySignal(std::function<void()> ready) override { ready_.Set(std::move(ready)); }
    // As the source's reader does after it queued notices.
    void Signal() { ready_.Fire(); }

    void Push(TcpEvent event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    void Lose() {
        std::lock_guard lock(mutex_);
        lost_ = true;
    }

private:
    const AcquisitionMode mode_;
    const bool dumpEveryTick_;
    CReadySignal ready_;
    std::mutex mutex_;
    std::vector<TcpEvent> events_;
    bool lost_ = false;
};

}  // namespace tarvik::testing
