#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
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
    // A connection from the host completed its handshake, so its address is no forgery.
    bool completedHandshake = false;
};

// Unique connections (remote host, local port) per remote host since that host's last alert,
// from completed inbound connections and from probes alike. Hosts are kept in the order they
// were first counted; an alert empties a host's ports. Each event costs a hash lookup and a
// scan of at most maxPorts ports. Touched by one thread only (the scan watcher's).
class CScanCounter {
public:
    using Clock = std::chrono::steady_clock;
    using AlertFn = std::function<void(const ScanFinding& finding)>;

    void SetLimits(const ScanLimits& limits) { limits_ = limits; }
    const ScanLimits& Limits() const { return limits_; }

    // Counts an inbound connection's pair once. Ignored local ports and hosts in an ignored
    // range leave everything unchanged. Returns true when the pair was new.
    bool Count(const InboundConnection& connection, const std::vector<int>& ignorePorts,
               const AddressRanges& ignoreHosts, Clock::time_point now = Clock::now());
    // The same for a probe; its kind is remembered for the host's alert.
    bool Count(const Probe& probe, const std::vector<int>& ignorePorts,
               const AddressRanges& ignoreHosts, Clock::time_point now = Clock::now());

    // Alerts for every seen host whose count is at least `threshold`, oldest host first, and
    // starts each such host again from zero. With a window, ports older than it are dropped
    // first, and hosts left with nothing are forgotten.
    void Check(int threshold, const AlertFn& alert, Clock::time_point now = Clock::now());

    std::vector<std::string> SeenHosts() const;
    std::size_t HostCount() const { return hosts_.size(); }
    // Number of distinct local ports counted for the host (0 for a host never seen).
    int UniqueCount(const std::string& host) const;
    // The host's counted local ports in arrival order.
    std::vector<int> Ports(const std::string& host) const;

private:
    struct PortHit {
        int port = 0;
        Clock::time_point first;
    };
    struct Host {
        std::string address;
        std::vector<PortHit> ports;
        ScanKinds kinds;
    };
    using HostList = std::list<Host>;

    bool CountPair(const std::string& address, int port, ProbeKind kind,
                   const std::vector<int>& ignorePorts, const AddressRanges& ignoreHosts,
                   Clock::time_point now);
    Host& Find(const std::string& address);
    void DropExpired(Host& host, Clock::time_point now) const;
    const Host* Lookup(const std::string& address) const;

    ScanLimits limits_;
    HostList hosts_;  // oldest first
    // Keys view the address inside the host's list node, which never moves.
    std::unordered_map<std::string_view, HostList::iterator> index_;
};

// "80, 443, 25"; empty for no port.
std::string PortsText(const std::vector<int>& ports);

}  // namespace tarvik
