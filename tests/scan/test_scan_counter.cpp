#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "scan/ScanCounter.h"

namespace tarvik {
namespace {

using Alerts = std::vector<std::pair<std::string, std::string>>;

InboundConnection Inbound(const std::string& host, int localPort) {
    return {host, localPort};
}

Probe Seen(std::string host, int port, ProbeKind kind) {
    return {std::move(host), port, kind};
}

class ScanCounterTest : public ::testing::Test {
protected:
    bool Count(const std::string& host, int port) {
        return counter.Count(Inbound(host, port), ignorePorts, ignoreHosts);
    }
    Alerts Check(int threshold) {
        Alerts alerts;
        counter.Check(threshold, [&](const ScanFinding& finding) {
            alerts.emplace_back(finding.host, finding.portsText);
        });
        return alerts;
    }

    CScanCounter counter;
    std::vector<int> ignorePorts;
    AddressRanges ignoreHosts = ParseAddressRanges({"0.0.0.0", "127.0.0.1"});
};

TEST_F(ScanCounterTest, RepeatedConnectionsToOnePortCountOnce) {
    EXPECT_TRUE(Count("10.0.0.7", 80));
    for (int i = 0; i < 9; ++i) {
        EXPECT_FALSE(Count("10.0.0.7", 80));
    }
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 1);
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"10.0.0.7"});
}

TEST_F(ScanCounterTest, ReachingThresholdAlertsOnceThenCountsAgainFromOne) {
    Count("10.0.0.7", 80);
    Count("10.0.0.7", 443);
    EXPECT_TRUE(Check(3).empty()) << "one below the threshold must not alert";
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 2);

    Count("10.0.0.7", 25);
    EXPECT_EQ(Check(3), (Alerts{{"10.0.0.7", "80, 443, 25"}}));
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 0);
    EXPECT_TRUE(counter.Ports("10.0.0.7").empty());
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"10.0.0.7"});
    EXPECT_TRUE(Check(3).empty());

    EXPECT_TRUE(Count("10.0.0.7", 80));
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 1);
    Count("10.0.0.7", 443);
    Count("10.0.0.7", 25);
    EXPECT_EQ(Check(3), (Alerts{{"10.0.0.7", "80, 443, 25"}}));
}

TEST_F(ScanCounterTest, HostsAlertInFirstSeenOrderNotAddressOrder) {
    Count("192.168.1.20", 21);
    Count("10.0.0.1", 22);
    Count("10.0.0.1", 23);
    Count("192.168.1.20", 23);
    Count("172.16.0.3", 80);  // below the threshold: left alone
    EXPECT_EQ(Check(2), (Alerts{{"192.168.1.20", "21, 23"}, {"10.0.0.1", "22, 23"}}));
    EXPECT_EQ(counter.UniqueCount("172.16.0.3"), 1);
    EXPECT_EQ(counter.SeenHosts(),
              (std::vector<std::string>{"192.168.1.20", "10.0.0.1", "172.16.0.3"}));
}

TEST_F(ScanCounterTest, IgnoredHostsAndPortsNeverCreateAnEntry) {
    ignorePorts = {8080, 53};
    EXPECT_FALSE(Count("127.0.0.1", 80));
    EXPECT_FALSE(Count("0.0.0.0", 80));
    EXPECT_FALSE(Count("10.0.0.7", 53));
    EXPECT_TRUE(counter.SeenHosts().empty());
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 0);
    // A near miss of an ignored host is counted.
    EXPECT_TRUE(Count("127.0.0.10", 80));
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"127.0.0.10"});
}

TEST_F(ScanCounterTest, IgnoredRangesHoldEveryAddressInThem) {
    ignoreHosts = ParseAddressRanges({" 10.0.0.0/8", "2001:db8::/32 "});
    for (const char* host : {"10.1.2.3", "::ffff:10.9.9.9", "2001:db8::7", "2001:DB8:ffff::1"}) {
        EXPECT_FALSE(Count(host, 80)) << host;
    }
    for (const char* host : {"11.0.0.1", "2001:db9::7"}) {
        EXPECT_TRUE(Count(host, 80)) << host;
    }
}

TEST_F(ScanCounterTest, AFindingSaysWhetherAHandshakeCompleted) {
    Count("10.0.0.7", 80);
    counter.Count(Seen("10.0.0.8", 80, ProbeKind::Syn), ignorePorts, ignoreHosts);
    std::vector<std::pair<std::string, bool>> findings;
    counter.Check(1, [&](const ScanFinding& finding) {
        findings.emplace_back(finding.host, finding.completedHandshake);
    });
    EXPECT_EQ(findings,
              (std::vector<std::pair<std::string, bool>>{{"10.0.0.7", true}, {"10.0.0.8", false}}));
}

