#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "workers/WorkerThread.h"

namespace tarvik {

template <class Inbox>
class CWorker;

// A worker whose inbox is the variant of the message types it takes. Messages are handled one
// at a time in arrival order on the worker's own thread, by Handle(); a subclass says in its
// constructor which types it takes from the hub (Subscribe<T>()); the others are its own, posted
// to it alone (wake-ups from its helper threads).
//
// Every type is a small value: published values reach a worker as copies, or moved into the
// last subscriber, so each type's comment says which it is meant for.
template <class... Ts>
class CWorker<std::variant<Ts...>> : public CWorkerThread {
public:
    using Inbox = std::variant<Ts...>;

    // Queues one message for this worker alone. False (freeing it) when the worker no longer
    // accepts messages.
    bool Post(Inbox message) {
        bool wasEmpty = false;
        {
            std::lock_guard lock(mutex_);
            if (!accepting_) {
                return false;
            }
            wasEmpty = queue_.empty();
            AdmitLocked(Queued(std::move(message)));
        }
        // The loop only sleeps on an empty queue, so only the first message needs to wake it.
        if (wasEmpty) {
            wake_.notify_one();
        }
        return true;
    }

    // Queues the messages in order as one step, with a single wake-up.
    bool PostAll(std::vector<Inbox> messages) {
        std::vector<Queued> queued;
        queued.reserve(messages.size());
        for (Inbox& message : messages) {
            queued.emplace_back(std::move(message));
        }
        return Enqueue(std::move(queued));
    }

    bool PostQuit() final { return Enqueue(std::vector<Queued>(1)); }

    bool Offer(std::span<const Offered> values) final {
        std::vector<Queued> queued;
        queued.reserve(values.size());
        for (const Offered& offered : values) {
            if (std::optional<Inbox> message = Convert(offered)) {
                queued.emplace_back(std::move(*message));
            }
        }
        return Enqueue(std::move(queued));
    }

protected:
    explicit CWorker(std::string name) : CWorkerThread(std::move(name)) {}
    // The loop uses the queue below: it ends before the queue goes.
    ~CWorker() override { Stop(); }

    // Handles one message, on the worker's thread.
    virtual void Handle(Inbox& message) = 0;

    // The worker takes published values of T. Constructor only.
    template <class T>
    void Subscribe() {
        static_assert(IndexOf<T>() < sizeof...(Ts), "the type is not in this worker's inbox");
        AddSubscription(typeid(T));
    }

    // A T that arrives while another T still waits unhandled is dropped: for requests where one
    // pending is as good as many (a poll tick), so that a worker that falls behind never builds
    // an unbounded backlog. Constructor only.
    template <class T>
    void Coalesce() {
        coalesced_[IndexOf<T>()] = true;
    }

    // A T not yet handled when a quit is queued is dropped unhandled: work whose result nobody
    // waits for at the end (a host-name request), so that the quit is not stuck behind it. Other
    // messages queued before the quit are still handled. Constructor only.
    template <class T>
    void DropAtQuit() {
        dropAtQuit_[IndexOf<T>()] = true;
    }

private:
    using Queued = std::optional<Inbox>;  // empty: the quit

    template <class T>
    static constexpr std::size_t IndexOf() {
        constexpr std::array<bool, sizeof...(Ts)> matches{std::is_same_v<T, Ts>...};
        for (std::size_t i = 0; i < matches.size(); ++i) {
            if (matches[i]) {
                return i;
            }
        }
        return matches.size();
    }

    // The offered value as a message of this inbox; nothing for a type it does not hold.
    static std::optional<Inbox> Convert(const Offered& offered) {
        std::optional<Inbox> message;
        (void)((offered.type == typeid(Ts) && (message.emplace(Make<Ts>(offered)), true)) || ...);
        return message;
    }

    template <class T>
    static Inbox Make(const Offered& offered) {
        T* value = static_cast<T*>(offered.value);
        if (offered.take) {
            return Inbox(std::in_place_type<T>, std::move(*value));
        }
        return Inbox(std::in_place_type<T>, *value);
    }

    bool Enqueue(std::vector<Queued> messages) {
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
            for (Queued& message : messages) {
                AdmitLocked(std::move(message));
            }
        }
        if (wasEmpty) {
            wake_.notify_one();
        }
        return true;
    }

    // Under mutex_: queues the message unless it is a duplicate of a waiting one or comes after
    // a quit that drops its type.
    void AdmitLocked(Queued message) {
        if (!message) {
            QuitQueuedLocked();
            queue_.push_back(std::move(message));
            return;
        }
        const std::size_t type = message->index();
        if (dropAtQuit_[type] && quitQueued_.load(std::memory_order_relaxed)) {
            return;
        }
        if (coalesced_[type]) {
            if (waiting_[type] > 0) {
                return;
            }
            ++waiting_[type];
        }
        queue_.push_back(std::move(message));
    }

    // Under mutex_: notes a queued quit and frees the waiting messages it makes moot.
    void QuitQueuedLocked() {
        quitQueued_.store(true, std::memory_order_release);
        // What is already taken into the inbox is skipped by the loop; the rest goes now.
        std::erase_if(queue_, [this](const Queued& queued) {
            return queued && dropAtQuit_[queued->index()];
        });
    }

    bool DroppedByQuit(std::size_t type) const {
        return dropAtQuit_[type] && quitQueued_.load(std::memory_order_acquire);
    }

    bool Next(std::stop_token& stop, Queued& message) {
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

    void Run(std::stop_token stop) final {
        if (InitInstance()) {
            Queued message;
            while (Next(stop, message)) {
                if (!message) {
                    OnQuit();
                    QuitLoop();
                    continue;
                }
                const std::size_t type = message->index();
                if (!DroppedByQuit(type)) {
                    if (coalesced_[type]) {  // fixed before Start()
                        std::lock_guard lock(mutex_);
                        waiting_[type] = 0;  // one arriving from now on is new work
                    }
                    Handle(*message);
                }
                message.reset();  // frees what the handler left
            }
            OnInboxDone();
            ExitInstance();
        }
        std::deque<Queued> leftover;
        {
            std::lock_guard lock(mutex_);
            accepting_ = false;
            leftover.swap(queue_);
        }
        EndRunning();
        inbox_.clear();
        // leftover messages are freed here, outside the lock
    }

    std::array<bool, sizeof...(Ts)> coalesced_{};   // fixed before Start()
    std::array<bool, sizeof...(Ts)> dropAtQuit_{};  // fixed before Start()
    std::array<int, sizeof...(Ts)> waiting_{};      // coalesced messages queued; under mutex_
    std::atomic<bool> quitQueued_{false};
    std::deque<Queued> queue_;  // under mutex_
    std::deque<Queued> inbox_;  // taken from queue_ in one go; the worker's thread alone
};

}  // namespace tarvik
