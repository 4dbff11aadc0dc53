#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "acquisition/EventSource.h"
#include "acquisition/bpf/TcpSample.h"

namespace tarvik {

// CLOCK_REALTIME minus CLOCK_MONOTONIC, taken once: the program stamps samples with the
// monotonic clock, the rows want the wall clock.
std::int64_t RealtimeOffsetNs();

// A sample of the kernel program as an event: Ended when the socket entered TCP_CLOSE,
// Changed for every other state, Owner for an accept (with the accepting process). Converted
// through DiagSocket, so that IPv4-mapped sockets become IPv4 rows exactly as in dumps. nullopt
// for a family or state no row stands for.
std::optional<TcpEvent> TcpEventFromSample(const tarvik_tcp_sample& sample,
                                           std::int64_t realtimeOffsetNs);

// The process that connected each socket (or made it listen), from the sample that names it
// until the socket's first event, which takes it: a SYN_SENT sample makes no event, the local
// port not being chosen yet; a LISTEN sample's own event takes it at once. The reader's thread
// only.
class COpeningProcesses {
public:
    // Sockets stuck in SYN_SENT without a later sample (lost ones) are dropped past this.
    static constexpr std::size_t kMaxWaiting = 65'536;

    // Remembers the process a SYN_SENT or LISTEN sample names.
    void Note(const tarvik_tcp_sample& sample);
    // Gives the event the process noted for its socket, once.
    void Attach(TcpEvent& event);
    std::size_t Waiting() const { return waiting_.size(); }

private:
    struct Process {
        int pid = 0;
        std::string command;
    };
    std::unordered_map<std::uint64_t, Process> waiting_;
};

// Gives the other events of an accepted socket in `events` the process its Owner event names,
// so that a connection accepted before the events are handed on is first seen with its
// process. The Owner events stay: the socket may be known from before.
void NameAcceptedSockets(std::vector<TcpEvent>& events);

// Lines libbpf prints while the program is opened and loaded; dropped when empty.
using BpfTraceSink = std::function<void(std::string_view)>;

// Loads and attaches the program on the TCP state tracepoint and starts reading its ring
// buffer. Null when that cannot be done here, with the reason (errno text and what is needed)
// in `reason` when given.
std::unique_ptr<IEventSource> OpenBpfEventSource(std::string* reason,
                                                 const BpfTraceSink& trace = {});

}  // namespace tarvik