TEST_F(ScanCounterTest, ANewPortThatReachesTheThresholdAlertsAtOnce) {
    Alerts alerts;
    counter.AlertOnReach(3, [&](const ScanFinding& finding) {
        alerts.emplace_back(finding.host, finding.portsText);
    });
    Count("10.0.0.7", 80);
    Count("::ffff:10.0.0.7", 443);  // the same host, as a dual-stack socket names it
    Count("10.0.0.7", 80);
    EXPECT_TRUE(alerts.empty());
    Count("10.0.0.7", 25);
    EXPECT_EQ(alerts, (Alerts{{"10.0.0.7", "80, 443, 25"}}));
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 0);
    EXPECT_TRUE(Check(1).empty()) << "the alert started the host from zero";

    // Half-open entries wait for the handshake that proves them, a moment later.
    for (int port : {21, 22, 23}) {
        counter.Count(InboundConnection{"192.0.2.7", port, false}, ignorePorts, ignoreHosts);
    }
    EXPECT_EQ(alerts.size(), 1u);
    Count("192.0.2.7", 21);
    EXPECT_EQ(alerts.back(), (std::pair<std::string, std::string>{"192.0.2.7", "21, 22, 23"}));

    // A busy host back at the threshold before the next check is told once more, at the check.
    const std::size_t before = alerts.size();
    for (int port : {26, 27, 28, 29, 30, 31}) {
        Count("10.0.0.7", port);
    }
    EXPECT_EQ(alerts.size(), before + 1);
    EXPECT_EQ(Check(3).size(), 1u);
}

TEST_F(ScanCounterTest, HostsThatCompletedAHandshakeAreCheckedFirst) {
    counter.Count(Seen("198.18.0.1", 80, ProbeKind::Syn), ignorePorts, ignoreHosts);
    // A half-open entry (SYN_RECV) proves nothing: its source may be forged.
    counter.Count(InboundConnection{"198.18.0.2", 80, false}, ignorePorts, ignoreHosts);
    Count("192.0.2.7", 80);
    std::vector<std::pair<std::string, bool>> findings;
    counter.Check(1, [&](const ScanFinding& finding) {
        findings.emplace_back(finding.host, finding.completedHandshake);
    });
    EXPECT_EQ(findings, (std::vector<std::pair<std::string, bool>>{
                            {"192.0.2.7", true}, {"198.18.0.1", false}, {"198.18.0.2", false}}));
}

TEST_F(ScanCounterTest, ThresholdZeroOrLessAlertsEverySeenHostEachCheck) {
    Count("10.0.0.7", 80);
    Count("10.0.0.8", 81);
    EXPECT_EQ(Check(0), (Alerts{{"10.0.0.7", "80"}, {"10.0.0.8", "81"}}));
    EXPECT_EQ(Check(0), (Alerts{{"10.0.0.7", ""}, {"10.0.0.8", ""}}));
    EXPECT_EQ(Check(-5), (Alerts{{"10.0.0.7", ""}, {"10.0.0.8", ""}}));
}

TEST_F(ScanCounterTest, AHostIgnoredLaterKeepsItsCountAndCanStillAlert) {
    Count("10.0.0.7", 80);
    ignoreHosts.push_back(*AddressRange::Parse("10.0.0.7"));
    EXPECT_FALSE(Count("10.0.0.7", 443));
    EXPECT_EQ(Check(1), (Alerts{{"10.0.0.7", "80"}}));
}

TEST_F(ScanCounterTest, AThrowingAlertStillResetsItsHost) {
    Count("10.0.0.7", 80);
    EXPECT_THROW(counter.Check(1, [](const ScanFinding&) { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 0);
}

class ScanCounterProbeTest : public ScanCounterTest {
protected:
    bool CountProbe(const std::string& host, int port, ProbeKind kind,
                    CScanCounter::Clock::time_point now = CScanCounter::Clock::now()) {
        return counter.Count(Seen(host, port, kind), ignorePorts, ignoreHosts, now);
    }
    std::vector<ScanFinding> Findings(
        int threshold, CScanCounter::Clock::time_point now = CScanCounter::Clock::now()) {
        std::vector<ScanFinding> findings;
        counter.Check(
            threshold, [&](const ScanFinding& finding) { findings.push_back(finding); }, now);
        return findings;
    }
};

TEST_F(ScanCounterProbeTest, ProbesAndConnectionsShareOneCountByPort) {
    EXPECT_TRUE(CountProbe("10.0.0.7", 80, ProbeKind::Syn));
    // The SYN of a connection that then completes counts once.
    EXPECT_FALSE(Count("10.0.0.7", 80));
    EXPECT_TRUE(CountProbe("10.0.0.7", 81, ProbeKind::Fin));
    ignorePorts.push_back(82);
    ignoreHosts.push_back(*AddressRange::Parse("10.0.0.9"));
    EXPECT_FALSE(CountProbe("10.0.0.7", 82, ProbeKind::Syn));
    EXPECT_FALSE(CountProbe("10.0.0.9", 83, ProbeKind::Syn));
    EXPECT_EQ(counter.Ports("10.0.0.7"), (std::vector<int>{80, 81}));
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"10.0.0.7"});
}

