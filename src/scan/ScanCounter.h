#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Unique connections (remote host, local port) per remote host since that host's last alert.
// Hosts are kept in the order they were first counted and are never forgotten; an alert only
// empties a host's port list. Touched by one thread only (the scan watcher's).
class CScanCounter {
public:
    using AlertFn = std::function<void(const std::string& host, const std::string& portsText)>;

    // Counts an inbound record's pair once. Records of other categories, ignored local ports
    // and ignored hosts (exact, case-sensitive text) leave everything unchanged. Returns true
    // when the pair was new.
    bool Count(const CConnectionRecord& record, const std::vector<int>& ignorePorts,
               const std::vector<std::string>& ignoreHosts);

    // Alerts for every seen host whose count is at least `threshold`, oldest host first, and
    // starts each such host again from zero.
    void Check(int threshold, const AlertFn& alert);

    const std::vector<std::string>& SeenHosts() const { return seenHosts_; }
    // Number of distinct local ports counted for the host (0 for a host never seen).
    int UniqueCount(const std::string& host) const;
    // The host's counted local ports in arrival order.
    std::vector<int> Ports(const std::string& host) const;

private:
    std::vector<std::string> seenHosts_;
    // The count is the length of the list, so the two can never disagree.
    std::unordered_map<std::string, std::vector<int>> ports_;
};

// "80, 443, 25"; empty for no port.
std::string PortsText(const std::vector<int>& ports);

}  // namespace tarvik
