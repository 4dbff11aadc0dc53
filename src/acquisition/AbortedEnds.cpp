#include "acquisition/AbortedEnds.h"

#include <cstring>

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

AddressFamily OtherFamily(AddressFamily family) {
    return family == AddressFamily::Ipv4 ? AddressFamily::Ipv6 : AddressFamily::Ipv4;
}

HalfKey Shape(std::uint16_t port, AddressFamily family, const AddressBytes& local,
              const AddressBytes& remote) {
    return {port, family, false, local, remote};
}

// A peer fits a half-blank end by the port, and by each address the kernel left the blank:
// it fits each shape the blank can show (an address there or cleared), and no other. Every
// peer of a port and family is also under the shape with both addresses cleared.
HalfKeys ShapesFitting(const TcpRow& peer) {
    // The addresses as the blank's own end sees them, then cleared (once, if they are not).
    const std::array<AddressBytes, 2> locals{peer.remoteAddress, AddressBytes{}};
    const std::array<AddressBytes, 2> remotes{peer.localAddress, AddressBytes{}};
    const std::size_t localForms = IsZero(peer.remoteAddress) ? 1 : 2;
    const std::size_t remoteForms = IsZero(peer.localAddress) ? 1 : 2;
    HalfKeys keys;
    for (std::size_t local = 0; local < localForms; ++local) {
        for (std::size_t remote = 0; remote < remoteForms; ++remote) {
            keys.Add(Shape(peer.remotePort, peer.family, locals[local], remotes[remote]));
        }
    }
    return keys;
}

// A blank is under its own shape, and under its port and family alone for a peer of the other
// family (one of the two as the IPv4 form of a mapped address: nothing to compare).
HalfKeys BlankKeys(const TcpRow& blank) {
    HalfKeys keys;
    keys.Add(Shape(blank.localPort, blank.family, blank.localAddress, blank.remoteAddress));
    keys.Add({blank.localPort, blank.family, true, {}, {}});
    return keys;
}

// Where the peers a half-blank end fits wait: under its shape, and (all of the other family)
// under that family's shape with both addresses cleared.
HalfKeys PeerLookups(const TcpRow& blank) {
    HalfKeys keys;
    keys.Add(Shape(blank.localPort, blank.family, blank.localAddress, blank.remoteAddress));
    keys.Add(Shape(blank.localPort, OtherFamily(blank.family), {}, {}));
    return keys;
}

// Where the half-blank ends a peer fits wait.
HalfKeys BlankLookups(const TcpRow& peer) {
    HalfKeys keys = ShapesFitting(peer);
    keys.Add({peer.remotePort, OtherFamily(peer.family), true, {}, {}});
    return keys;
}

// A half stamped well after `now` is from before the clock was set back: its age tells nothing.
bool OlderThan(const TcpEvent& half, std::time_t now, std::time_t seconds) {
    return now - half.time >= seconds || half.time - now > CAbortedEndPairing::kHoldSeconds;
}

// A list of ids with `live` of them still waiting is swept when more than half are gone, so
// that a sweep costs no more than the removals that made it due.
bool DueForSweep(std::size_t size, std::size_t live) {
    return size > 2 * live + 16;
}

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
    hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    return hash * 0xff51afd7ed558ccdULL;
}

std::uint64_t Mix(std::uint64_t hash, const AddressBytes& address) {
    std::uint64_t words[2];
    std::memcpy(words, address.data(), sizeof words);
    return Mix(Mix(hash, words[0]), words[1]);
}

}  // namespace

std::size_t HalfKeyHash::operator()(const HalfKey& key) const {
    std::uint64_t hash = key.port | (std::uint64_t{static_cast<std::uint8_t>(key.family)} << 16) |
                         (std::uint64_t{key.anyAddress} << 24);
    hash = Mix(Mix(hash, key.local), key.remote);
    return static_cast<std::size_t>(hash ^ (hash >> 29));
}

void HalfKeys::Add(const HalfKey& key) {
    keys.at(count++) = key;
}

