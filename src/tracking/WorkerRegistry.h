#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tracking/Message.h"

namespace tarvik {

class CWorkerThread;

// The broadcast list of the registered workers. It does not own them: whoever creates the
// workers clears the registry (or broadcasts kMsgQuit) before destroying them.
class CWorkerRegistry {
public:
    // Appends a worker; broadcasts reach workers in registration order.
    void Register(CWorkerThread* worker);

    // Posts the message to every registered worker whose table handles the number, in
    // registration order, all under one lock so that broadcasts never interleave. A quit
    // empties the list afterwards, so later broadcasts reach nobody (and free their payloads).
    void Broadcast(int number, Payload wParam = {}, Payload lParam = {});
    // The same as one Broadcast per payload (as wParam), in order, without another broadcast
    // in between; each worker is woken once for them all.
    void BroadcastEach(int number, const std::vector<Payload>& wParams);
    // The same as one Broadcast per message, in order, without another broadcast in between;
    // each worker is woken once for those it handles.
    void BroadcastAll(const std::vector<Message>& messages);

    // Empties the list.
    void Clear();

    // Number of registered workers.
    std::size_t Size() const;

    // Diagnostic text. Discarded unless a sink is set (tests, "--trace").
    void Trace(std::string_view text) const;
    void SetTraceSink(std::function<void(std::string_view)> sink);

private:
    mutable std::mutex mutex_;
    std::vector<CWorkerThread*> workers_;

    mutable std::mutex traceMutex_;
    std::function<void(std::string_view)> traceSink_;
    // Lets the usual case (no sink) skip the lock: the poller traces every row.
    std::atomic<bool> hasTraceSink_{false};
};

}  // namespace tarvik
