#include "workers/WorkerRegistry.h"

namespace tarvik {

void CWorkerRegistry::Register(CWorkerThread* worker) {
    std::lock_guard lock(mutex_);
    workers_.push_back(worker);
}

void CWorkerRegistry::Deliver(std::span<Offered> values) {
    constexpr std::size_t kNobody = static_cast<std::size_t>(-1);
    std::lock_guard lock(mutex_);
    // A value is moved into its last subscriber and copied for the ones before it.
    std::vector<std::size_t> last(values.size(), kNobody);
    for (std::size_t worker = 0; worker < workers_.size(); ++worker) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (workers_[worker] != nullptr && workers_[worker]->Subscribes(values[i].type)) {
                last[i] = worker;
            }
        }
    }
    std::vector<Offered> taken;
    for (std::size_t worker = 0; worker < workers_.size(); ++worker) {
        taken.clear();
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (workers_[worker] != nullptr && workers_[worker]->Subscribes(values[i].type)) {
                taken.push_back(Offered{values[i].type, values[i].value, last[i] == worker});
            }
        }
        // A worker that takes none of them is not woken.
        if (!taken.empty()) {
            workers_[worker]->Offer(taken);
        }
    }
}

void CWorkerRegistry::QuitAll() {
    std::lock_guard lock(mutex_);
    for (CWorkerThread* worker : workers_) {
        if (worker != nullptr) {
            worker->PostQuit();
        }
    }
    workers_.clear();
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