void CWaitingHalves::Add(const TcpEvent& event) {
    const Id id = next_++;
    halves_.emplace(id, event);
    arrival_.push_back(id);
    const HalfKeys keys = keysOf_(event.row);  // a span of a temporary would dangle in the loop
    for (const HalfKey& key : keys.All()) {
        const auto [found, fresh] = files_.try_emplace(key);
        File& file = found->second;
        if (!fresh) {
            file.earlier.push_back(file.last);
        }
        file.last = id;
        ++file.live;
    }
    if (DueForSweep(arrival_.size(), halves_.size())) {
        std::erase_if(arrival_, [this](Id waiting) { return !halves_.contains(waiting); });
    }
}

std::optional<TcpEvent> CWaitingHalves::TakeNewest(const HalfKeys& keys) {
    std::optional<Id> newest;
    for (const HalfKey& key : keys.All()) {
        const std::optional<Id> id = Newest(key);
        if (id && (!newest || *id > *newest)) {
            newest = id;
        }
    }
    if (!newest) {
        return std::nullopt;
    }
    return Remove(halves_.find(*newest));
}

std::optional<CWaitingHalves::Id> CWaitingHalves::Newest(const HalfKey& key) {
    const auto file = files_.find(key);
    if (file == files_.end()) {
        return std::nullopt;
    }
    File& found = file->second;
    while (!halves_.contains(found.last) && !found.earlier.empty()) {
        found.last = found.earlier.back();
        found.earlier.pop_back();
    }
    if (!halves_.contains(found.last)) {
        return std::nullopt;  // cannot be: a file with none waiting is gone
    }
    return found.last;
}

TcpEvent CWaitingHalves::Remove(std::unordered_map<Id, TcpEvent>::iterator half) {
    TcpEvent event = std::move(halves_.extract(half).mapped());
    const HalfKeys keys = keysOf_(event.row);
    for (const HalfKey& key : keys.All()) {
        const auto file = files_.find(key);
        if (--file->second.live == 0) {
            files_.erase(file);
        } else if (DueForSweep(file->second.earlier.size(), file->second.live)) {
            std::erase_if(file->second.earlier, [this](Id id) { return !halves_.contains(id); });
        }
    }
    return event;
}

CAbortedEndPairing::CAbortedEndPairing() : blank_(BlankKeys), peers_(ShapesFitting) {}

std::vector<TcpEvent> CAbortedEndPairing::Pair(const std::vector<TcpEvent>& events,
                                               const CListeningPorts& listening, std::time_t now) {
    std::vector<TcpEvent> rebuilt;
    for (const TcpEvent& event : events) {
        // A UDP end is never cut short: its addresses are as the socket had them.
        if (event.kind != TcpEvent::Kind::Ended || event.row.protocol == Protocol::Udp) {
            continue;
        }
        const TcpRow& row = event.row;
        if (IsHalfBlank(row)) {
            if (listening.Contains(row.localPort)) {
                continue;
            }
            if (auto peer = peers_.TakeNewest(PeerLookups(row))) {
                rebuilt.push_back(Rebuilt(event, peer->row));
            } else if (MakeRoom(blank_, now)) {
                blank_.Add(event);
            }
        } else if (IsBetweenLocalSockets(row)) {
            if (auto blank = blank_.TakeNewest(BlankLookups(row))) {
                rebuilt.push_back(Rebuilt(*blank, row));
            } else if (MakeRoom(peers_, now)) {
                peers_.Add(event);
            }
        }
    }
    Expire(now);
    return rebuilt;
}

bool CAbortedEndPairing::MakeRoom(CWaitingHalves& waiting, std::time_t now) {
    if (waiting.Size() < kMaxWaiting) {
        return true;
    }
    // A burst of ordinary closes between local sockets (each waits in case its peer aborted)
    // must not keep out the halves of the connections that follow it.
    waiting.DropOldest(
        [now](const TcpEvent& half) { return OlderThan(half, now, kCrowdedHoldSeconds); });
    return waiting.Size() < kMaxWaiting;
}

void CAbortedEndPairing::Expire(std::time_t now) {
    const auto old = [now](const TcpEvent& half) { return OlderThan(half, now, kHoldSeconds + 1); };
    blank_.DropOldest(old);
    peers_.DropOldest(old);
}

}  // namespace tarvik
