#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>
#include <typeinfo>
#include <variant>
#include <vector>

#include "workers/WorkerThread.h"

namespace tarvik {

// The registered workers, in order, and publishing by type. It does not own the workers:
// whoever creates them clears the registry (or quits them all through it) before destroying
// them.
class CWorkerRegistry {
public:
    // Appends a worker; published values reach workers in registration order.
    void Register(CWorkerThread* worker);

    // Hands `value` to every registered worker that subscribed to T, in registration order, all
    // under one lock so that publications never interleave. The last subscriber gets the value
    // itself, the others copies.
    template <class T>
    void Publish(T value) {
        Offered offered{typeid(T), &value, false};
        Deliver(std::span<Offered>(&offered, 1));
    }

    // The same as one Publish per value, in order, without another publication in between; each
    // worker is woken once for those it takes.
    template <class... Ts>
    void PublishAll(std::vector<std::variant<Ts...>> values) {
        std::vector<Offered> offered;
        offered.reserve(values.size());
        for (auto& value : values) {
            std::visit(
                [&offered](auto& alternative) {
                    offered.push_back(Offered{typeid(alternative), &alternative, false});
                },
                value);
        }
        Deliver(offered);
    }

    // Queues a quit for every registered worker, in order, and empties the list, so that later
    // publications reach nobody.
    void QuitAll();

    // Empties the list.
    void Clear();

    // Number of registered workers.
    std::size_t Size() const;

    // Diagnostic text. Discarded unless a sink is set (tests, "--trace").
    void Trace(std::string_view text) const;
    void SetTraceSink(std::function<void(std::string_view)> sink);

private:
    // Offers each worker the values it subscribed to; `take` is set here.
    void Deliver(std::span<Offered> values);

    mutable std::mutex mutex_;
    std::vector<CWorkerThread*> workers_;

    mutable std::mutex traceMutex_;
    std::function<void(std::string_view)> traceSink_;
    // Lets the usual case (no sink) skip the lock: the poller traces every row.
    std::atomic<bool> hasTraceSink_{false};
};

}  // namespace tarvik
