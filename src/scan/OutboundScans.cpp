#include "scan/OutboundScans.h"

#include <algorithm>

#include "acquisition/ProcessTable.h"

namespace tarvik {

namespace {

std::string Joined(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += (joined.empty() ? "" : ", ") + text;
    }
    return joined;
}

// The key with the most distinct values, and those values in arrival order.
template <typename Key, typename Value>
std::pair<Key, std::vector<Value>> Widest(const std::map<Key, std::vector<Value>>& groups) {
    std::pair<Key, std::vector<Value>> widest{};
    for (const auto& [key, values] : groups) {
        if (values.size() > widest.second.size()) {
            widest = {key, values};
        }
    }
    return widest;
}

}  // namespace

std::string OutboundAlertText(const OutboundFinding& who, const std::string& target,
                              const std::string& targets, bool manyPorts) {
    return "Outbound scan by process " + std::to_string(who.pid) + " (" + who.command + ", user " +
           who.user + "): connections refused or unreachable at " +
           (manyPorts ? target + " on port(s): " : "port " + target + " of host(s): ") + targets;
}

void COutboundScans::Count(const RefusedConnect& refused, Clock::time_point now) {
    Process& process = Find(refused);
    const std::string host = AddressText(refused.family, refused.remote);
    const bool seen = std::any_of(
        process.attempts.begin(), process.attempts.end(),
        [&](const Attempt& a) { return a.port == refused.remotePort && a.host == host; });
    if (!seen && process.attempts.size() < kMaxTargets) {
        process.attempts.push_back({host, refused.remotePort, now});
    }
}

COutboundScans::Process& COutboundScans::Find(const RefusedConnect& refused) {
    const std::string command = refused.command.empty() ? "?" : refused.command;
    auto found = std::find_if(processes_.begin(), processes_.end(), [&](const Process& p) {
        return p.pid == refused.pid && p.command == command;
    });
    if (found != processes_.end()) {
        return *found;
    }
    if (processes_.size() >= kMaxProcesses) {
        processes_.pop_front();
    }
    processes_.push_back({refused.pid, command, refused.uid, {}});
    return processes_.back();
}

bool COutboundScans::Reached(const Process& process, int threshold,
                             OutboundFinding& finding) const {
    std::map<std::string, std::vector<int>> portsByHost;
    std::map<int, std::vector<std::string>> hostsByPort;
    for (const Attempt& attempt : process.attempts) {
        portsByHost[attempt.host].push_back(attempt.port);
        hostsByPort[attempt.port].push_back(attempt.host);
    }
    finding = {process.pid, process.command, UserNameOf(process.uid), {}};
    const auto [host, ports] = Widest(portsByHost);
    if (static_cast<long long>(ports.size()) >= threshold) {
        std::vector<std::string> texts;
        std::transform(ports.begin(), ports.end(), std::back_inserter(texts),
                       [](int port) { return std::to_string(port); });
        finding.text = OutboundAlertText(finding, host, Joined(texts), true);
        return true;
    }
    const auto [port, hosts] = Widest(hostsByPort);
    if (static_cast<long long>(hosts.size()) >= threshold) {
        finding.text = OutboundAlertText(finding, std::to_string(port), Joined(hosts), false);
        return true;
    }
    return false;
}

void COutboundScans::Check(int threshold, std::chrono::seconds window, const AlertFn& alert,
                           Clock::time_point now) {
    for (auto process = processes_.begin(); process != processes_.end();) {
        auto& attempts = process->attempts;
        attempts.erase(attempts.begin(),
                       std::find_if(attempts.begin(), attempts.end(),
                                    [&](const Attempt& a) { return now - a.when < window; }));
        OutboundFinding finding;
        if (Reached(*process, std::max(1, threshold), finding)) {
            attempts.clear();
            alert(finding);
        }
        process = attempts.empty() ? processes_.erase(process) : std::next(process);
    }
}

}  // namespace tarvik
