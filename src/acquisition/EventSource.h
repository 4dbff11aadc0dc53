#pragma once

#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/TableSource.h"

namespace tarvik {

// How the connection table is followed. Events and destroy add the kernel's notifications to
// the dumps, so connections shorter than a poll are seen too.
enum class AcquisitionMode {
    Auto,     // the best of the three that works here
    Events,   // an eBPF program on every TCP state change; a slow reconciliation dump
    Destroy,  // the poll, plus the kernel's notice of every socket that ends
    Poll,     // a dump of the whole table at every tick
};

// "auto", "events", "destroy", "poll".
std::string_view AcquisitionModeName(AcquisitionMode mode);
std::optional<AcquisitionMode> ParseAcquisitionMode(std::string_view text);

// A change the kernel reported between two dumps.
struct TcpEvent {
    enum class Kind {
        Changed,  // the socket entered `row.state` (new sockets arrive this way too)
        Ended,    // the socket is gone; `row` holds what was known of it last
        Owner,    // a process took the socket (accepted it): `pid` and `command` name it,
                  // `row.state` is the state it is in (not a change)
    };
    TcpEvent() = default;
    TcpEvent(Kind what, const TcpRow& socket, std::time_t when)
        : kind(what), row(socket), time(when) {}

    Kind kind = Kind::Changed;
    TcpRow row;
    std::time_t time = 0;  // when the kernel reported it (wall clock)
    // The process that opened the socket where the notice itself tells it (with the eBPF
    // program: connections this host makes, listeners, and accepted sockets): 0 and empty
    // otherwise, to be looked for in /proc.
    int pid = 0;
    std::string command;
};

// Tells whoever waits for notices that some were queued. Fired on the source's reader thread;
// set and cleared from the poller's, so the two meet under a lock of its own.
class CReadySignal {
public:
    void Set(std::function<void()> ready) {
        std::lock_guard lock(mutex_);
        ready_ = std::move(ready);
    }
    void Fire() {
        std::lock_guard lock(mutex_);
        if (ready_) {
            ready_();
        }
    }

private:
    std::mutex mutex_;
    std::function<void()> ready_;
};

// The kernel's notifications, read on the poller's thread at each tick. Implementations may
// receive on a thread of their own and queue until drained.
class IEventSource {
public:
    virtual ~IEventSource() = default;
    // The back-end's name as users see it: "events" or "destroy".
    virtual AcquisitionMode Mode() const = 0;
    // Everything reported since the last call, oldest first.
    virtual std::vector<TcpEvent> Drain() = 0;
    // True once notifications were lost since the last call (a full socket buffer or ring
    // buffer): the live set is exact again only after a full dump. Reading clears it.
    virtual bool TakeLoss() = 0;
    // Whether the whole table must still be dumped at every tick (destroy notices say nothing
    // of new connections) or only now and then to reconcile (events).
    virtual bool NeedsDumpEveryTick() const = 0;
    // Called, on the source's own thread, after notices were queued: the poller then hands
    // them on at once rather than at its next tick. An empty function stops the calls; a
    // source that reads only when drained never calls it.
    virtual void SetReadySignal(std::function<void()> ready) { static_cast<void>(ready); }
    // What the start line says of the back-end beyond its name; empty for nothing.
    virtual std::string Detail() const { return {}; }
};

}  // namespace tarvik
