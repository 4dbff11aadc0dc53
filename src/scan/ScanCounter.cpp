#include "scan/ScanCounter.h"

#include <algorithm>

namespace tarvik {

namespace {

template <typename T>
bool Contains(const std::vector<T>& values, const T& value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

bool CScanCounter::Count(const InboundConnection& connection, const std::vector<int>& ignorePorts,
                         const AddressRanges& ignoreHosts, Clock::time_point now) {
    return CountPair(connection.remoteAddress.Str(), connection.localPort, ProbeKind::Connect,
                     ignorePorts, ignoreHosts, now);
}

bool CScanCounter::Count(const Probe& probe, const std::vector<int>& ignorePorts,
                         const AddressRanges& ignoreHosts, Clock::time_point now) {
    return CountPair(probe.remoteAddress, probe.localPort, probe.kind, ignorePorts, ignoreHosts,
                     now);
}

bool CScanCounter::CountPair(const std::string& address, int port, ProbeKind kind,
                             const std::vector<int>& ignorePorts, const AddressRanges& ignoreHosts,
                             Clock::time_point now) {
    if (Contains(ignorePorts, port) || AnyContains(ignoreHosts, address)) {
        return false;
    }
    Host& host = Find(address);
    host.kinds.Add(kind);
    DropExpired(host, now);
    if (host.ports.size() >= limits_.maxPorts) {
        return false;
    }
    const bool seen = std::any_of(host.ports.begin(), host.ports.end(),
                                  [port](const PortHit& hit) { return hit.port == port; });
    if (seen) {
        return false;
    }
    host.ports.push_back({port, now});
    return true;
}

CScanCounter::Host& CScanCounter::Find(const std::string& address) {
    if (auto entry = index_.find(address); entry != index_.end()) {
        return *entry->second;
    }
    while (!hosts_.empty() && hosts_.size() >= std::max<std::size_t>(1, limits_.maxHosts)) {
        index_.erase(hosts_.front().address);
        hosts_.pop_front();
    }
    hosts_.push_back(Host{address, {}, {}});
    auto node = std::prev(hosts_.end());
    index_.emplace(node->address, node);
    return *node;
}

void CScanCounter::DropExpired(Host& host, Clock::time_point now) const {
    if (limits_.window.count() <= 0) {
        return;
    }
    // Ports are kept in arrival order, so the expired ones are a prefix.
    const auto firstLive =
        std::find_if(host.ports.begin(), host.ports.end(),
                     [&](const PortHit& hit) { return now - hit.first < limits_.window; });
    host.ports.erase(host.ports.begin(), firstLive);
}

void CScanCounter::Check(int threshold, const AlertFn& alert, Clock::time_point now) {
    for (auto host = hosts_.begin(); host != hosts_.end();) {
        DropExpired(*host, now);
        if (limits_.window.count() > 0 && host->ports.empty()) {
            index_.erase(host->address);
            host = hosts_.erase(host);
            continue;
        }
        if (static_cast<long long>(host->ports.size()) >= threshold) {
            ScanFinding finding{
                host->address, {}, {}, host->kinds.Text(), host->kinds.Has(ProbeKind::Connect)};
            for (const PortHit& hit : host->ports) {
                finding.ports.push_back(hit.port);
            }
            finding.portsText = PortsText(finding.ports);
            // Reset before alerting, so a channel that throws cannot leave the host to alert
            // again.
            host->ports.clear();
            host->kinds.Clear();
            alert(finding);
        }
        ++host;
    }
}

std::vector<std::string> CScanCounter::SeenHosts() const {
    std::vector<std::string> hosts;
    hosts.reserve(hosts_.size());
    for (const Host& host : hosts_) {
        hosts.push_back(host.address);
    }
    return hosts;
}

const CScanCounter::Host* CScanCounter::Lookup(const std::string& address) const {
    auto entry = index_.find(address);
    return entry == index_.end() ? nullptr : &*entry->second;
}

int CScanCounter::UniqueCount(const std::string& host) const {
    const Host* entry = Lookup(host);
    return entry == nullptr ? 0 : static_cast<int>(entry->ports.size());
}

std::vector<int> CScanCounter::Ports(const std::string& host) const {
    std::vector<int> ports;
    if (const Host* entry = Lookup(host)) {
        for (const PortHit& hit : entry->ports) {
            ports.push_back(hit.port);
        }
    }
    return ports;
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
