#include "scan/ScanCounter.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace tarvik {

namespace {

// Past this many ports a host's membership test uses a bitmap of every port (8 KiB) instead of
// a scan of its list.
constexpr std::size_t kBitmapFrom = 64;
constexpr std::size_t kBitmapWords = 65536 / 64;

std::uint64_t Mix(std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    value *= 0xc4ceb9fe1a85ec53ULL;
    return value ^ (value >> 33);
}

// A per-process seed, so that a sender cannot choose addresses that all land in one place.
std::uint64_t HashSeed() {
    static const std::uint64_t seed = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }();
    return seed;
}

bool ValidPort(int port) {
    return port >= 0 && port <= 0xffff;
}

}  // namespace

struct CScanCounter::PortSpill {
    std::vector<PortHit> hits;        // arrival order
    std::vector<std::uint64_t> bits;  // one bit per port, once hits passed kBitmapFrom

    std::size_t Bytes() const {
        return sizeof(PortSpill) + hits.capacity() * sizeof(PortHit) +
               bits.capacity() * sizeof(std::uint64_t);
    }
    bool Has(std::uint16_t port) const {
        if (!bits.empty()) {
            return (bits[port / 64] >> (port % 64) & 1U) != 0;
        }
        return std::any_of(hits.begin(), hits.end(),
                           [port](const PortHit& hit) { return hit.port == port; });
    }
    void Add(PortHit hit) {
        hits.push_back(hit);
        if (!bits.empty()) {
            bits[hit.port / 64] |= std::uint64_t{1} << (hit.port % 64);
        } else if (hits.size() > kBitmapFrom) {
            bits.assign(kBitmapWords, 0);
            for (const PortHit& each : hits) {
                bits[each.port / 64] |= std::uint64_t{1} << (each.port % 64);
            }
        }
    }
    void DropFirst(std::size_t count) {
        if (!bits.empty()) {
            for (std::size_t i = 0; i < count; ++i) {
                bits[hits[i].port / 64] &= ~(std::uint64_t{1} << (hits[i].port % 64));
            }
        }
        hits.erase(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(count));
    }
};

CScanCounter::CScanCounter() : epoch_(Clock::now()) {}
CScanCounter::~CScanCounter() = default;

void CScanCounter::AlertOnReach(int threshold, AlertFn alert) {
    reachThreshold_ = threshold;
    reachAlert_ = std::move(alert);
}

bool CScanCounter::Count(const InboundConnection& connection, const std::vector<int>& ignorePorts,
                         const AddressRanges& ignoreHosts, Clock::time_point now) {
    return CountPair(connection.remoteAddress.Str(), connection.localPort, ProbeKind::Connect,
                     connection.established ? Proof::Handshake : Proof::HalfOpen, ignorePorts,
                     ignoreHosts, now);
}

bool CScanCounter::Count(const Probe& probe, const std::vector<int>& ignorePorts,
                         const AddressRanges& ignoreHosts, Clock::time_point now) {
    return CountPair(probe.remoteAddress, probe.localPort, probe.kind, Proof::None, ignorePorts,
                     ignoreHosts, now);
}

namespace {

// The key of an address text; an IPv4-mapped IPv6 address is its IPv4 host.
bool KeyOf(const std::string& text, AddressFamily& family, AddressBytes& address) {
    if (!ParseAddress(text, family, address)) {
        return false;
    }
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (family == AddressFamily::Ipv6 && std::memcmp(address.data(), kMapped, 12) == 0) {
        AddressBytes v4{};
        std::copy_n(address.begin() + 12, 4, v4.begin());
        family = AddressFamily::Ipv4;
        address = v4;
    }
    return true;
}

}  // namespace

bool CScanCounter::CountPair(const std::string& address, int port, ProbeKind kind, Proof proof,
                             const std::vector<int>& ignorePorts, const AddressRanges& ignoreHosts,
                             Clock::time_point now) {
    Key key{};
    if (!ValidPort(port) || !KeyOf(address, key.family, key.address) ||
        std::find(ignorePorts.begin(), ignorePorts.end(), port) != ignorePorts.end() ||
        std::any_of(ignoreHosts.begin(), ignoreHosts.end(), [&](const AddressRange& range) {
            return range.Contains(key.family, key.address);
        })) {
        return false;
    }
    Host& host = slots_[Find(key)];
    host.kinds.Add(kind);
    host.handshake = host.handshake || proof == Proof::Handshake;
    DropExpired(host, now);
    const auto port16 = static_cast<std::uint16_t>(port);
    const bool added = PortCount(host) < limits_.maxPorts && !HasPort(host, port16);
    if (added) {
        AddPort(host, {port16, Second(now)});
    }
    // A half-open entry that reaches the threshold waits for the host's next event: the
    // handshake that completes it a moment later proves the source, and a proven host is never
    // held back by an alert cap. Forged sources never complete one and alert at their next
    // probe or at the check.
    const bool reached = reachThreshold_ >= 1 && reachAlert_ &&
                         PortCount(host) >= static_cast<std::size_t>(reachThreshold_);
    if (reached && !host.alertedOnReach && (proof != Proof::HalfOpen || host.handshake)) {
        host.alertedOnReach = true;
        Raise(host, reachAlert_);
    }
    return added;
}

