#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <unordered_map>
#include <vector>

#include "acquisition/Classification.h"
#include "acquisition/EventSource.h"

namespace tarvik {

// A socket that aborts its connection (a reset at close) is reported ended without its remote
// port and local address: the kernel clears them before the notice is made. When the other end is a
// socket of this host, its own notice names both ends, so the two are paired here: the half-blank
// end gets its addresses back from its peer's. Ends whose peer is elsewhere stay as they are (the
// tracker knows them by cookie if a dump saw them).
class CAbortedEndPairing {
public:
    static constexpr std::time_t kHoldSeconds = 10;  // how long either half waits for the other
    static constexpr std::size_t kMaxWaiting = 16384;
    // When full, halves older than this make room: the two notices of a pair come within
    // moments of each other, so a new half is worth more than one waiting this long.
    static constexpr std::time_t kCrowdedHoldSeconds = 1;

    // Takes one drain's notices; returns the ends rebuilt from pairs found now, to be handled
    // after them. A local port that has a listener is taken for the listener's own end.
    std::vector<TcpEvent> Pair(const std::vector<TcpEvent>& events,
                               const CListeningPorts& listening, std::time_t now);

    std::size_t Waiting() const { return blank_.size() + peers_.size(); }

private:
    void Expire(std::time_t now);
    // Room for one more half in `waiting`: false when it is full even of recent halves.
    static bool MakeRoom(std::unordered_multimap<std::uint16_t, TcpEvent>& waiting,
                         std::time_t now);

    // Half-blank ends by their local port, and ends between two sockets of this host by their
    // remote port, each waiting for the other half.
    std::unordered_multimap<std::uint16_t, TcpEvent> blank_;
    std::unordered_multimap<std::uint16_t, TcpEvent> peers_;
};

}  // namespace tarvik
