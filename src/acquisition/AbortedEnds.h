#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "acquisition/Classification.h"
#include "acquisition/EventSource.h"

namespace tarvik {

// What a half-blank end shows of its connection: its family, its local port and what the kernel
// left of its addresses (zero where cleared). With `anyAddress`, the port and family alone.
struct HalfKey {
    std::uint16_t port = 0;
    AddressFamily family = AddressFamily::Ipv4;
    bool anyAddress = false;
    AddressBytes local{};
    AddressBytes remote{};

    bool operator==(const HalfKey&) const = default;
};

struct HalfKeyHash {
    std::size_t operator()(const HalfKey& key) const;
};

// A few distinct keys, without a heap allocation per notice.
struct HalfKeys {
    std::array<HalfKey, 5> keys{};
    std::size_t count = 0;

    void Add(const HalfKey& key);
    std::span<const HalfKey> All() const& { return {keys.data(), count}; }
    std::span<const HalfKey> All() const&& = delete;  // would dangle
};

// Halves of one kind waiting for their other half, oldest first. Each is filed under the keys
// `keysOf` gives it, so the newest under a key is found at once however many wait; the ones
// taken or dropped leave their files lazily: a file is swept when more than half of it is gone.
class CWaitingHalves {
public:
    using KeysOf = HalfKeys (*)(const TcpRow& row);
    explicit CWaitingHalves(KeysOf keysOf) : keysOf_(keysOf) {}

    void Add(const TcpEvent& event);
    // The newest half filed under any of `keys`, taken out.
    std::optional<TcpEvent> TakeNewest(const HalfKeys& keys);
    // Drops halves from the oldest on while `old` holds for them.
    template <typename Old>
    void DropOldest(Old old);

    std::size_t Size() const { return halves_.size(); }

private:
    using Id = std::uint64_t;  // arrival order; never reused
    struct File {
        Id last = 0;              // most files hold one half: no list for them
        std::vector<Id> earlier;  // oldest first; some may be gone, `last` too
        std::size_t live = 0;
    };
    std::optional<Id> Newest(const HalfKey& key);
    TcpEvent Remove(std::unordered_map<Id, TcpEvent>::iterator half);

    KeysOf keysOf_;
    Id next_ = 0;
    std::unordered_map<Id, TcpEvent> halves_;
    std::deque<Id> arrival_;  // oldest first; some may be gone
    std::unordered_map<HalfKey, File, HalfKeyHash> files_;
};

template <typename Old>
void CWaitingHalves::DropOldest(Old old) {
    while (!arrival_.empty()) {
        const auto half = halves_.find(arrival_.front());
        if (half != halves_.end()) {
            if (!old(half->second)) {
                return;
            }
            Remove(half);
        }
        arrival_.pop_front();
    }
}

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

    CAbortedEndPairing();

    // Takes one drain's notices; returns the ends rebuilt from pairs found now, to be handled
    // after them. A local port that has a listener is taken for the listener's own end. Of
    // several waiting halves that fit, the one that came last is taken: the two notices of a
    // pair come within moments of each other.
    std::vector<TcpEvent> Pair(const std::vector<TcpEvent>& events,
                               const CListeningPorts& listening, std::time_t now);

    std::size_t Waiting() const { return blank_.Size() + peers_.Size(); }

private:
    void Expire(std::time_t now);
    // Room for one more half in `waiting`: false when it is full even of recent halves.
    static bool MakeRoom(CWaitingHalves& waiting, std::time_t now);

    // Half-blank ends, and ends between two sockets of this host, each waiting for the other
    // half.
    CWaitingHalves blank_;
    CWaitingHalves peers_;
};

}  // namespace tarvik