std::uint32_t CScanCounter::Second(Clock::time_point now) const {
    const auto since = now - epoch_;
    auto seconds = std::chrono::ceil<std::chrono::seconds>(since).count();
    return static_cast<std::uint32_t>(std::clamp<long long>(seconds, 0, 0xffffffffLL));
}

std::size_t CScanCounter::PortCount(const Host& host) {
    return host.spill ? host.spill->hits.size() : host.inlineCount;
}

bool CScanCounter::HasPort(const Host& host, std::uint16_t port) {
    if (host.spill) {
        return host.spill->Has(port);
    }
    return std::any_of(host.inlineHits.begin(), host.inlineHits.begin() + host.inlineCount,
                       [port](const PortHit& hit) { return hit.port == port; });
}

void CScanCounter::AddPort(Host& host, PortHit hit) {
    if (!host.spill && host.inlineCount < kInlinePorts) {
        host.inlineHits[host.inlineCount++] = hit;
        return;
    }
    if (!host.spill) {
        host.spill = std::make_unique<PortSpill>();
        host.spill->hits.assign(host.inlineHits.begin(), host.inlineHits.end());
        host.inlineCount = 0;
    } else {
        spillBytes_ -= host.spill->Bytes();
    }
    host.spill->Add(hit);
    spillBytes_ += host.spill->Bytes();
}

void CScanCounter::ClearPorts(Host& host) {
    if (host.spill) {
        spillBytes_ -= host.spill->Bytes();
        host.spill.reset();
    }
    host.inlineCount = 0;
}

void CScanCounter::DropExpired(Host& host, Clock::time_point now) {
    if (limits_.window.count() <= 0) {
        return;
    }
    auto live = [&](const PortHit& hit) {
        return now - (epoch_ + std::chrono::seconds(hit.second)) < limits_.window;
    };
    // Ports are kept in arrival order, so the expired ones are a prefix.
    if (host.spill) {
        std::vector<PortHit>& hits = host.spill->hits;
        const auto firstLive = std::find_if(hits.begin(), hits.end(), live);
        spillBytes_ -= host.spill->Bytes();
        host.spill->DropFirst(static_cast<std::size_t>(firstLive - hits.begin()));
        spillBytes_ += host.spill->Bytes();
        return;
    }
    const auto end = host.inlineHits.begin() + host.inlineCount;
    const auto firstLive = std::find_if(host.inlineHits.begin(), end, live);
    std::copy(firstLive, end, host.inlineHits.begin());
    host.inlineCount = static_cast<std::uint8_t>(end - firstLive);
}

std::vector<int> CScanCounter::PortList(const Host& host) {
    std::vector<int> ports;
    if (host.spill) {
        for (const PortHit& hit : host.spill->hits) {
            ports.push_back(hit.port);
        }
    } else {
        for (std::size_t i = 0; i < host.inlineCount; ++i) {
            ports.push_back(host.inlineHits[i].port);
        }
    }
    return ports;
}

void CScanCounter::Raise(Host& host, const AlertFn& alert) {
    ScanFinding finding{AddressText(host.family, host.address),
                        PortList(host),
                        {},
                        host.kinds.Text(),
                        host.handshake};
    finding.portsText = PortsText(finding.ports);
    // Reset before alerting, so a channel that throws cannot leave the host to alert again.
    ClearPorts(host);
    host.kinds.Clear();
    alert(finding);
}

void CScanCounter::Check(int threshold, const AlertFn& alert, Clock::time_point now) {
    auto reached = [threshold](const Host& host) {
        return static_cast<long long>(PortCount(host)) >= threshold;
    };
    // Hosts that proved their address go first, so that a cap on alerts downstream is never
    // spent on forged sources before them.
    for (std::uint32_t slot = oldest_; slot != kNone;) {
        Host& host = slots_[slot];
        const std::uint32_t next = host.newer;
        host.alertedOnReach = false;
        DropExpired(host, now);
        if (limits_.window.count() > 0 && PortCount(host) == 0) {
            Forget(slot);
        } else if (host.handshake && reached(host)) {
            Raise(host, alert);
        }
        slot = next;
    }
    for (std::uint32_t slot = oldest_; slot != kNone; slot = slots_[slot].newer) {
        if (!slots_[slot].handshake && reached(slots_[slot])) {
            Raise(slots_[slot], alert);
        }
    }
}

// The table: slots linked oldest to newest, found through an open-addressing index.

std::size_t CScanCounter::IndexHome(const Key& key) const {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, key.address.data(), 8);
    std::memcpy(&high, key.address.data() + 8, 8);
    const std::uint64_t hash =
        Mix(low ^ HashSeed()) ^ Mix(high + static_cast<std::uint64_t>(key.family) + ~HashSeed());
    return static_cast<std::size_t>(hash) & (index_.size() - 1);
}

