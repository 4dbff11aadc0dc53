#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "acquisition/EventSource.h"
#include "acquisition/bpf/TcpSample.h"

namespace tarvik {

// CLOCK_REALTIME minus CLOCK_MONOTONIC, taken once: the program stamps samples with the
// monotonic clock, the rows want the wall clock.
std::int64_t RealtimeOffsetNs();

// A sample of the kernel program as an event: Ended when the socket entered TCP_CLOSE,
// Changed for every other state. Converted through DiagSocket, so that IPv4-mapped sockets
// become IPv4 rows exactly as in dumps. nullopt for a family or state no row stands for.
std::optional<TcpEvent> TcpEventFromSample(const tarvik_tcp_sample& sample,
                                           std::int64_t realtimeOffsetNs);

// Lines libbpf prints while the program is opened and loaded; dropped when empty.
using BpfTraceSink = std::function<void(std::string_view)>;

// Loads and attaches the program on the TCP state tracepoint and starts reading its ring
// buffer. Null when that cannot be done here, with the reason (errno text and what is needed)
// in `reason` when given.
std::unique_ptr<IEventSource> OpenBpfEventSource(std::string* reason,
                                                 const BpfTraceSink& trace = {});

}  // namespace tarvik
