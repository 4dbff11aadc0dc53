#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/OutboundScans.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

RefusedConnect Refused(const std::string& host, int port, std::uint32_t pid = 4242) {
    RefusedConnect refused{};
    ParseAddress(host, refused.family, refused.remote);
    refused.remotePort = port;
    refused.error = 111;
    refused.pid = pid;
    refused.command = "scanner";
    return refused;
}

TEST(OutboundScans, ManyPortsOfOneHostOrOnePortOfManyHostsAlertOnce) {
    struct Case {
        const char* name;
        std::vector<RefusedConnect> attempts;
        std::string expected;  // empty: no alert
    };
    const std::vector<Case> cases = {
        {"ports of one host",
         {Refused("198.18.0.2", 21), Refused("198.18.0.2", 22), Refused("198.18.0.2", 22),
          Refused("198.18.0.2", 23)},
         "Outbound scan by process 4242 (scanner, user root): connections refused or "
         "unreachable at 198.18.0.2 on port(s): 21, 22, 23"},
        {"hosts of one port",
         {Refused("198.18.0.2", 22), Refused("fd00::3", 22), Refused("198.18.0.4", 22)},
         "Outbound scan by process 4242 (scanner, user root): connections refused or "
         "unreachable at port 22 of host(s): 198.18.0.2, fd00::3, 198.18.0.4"},
        {"neither reaches three",
         {Refused("198.18.0.2", 21), Refused("198.18.0.2", 22), Refused("198.18.0.3", 21)},
         ""},
        {"three processes, one port each",
         {Refused("198.18.0.2", 21, 1), Refused("198.18.0.2", 22, 2), Refused("198.18.0.2", 23, 3)},
         ""},
    };
    for (const Case& scan : cases) {
        COutboundScans scans;
        const auto start = COutboundScans::Clock::now();
        for (const RefusedConnect& attempt : scan.attempts) {
            scans.Count(attempt, start);
        }
        std::vector<std::string> alerts;
        const auto check = [&](COutboundScans::Clock::time_point at) {
            scans.Check(
                3, 60s, [&](const OutboundFinding& f) { alerts.push_back(f.text); }, at);
        };
        check(start + 1s);
        check(start + 2s);  // an alert starts the process again from nothing
        EXPECT_EQ(alerts, scan.expected.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{scan.expected})
            << scan.name;
    }
}

TEST(OutboundScans, AttemptsOlderThanTheWindowAreForgottenAndProcessesBounded) {
    COutboundScans scans;
    const auto start = COutboundScans::Clock::now();
    scans.Count(Refused("198.18.0.2", 21), start);
    scans.Count(Refused("198.18.0.2", 22), start + 30s);
    scans.Count(Refused("198.18.0.2", 23), start + 61s);
    int alerts = 0;
    scans.Check(
        3, 60s, [&](const OutboundFinding&) { ++alerts; }, start + 62s);
    EXPECT_EQ(alerts, 0);
    for (std::uint32_t pid = 1; pid <= 2 * COutboundScans::kMaxProcesses; ++pid) {
        scans.Count(Refused("198.18.0.2", 80, pid), start + 62s);
    }
    EXPECT_EQ(scans.ProcessCount(), COutboundScans::kMaxProcesses);
}

}  // namespace
}  // namespace tarvik