TEST_F(ScanCounterProbeTest, TheAlertNamesTheKindSeenSinceTheLastAlert) {
    const std::vector<std::pair<std::vector<ProbeKind>, std::string>> cases = {
        {{ProbeKind::Syn, ProbeKind::Syn}, "SYN"},
        {{ProbeKind::Fin}, "FIN"},
        {{ProbeKind::Null}, "NULL"},
        {{ProbeKind::Xmas, ProbeKind::Xmas}, "Xmas"},
        {{ProbeKind::Connect}, "connect"},
        {{ProbeKind::Ack}, "ACK"},
        {{ProbeKind::Maimon}, "Maimon"},
        {{ProbeKind::Udp, ProbeKind::Udp}, "UDP"},
        {{ProbeKind::Ack, ProbeKind::Udp}, "mixed"},
        // Handshake SYNs of completed connections are no half-open scan.
        {{ProbeKind::Syn, ProbeKind::Connect}, "connect"},
        {{ProbeKind::Syn, ProbeKind::Fin}, "mixed"},
        {{ProbeKind::Connect, ProbeKind::Null}, "mixed"},
    };
    for (const auto& [kinds, text] : cases) {
        int port = 1000;
        for (ProbeKind kind : kinds) {
            CountProbe("10.0.0.7", port++, kind);
        }
        const std::vector<ScanFinding> findings = Findings(1);
        ASSERT_EQ(findings.size(), 1u) << text;
        EXPECT_EQ(findings[0].kind, text);
        EXPECT_EQ(findings[0].ports.size(), kinds.size());
    }
}

TEST_F(ScanCounterProbeTest, TheHostTableKeepsItsBoundAndForgetsTheOldestFirst) {
    counter.SetLimits({3, 1024, std::chrono::seconds(0)});
    for (int i = 1; i <= 1000; ++i) {
        CountProbe("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256), 80,
                   ProbeKind::Syn);
        ASSERT_LE(counter.HostCount(), 3u);
    }
    EXPECT_EQ(counter.SeenHosts(),
              (std::vector<std::string>{"10.1.3.230", "10.1.3.231", "10.1.3.232"}));
    // A scan right after the flood is still counted and alerts.
    for (int port : {21, 22, 23}) {
        CountProbe("192.0.2.1", port, ProbeKind::Syn);
    }
    const std::vector<ScanFinding> findings = Findings(3);
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0].host, "192.0.2.1");
}

