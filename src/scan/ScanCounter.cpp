#include "scan/ScanCounter.h"

#include <algorithm>

namespace tarvik {

namespace {

template <typename T>
bool Contains(const std::vector<T>& values, const T& value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

}  // namespace

bool CScanCounter::Count(const CConnectionRecord& record, const std::vector<int>& ignorePorts,
                         const std::vector<std::string>& ignoreHosts) {
    if (record.category != kCategoryInbound) {
        return false;
    }
    if (Contains(ignorePorts, record.localPort) || Contains(ignoreHosts, record.ipAddress)) {
        return false;
    }
    auto [entry, inserted] = ports_.try_emplace(record.ipAddress);
    if (inserted) {
        seenHosts_.push_back(record.ipAddress);
    }
    std::vector<int>& ports = entry->second;
    if (Contains(ports, record.localPort)) {
        return false;
    }
    ports.push_back(record.localPort);
    return true;
}

void CScanCounter::Check(int threshold, const AlertFn& alert) {
    for (const std::string& host : seenHosts_) {
        std::vector<int>& ports = ports_[host];
        if (static_cast<long long>(ports.size()) < threshold) {
            continue;
        }
        std::string text = PortsText(ports);
        // Reset before alerting, so a channel that throws cannot leave the host to alert again.
        ports.clear();
        alert(host, text);
    }
}

int CScanCounter::UniqueCount(const std::string& host) const {
    auto entry = ports_.find(host);
    return entry == ports_.end() ? 0 : static_cast<int>(entry->second.size());
}

std::vector<int> CScanCounter::Ports(const std::string& host) const {
    auto entry = ports_.find(host);
    return entry == ports_.end() ? std::vector<int>{} : entry->second;
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
