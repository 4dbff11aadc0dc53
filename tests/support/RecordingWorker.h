#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <variant>
#include <vector>

#include "workers/Worker.h"

namespace tarvik::test {

// A worker that takes every published value of the given types and remembers it, so tests can
// see what was published, in order. Like a tracker after its merge, it lets go of a snapshot's
// in-flight token at once, so a poller publishing to it never waits.
template <class... Ts>
class Recorder : public CWorker<std::variant<Ts...>> {
public:
    using Message = std::variant<Ts...>;

    Recorder() : CWorker<Message>("recording") { (this->template Subscribe<Ts>(), ...); }
    ~Recorder() override { this->Stop(); }

    // Waits until at least `count` messages arrived; false after the deadline.
    bool WaitFor(std::size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, deadline, [&] { return received_.size() >= count; });
    }

    std::vector<Message> Take() {
        std::lock_guard lock(mutex_);
        taken_ += received_.size();
        return std::exchange(received_, {});
    }

    // The values of type T among those taken now, in order.
    template <class T>
    std::vector<T> TakeOf() {
        std::vector<T> values;
        for (Message& message : Take()) {
            if (T* value = std::get_if<T>(&message)) {
                values.push_back(std::move(*value));
            }
        }
        return values;
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

    bool quitSeen = false;  // read it after Join

protected:
    void Handle(Message& message) override {
        std::visit(
            [](auto& value) {
                if constexpr (requires { value.inFlight.reset(); }) {
                    value.inFlight.reset();
                }
            },
            message);
        {
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(message));
        }
        arrived_.notify_all();
    }
    void OnQuit() override { quitSeen = true; }
    void OnInboxDone() override {
        std::lock_guard lock(mutex_);
        if (received_.size() + taken_ > countedUpTo_) {
            ++wakes_;
            countedUpTo_ = received_.size() + taken_;
        }
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Message> received_;
    std::size_t taken_ = 0;        // received and taken by the test
    std::size_t countedUpTo_ = 0;  // received when the last wake was counted
    std::size_t wakes_ = 0;
};

}  // namespace tarvik::test
