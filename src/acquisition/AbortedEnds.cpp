#include "acquisition/AbortedEnds.h"

#include <iterator>

namespace tarvik {

namespace {

// The remote port is always cleared; the addresses may be.
bool IsHalfBlank(const TcpRow& row) {
    return row.remotePort == 0 && row.localPort != 0;
}

bool IsLoopback(const TcpRow& row) {
    if (row.family == AddressFamily::Ipv4) {
        return row.remoteAddress[0] == 127;
    }
    AddressBytes ipv6Loopback{};
    ipv6Loopback[15] = 1;
    return row.remoteAddress == ipv6Loopback;
}

// Both ends on this host: over loopback, or from one of its addresses to the same one.
bool IsBetweenLocalSockets(const TcpRow& row) {
    return row.remotePort != 0 && (IsLoopback(row) || row.remoteAddress == row.localAddress);
}

TcpEvent Rebuilt(const TcpEvent& blank, const TcpRow& peer) {
    TcpEvent event = blank;
    event.row.family = peer.family;
    event.row.localAddress = peer.remoteAddress;
    event.row.remoteAddress = peer.localAddress;
    event.row.remotePort = peer.localPort;
    return event;
}

bool IsZero(const AddressBytes& address) {
    return address == AddressBytes{};
}

// Whether `peer` can be the other end of the half-blank `blank`: the ports always tell; what
// the kernel left of the blank's addresses must agree too, so that one of many connections
// that share a client port is not paired with another's end.
bool Fits(const TcpRow& blank, const TcpRow& peer) {
    if (blank.localPort != peer.remotePort) {
        return false;
    }
    if (blank.family != peer.family) {
        return true;  // one of them as the IPv4 form of a mapped address: nothing to compare
    }
    return (IsZero(blank.localAddress) || blank.localAddress == peer.remoteAddress) &&
           (IsZero(blank.remoteAddress) || blank.remoteAddress == peer.localAddress);
}

// Takes from `waiting` the newest half under `port` that `fits` the arriving half: the two
// notices of a pair come within moments, an older half of the same port belongs to another.
template <typename Predicate>
bool Take(std::unordered_multimap<std::uint16_t, TcpEvent>& waiting, std::uint16_t port,
          Predicate fits, TcpEvent& out) {
    auto [begin, end] = waiting.equal_range(port);
    auto best = end;
    for (auto it = begin; it != end; ++it) {
        if (fits(it->second.row) && (best == end || it->second.time >= best->second.time)) {
            best = it;
        }
    }
    if (best == end) {
        return false;
    }
    out = std::move(best->second);
    waiting.erase(best);
    return true;
}

}  // namespace

std::vector<TcpEvent> CAbortedEndPairing::Pair(const std::vector<TcpEvent>& events,
                                               const CListeningPorts& listening, std::time_t now) {
    std::vector<TcpEvent> rebuilt;
    for (const TcpEvent& event : events) {
        if (event.kind != TcpEvent::Kind::Ended) {
            continue;
        }
        const TcpRow& row = event.row;
        TcpEvent other;
        if (IsHalfBlank(row)) {
            if (listening.Contains(row.localPort)) {
                continue;
            }
            const auto isPeer = [&row](const TcpRow& peer) { return Fits(row, peer); };
            if (Take(peers_, row.localPort, isPeer, other)) {
                rebuilt.push_back(Rebuilt(event, other.row));
            } else if (MakeRoom(blank_, now)) {
                blank_.emplace(row.localPort, event);
            }
        } else if (IsBetweenLocalSockets(row)) {
            const auto isBlank = [&row](const TcpRow& blank) { return Fits(blank, row); };
            if (Take(blank_, row.remotePort, isBlank, other)) {
                rebuilt.push_back(Rebuilt(other, row));
            } else if (MakeRoom(peers_, now)) {
                peers_.emplace(row.remotePort, event);
            }
        }
    }
    Expire(now);
    return rebuilt;
}

bool CAbortedEndPairing::MakeRoom(std::unordered_multimap<std::uint16_t, TcpEvent>& waiting,
                                  std::time_t now) {
    if (waiting.size() < kMaxWaiting) {
        return true;
    }
    // A burst of ordinary closes between local sockets (each waits in case its peer aborted)
    // must not keep out the halves of the connections that follow it.
    std::erase_if(waiting, [now](const auto& entry) {
        return now - entry.second.time >= kCrowdedHoldSeconds;
    });
    return waiting.size() < kMaxWaiting;
}

void CAbortedEndPairing::Expire(std::time_t now) {
    auto old = [now](const auto& entry) { return now - entry.second.time > kHoldSeconds; };
    std::erase_if(blank_, old);
    std::erase_if(peers_, old);
}

}  // namespace tarvik