std::uint32_t CScanCounter::Lookup(const Key& key) const {
    if (index_.empty()) {
        return kNone;
    }
    const std::size_t mask = index_.size() - 1;
    for (std::size_t place = IndexHome(key);; place = (place + 1) & mask) {
        const std::uint32_t slot = index_[place];
        if (slot == kNone) {
            return kNone;
        }
        if (slots_[slot].family == key.family && slots_[slot].address == key.address) {
            return slot;
        }
    }
}

void CScanCounter::IndexInsert(std::uint32_t slot) {
    const Host& host = slots_[slot];
    const std::size_t mask = index_.size() - 1;
    std::size_t place = IndexHome({host.family, host.address});
    while (index_[place] != kNone) {
        place = (place + 1) & mask;
    }
    index_[place] = slot;
}

void CScanCounter::IndexErase(std::uint32_t slot) {
    const std::size_t mask = index_.size() - 1;
    const Host& gone = slots_[slot];
    std::size_t hole = IndexHome({gone.family, gone.address});
    while (index_[hole] != slot) {
        hole = (hole + 1) & mask;
    }
    // Shift later entries of the run back into the hole, so that lookups need no tombstones.
    for (std::size_t place = (hole + 1) & mask; index_[place] != kNone;
         place = (place + 1) & mask) {
        const Host& host = slots_[index_[place]];
        const std::size_t home = IndexHome({host.family, host.address});
        const bool homeInGap =
            hole <= place ? (hole < home && home <= place) : (hole < home || home <= place);
        if (!homeInGap) {
            index_[hole] = index_[place];
            hole = place;
        }
    }
    index_[hole] = kNone;
}

void CScanCounter::IndexGrow() {
    index_.assign(std::max<std::size_t>(16, index_.size() * 2), kNone);
    for (std::uint32_t slot = oldest_; slot != kNone; slot = slots_[slot].newer) {
        IndexInsert(slot);
    }
}

void CScanCounter::Link(std::uint32_t slot) {
    slots_[slot].older = newest_;
    slots_[slot].newer = kNone;
    (newest_ == kNone ? oldest_ : slots_[newest_].newer) = slot;
    newest_ = slot;
}

void CScanCounter::Unlink(std::uint32_t slot) {
    Host& host = slots_[slot];
    (host.older == kNone ? oldest_ : slots_[host.older].newer) = host.newer;
    (host.newer == kNone ? newest_ : slots_[host.newer].older) = host.older;
}

void CScanCounter::Forget(std::uint32_t slot) {
    IndexErase(slot);
    Unlink(slot);
    ClearPorts(slots_[slot]);
    freeSlots_.push_back(slot);
    --live_;
}

std::uint32_t CScanCounter::TakeSlot() {
    if (!freeSlots_.empty()) {
        const std::uint32_t slot = freeSlots_.back();
        freeSlots_.pop_back();
        return slot;
    }
    slots_.emplace_back();
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

std::uint32_t CScanCounter::Find(const Key& key) {
    if (const std::uint32_t slot = Lookup(key); slot != kNone) {
        return slot;
    }
    while (live_ > 0 && live_ >= std::max<std::size_t>(1, limits_.maxHosts)) {
        Forget(oldest_);
    }
    // At most half full, so that probe runs stay short.
    if ((live_ + 1) * 2 > index_.size()) {
        IndexGrow();
    }
    const std::uint32_t slot = TakeSlot();
    Host& host = slots_[slot];
    host = Host{};
    host.family = key.family;
    host.address = key.address;
    Link(slot);
    IndexInsert(slot);
    ++live_;
    return slot;
}

std::vector<std::string> CScanCounter::SeenHosts() const {
    std::vector<std::string> hosts;
    hosts.reserve(live_);
    for (std::uint32_t slot = oldest_; slot != kNone; slot = slots_[slot].newer) {
        hosts.push_back(AddressText(slots_[slot].family, slots_[slot].address));
    }
    return hosts;
}

int CScanCounter::UniqueCount(const std::string& host) const {
    Key key{};
    if (!KeyOf(host, key.family, key.address)) {
        return 0;
    }
    const std::uint32_t slot = Lookup(key);
    return slot == kNone ? 0 : static_cast<int>(PortCount(slots_[slot]));
}

std::vector<int> CScanCounter::Ports(const std::string& host) const {
    Key key{};
    if (!KeyOf(host, key.family, key.address)) {
        return {};
    }
    const std::uint32_t slot = Lookup(key);
    return slot == kNone ? std::vector<int>{} : PortList(slots_[slot]);
}

std::size_t CScanCounter::MemoryBytes() const {
    return slots_.capacity() * sizeof(Host) + freeSlots_.capacity() * sizeof(std::uint32_t) +
           index_.capacity() * sizeof(std::uint32_t) + spillBytes_;
}

std::string PortsText(const std::vector<int>& ports) {
    std::string text;
    for (int port : ports) {
        if (!text.empty()) {
            text += ", ";
        }
        text += std::to_string(port);
    }
    return text;
}

}  // namespace tarvik
