#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "acquisition/NoSocketSource.h"

namespace tarvik {

// One process of this host that scans others.
struct OutboundFinding {
    std::uint32_t pid = 0;
    std::string command;  // "?" when the process is not known
    std::string user;
    std::string text;  // the whole alert line
};

// The alert line: "Outbound scan by process 4242 (nmap, user root): connections refused or
// unreachable at 198.18.0.2 on port(s): 21, 22, 23", or "... at port 22 of host(s): ...".
std::string OutboundAlertText(const OutboundFinding& who, const std::string& target,
                              const std::string& targets, bool manyPorts);

// The connection attempts of this host's processes that were refused or found no route, per
// process: the distinct ports each remote host refused and the distinct hosts each remote port
// refused. A process alerts once either reaches the threshold, and starts again from nothing.
// Attempts older than the window are forgotten. Bounded: at most kMaxProcesses processes (the
// one counted first goes) and kMaxTargets keys and entries per list. One thread only.
class COutboundScans {
public:
    using Clock = std::chrono::steady_clock;
    using AlertFn = std::function<void(const OutboundFinding&)>;
    static constexpr std::size_t kMaxProcesses = 256;
    static constexpr std::size_t kMaxTargets = 1024;

    void Count(const RefusedConnect& refused, Clock::time_point now = Clock::now());
    // Alerts for every process at `threshold`, after dropping attempts older than `window`.
    void Check(int threshold, std::chrono::seconds window, const AlertFn& alert,
               Clock::time_point now = Clock::now());
    std::size_t ProcessCount() const { return processes_.size(); }

private:
    struct Attempt {
        std::string host;
        int port = 0;
        Clock::time_point when;
    };
    struct Process {
        std::uint32_t pid = 0;
        std::string command;
        std::uint32_t uid = 0;
        std::vector<Attempt> attempts;  // distinct (host, port), oldest first
    };

    Process& Find(const RefusedConnect& refused);
    // The finding of `process` when it reached the threshold.
    bool Reached(const Process& process, int threshold, OutboundFinding& finding) const;

    std::list<Process> processes_;  // oldest first
};

}  // namespace tarvik
