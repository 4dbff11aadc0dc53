#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Address.h"
#include "scan/ProbePacket.h"
#include "scan/ScanKind.h"
#include "tracking/Events.h"

namespace tarvik {

// Bounds of the counting table, so that a flood of spoofed sources cannot grow it without end.
struct ScanLimits {
    std::size_t maxHosts = 65536;    // past it the host counted first is forgotten
    std::size_t maxPorts = 1024;     // per host; more ports add nothing
    std::chrono::seconds window{0};  // a port counts this long; 0: until the host's alert
};

// What one host's alert reports.
struct ScanFinding {
    std::string host;
    std::vector<int> ports;  // in arrival order
    std::string portsText;   // "80, 443, 25"
    std::string kind;        // ScanKinds::Text()
    // A connection from the host reached ESTABLISHED (a bait port's accept included), so its
    // address is no forgery.
    bool completedHandshake = false;
};

// Unique connections (remote host, local port) per remote host since that host's last alert,
// from inbound connections and from probes alike. Hosts are kept in the order they were first
// counted; an alert empties a host's ports. Hosts are keyed by their binary address (an
// IPv4-mapped IPv6 address is its IPv4 host); a host's ports live inline while there are few
// and move to a list with a bitmap beside it as they grow, so a flood of one-port spoofed
// sources costs a fixed slot each. Each event costs one hash probe and at most a short scan.
// Touched by one thread only (the scan watcher's).
class CScanCounter {
public:
    using Clock = std::chrono::steady_clock;
    using AlertFn = std::function<void(const ScanFinding& finding)>;

    CScanCounter();
    ~CScanCounter();
    CScanCounter(const CScanCounter&) = delete;
    CScanCounter& operator=(const CScanCounter&) = delete;

    void SetLimits(const ScanLimits& limits) { limits_ = limits; }
    const ScanLimits& Limits() const { return limits_; }
    // With a threshold of 1 or more, a new pair that takes its host to the threshold alerts at
    // once (and starts the host from zero), without waiting for Check; one from a half-open
    // connection alerts at the host's next event (its handshake, usually) or at Check. 0 turns
    // that off.
    void AlertOnReach(int threshold, AlertFn alert);

    // Counts an inbound connection's pair once. Ignored local ports and hosts in an ignored
    // range leave everything unchanged. Returns true when the pair was new.
    bool Count(const InboundConnection& connection, const std::vector<int>& ignorePorts,
               const AddressRanges& ignoreHosts, Clock::time_point now = Clock::now());
    // The same for a probe; its kind is remembered for the host's alert.
    bool Count(const Probe& probe, const std::vector<int>& ignorePorts,
               const AddressRanges& ignoreHosts, Clock::time_point now = Clock::now());

    // Alerts for every seen host whose count is at least `threshold` and starts each such host
    // again from zero: first the hosts that completed a handshake, then the others, each group
    // oldest host first. With a window, ports older than it are dropped first, and hosts left
    // with nothing are forgotten.
    void Check(int threshold, const AlertFn& alert, Clock::time_point now = Clock::now());

    std::vector<std::string> SeenHosts() const;
    std::size_t HostCount() const { return live_; }
    // Number of distinct local ports counted for the host (0 for a host never seen).
    int UniqueCount(const std::string& host) const;
    // The host's counted local ports in arrival order.
    std::vector<int> Ports(const std::string& host) const;
    // Bytes the table holds on the heap: slots, index and grown port lists.
    std::size_t MemoryBytes() const;

private:
    static constexpr std::uint32_t kNone = 0xffffffffU;
    static constexpr std::size_t kInlinePorts = 2;
    struct PortHit {
        std::uint16_t port = 0;
        std::uint32_t second = 0;  // counted at, in whole seconds after epoch_, rounded up
    };
    struct PortSpill;  // the ports of a host past kInlinePorts
    struct Host {
        AddressBytes address{};
        AddressFamily family = AddressFamily::Ipv4;
        ScanKinds kinds;
        bool handshake = false;  // sticky: a completed handshake proves the address
        // Alerted at the threshold since the last check: a busy host that comes back to the
        // threshold again and again alerts at most once more, at the check.
        bool alertedOnReach = false;
        std::uint8_t inlineCount = 0;
        std::uint32_t older = kNone;  // first-counted order
        std::uint32_t newer = kNone;
        std::array<PortHit, kInlinePorts> inlineHits{};
        std::unique_ptr<PortSpill> spill;
    };
    struct Key {
        AddressFamily family;
        AddressBytes address;
    };

    // What an event says of its source: a completed handshake proves the address; a half-open
    // entry (SYN_RECV) is about to, or is forged; a probe says nothing.
    enum class Proof : std::uint8_t { None, Handshake, HalfOpen };
    bool CountPair(const std::string& address, int port, ProbeKind kind, Proof proof,
                   const std::vector<int>& ignorePorts, const AddressRanges& ignoreHosts,
                   Clock::time_point now);
    std::uint32_t Find(const Key& key);
    std::uint32_t Lookup(const Key& key) const;
    void Forget(std::uint32_t slot);
    std::uint32_t TakeSlot();
    void Link(std::uint32_t slot);
    void Unlink(std::uint32_t slot);
    // Open addressing with linear probing over slot numbers.
    std::size_t IndexHome(const Key& key) const;
    void IndexInsert(std::uint32_t slot);
    void IndexErase(std::uint32_t slot);
    void IndexGrow();

    static std::size_t PortCount(const Host& host);
    static bool HasPort(const Host& host, std::uint16_t port);
    void AddPort(Host& host, PortHit hit);
    void DropExpired(Host& host, Clock::time_point now);
    void ClearPorts(Host& host);
    static std::vector<int> PortList(const Host& host);
    void Raise(Host& host, const AlertFn& alert);
    std::uint32_t Second(Clock::time_point now) const;

    ScanLimits limits_;
    Clock::time_point epoch_;
    int reachThreshold_ = 0;
    AlertFn reachAlert_;
    std::vector<Host> slots_;
    std::vector<std::uint32_t> freeSlots_;
    std::vector<std::uint32_t> index_;  // slot numbers; kNone for an empty place
    std::size_t live_ = 0;
    std::size_t spillBytes_ = 0;
    std::uint32_t oldest_ = kNone;
    std::uint32_t newest_ = kNone;
};

// "80, 443, 25"; empty for no port.
std::string PortsText(const std::vector<int>& ports);

}  // namespace tarvik