TEST_F(ScanCounterProbeTest, PortsPastTheCapAddNothing) {
    counter.SetLimits({16, 4, std::chrono::seconds(0)});
    for (int port = 1; port <= 100; ++port) {
        CountProbe("10.0.0.7", port, ProbeKind::Syn);
    }
    EXPECT_EQ(counter.Ports("10.0.0.7"), (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(ScanCounterProbeTest, PortsOlderThanTheWindowNoLongerCount) {
    using namespace std::chrono_literals;
    const auto start = CScanCounter::Clock::now();
    counter.SetLimits({16, 1024, 60s});
    CountProbe("10.0.0.7", 80, ProbeKind::Syn, start);
    CountProbe("10.0.0.7", 81, ProbeKind::Syn, start + 30s);
    CountProbe("10.0.0.8", 80, ProbeKind::Syn, start);
    // 80 has aged out; 81 and 82 make two in the window, below three.
    CountProbe("10.0.0.7", 82, ProbeKind::Syn, start + 61s);
    EXPECT_TRUE(Findings(3, start + 61s).empty());
    EXPECT_EQ(counter.Ports("10.0.0.7"), (std::vector<int>{81, 82}));
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"10.0.0.7"})
        << "a host with nothing left in the window is forgotten";
    CountProbe("10.0.0.7", 83, ProbeKind::Syn, start + 62s);
    ASSERT_EQ(Findings(3, start + 62s).size(), 1u);

    // Without a window nothing ages out.
    counter.SetLimits({16, 1024, 0s});
    CountProbe("10.0.0.9", 80, ProbeKind::Syn, start);
    EXPECT_EQ(Findings(3, start + 100h).size(), 0u);
    EXPECT_EQ(counter.UniqueCount("10.0.0.9"), 1);
}

// A scan sends one probe every `interval` and the check runs every 30 s: it is caught when its
// threshold's worth of ports fits in the window, whatever the rate without one.
TEST_F(ScanCounterProbeTest, SlowScansAreCaughtWhileTheirPortsFitTheWindow) {
    using namespace std::chrono_literals;
    struct Case {
        std::chrono::seconds window;
        std::chrono::seconds interval;
        bool caught;
    };
    const std::vector<Case> cases = {
        {0s, 15s, true},     {0s, 3600s, true},    {3600s, 8s, true}, {3600s, 15s, true},
        {3600s, 590s, true}, {3600s, 610s, false}, {60s, 8s, true},   {60s, 15s, false},
    };
    constexpr int kThreshold = 7;
    for (const Case& scan : cases) {
        CScanCounter fresh;
        fresh.SetLimits({16, 1024, scan.window});
        const auto start = CScanCounter::Clock::now();
        auto nextCheck = start;
        bool caught = false;
        const auto checkUntil = [&](CScanCounter::Clock::time_point until) {
            for (; nextCheck < until; nextCheck += 30s) {
                fresh.Check(
                    kThreshold, [&](const ScanFinding&) { caught = true; }, nextCheck);
            }
        };
        for (int port = 1; port <= 3 * kThreshold; ++port) {
            const auto now = start + scan.interval * port;
            checkUntil(now);
            fresh.Count(Seen("198.51.100.3", port, ProbeKind::Syn), {}, {}, now);
        }
        checkUntil(start + scan.interval * (3 * kThreshold) + 31s);
        EXPECT_EQ(caught, scan.caught)
            << scan.window.count() << " s window, a probe every " << scan.interval.count() << " s";
    }
}

TEST_F(ScanCounterProbeTest, PortSetsKeepArrivalOrderAsTheyGrow) {
    using namespace std::chrono_literals;
    const auto start = CScanCounter::Clock::now();
    counter.SetLimits({16, 65536, 60s});
    auto port = [](int i) { return (i * 7919 + 1) % 65536; };  // distinct, out of order
    for (int count : {1, 2, 3, 64, 65, 300}) {
        const std::string host =
            "10.0." + std::to_string(count / 256) + "." + std::to_string(count % 256);
        std::vector<int> expected;
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(CountProbe(host, port(i), ProbeKind::Syn, start)) << count;
            expected.push_back(port(i));
        }
        for (int i = 0; i < count; ++i) {
            EXPECT_FALSE(CountProbe(host, port(i), ProbeKind::Syn, start)) << count;
        }
        EXPECT_EQ(counter.Ports(host), expected) << count;
        // Once aged out, a port counts anew.
        EXPECT_TRUE(CountProbe(host, port(0), ProbeKind::Syn, start + 61s)) << count;
        EXPECT_EQ(counter.Ports(host), std::vector<int>{port(0)}) << count;
    }
}

TEST_F(ScanCounterProbeTest, AFloodOfForgedSourcesStaysWithinItsMemoryBound) {
    constexpr std::size_t kMaxHosts = 65536;
    constexpr std::size_t kBound = 8u << 20;
    counter.SetLimits({kMaxHosts, 1024, std::chrono::seconds(0)});
    const struct mallinfo2 before = ::mallinfo2();
    const auto now = CScanCounter::Clock::now();
    for (std::uint32_t i = 0; i < 400000; ++i) {
        const std::string source = "10." + std::to_string(i >> 16) + "." +
                                   std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255);
        CountProbe(source, 1 + static_cast<int>(i % 1024), ProbeKind::Syn, now);
    }
    const struct mallinfo2 after = ::mallinfo2();
    EXPECT_EQ(counter.HostCount(), kMaxHosts);
    EXPECT_LE(counter.MemoryBytes(), kBound);
    if (after.uordblks > before.uordblks) {  // zero where a sanitizer owns the heap
        EXPECT_LE(after.uordblks - before.uordblks, kBound);
    }
    // Every kept host is still found after the evictions moved the index around.
    for (const std::string& host : counter.SeenHosts()) {
        ASSERT_EQ(counter.UniqueCount(host), 1) << host;
    }
}

TEST(PortsText, JoinsWithCommaAndSpace) {
    EXPECT_EQ(PortsText({}), "");
    EXPECT_EQ(PortsText({31337}), "31337");
    EXPECT_EQ(PortsText({80, 443, 25}), "80, 443, 25");
}

}  // namespace
}  // namespace tarvik
