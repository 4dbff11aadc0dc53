#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scan/ScanCounter.h"

namespace tarvik {
namespace {

using Alerts = std::vector<std::pair<std::string, std::string>>;

CConnectionRecord Inbound(std::string host, int localPort, int category = kCategoryInbound) {
    CConnectionRecord record;
    record.category = category;
    record.ipAddress = std::move(host);
    record.hostName = record.ipAddress;
    record.localPort = localPort;
    record.remotePort = 40000;
    return record;
}

class ScanCounterTest : public ::testing::Test {
protected:
    bool Count(const std::string& host, int port) {
        return counter.Count(Inbound(host, port), ignorePorts, ignoreHosts);
    }
    Alerts Check(int threshold) {
        Alerts alerts;
        counter.Check(threshold, [&](const std::string& host, const std::string& ports) {
            alerts.emplace_back(host, ports);
        });
        return alerts;
    }

    CScanCounter counter;
    std::vector<int> ignorePorts;
    std::vector<std::string> ignoreHosts{"0.0.0.0", "127.0.0.1"};
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
    // Host keys are exact texts: a near miss of an ignored host is counted.
    EXPECT_TRUE(Count("127.0.0.10", 80));
    EXPECT_EQ(counter.SeenHosts(), std::vector<std::string>{"127.0.0.10"});
}

TEST_F(ScanCounterTest, OnlyInboundRecordsAreCounted) {
    for (int category :
         std::vector<int>{kCategoryListening, kCategoryOutbound, kCategoryUnknown, 0}) {
        EXPECT_FALSE(counter.Count(Inbound("10.0.0.7", 80, category), ignorePorts, ignoreHosts));
    }
    EXPECT_TRUE(counter.SeenHosts().empty());
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
    ignoreHosts.push_back("10.0.0.7");
    EXPECT_FALSE(Count("10.0.0.7", 443));
    EXPECT_EQ(Check(1), (Alerts{{"10.0.0.7", "80"}}));
}

TEST_F(ScanCounterTest, AThrowingAlertStillResetsItsHost) {
    Count("10.0.0.7", 80);
    EXPECT_THROW(counter.Check(1, [](const std::string&,
                                     const std::string&) { throw std::runtime_error("down"); }),
                 std::runtime_error);
    EXPECT_EQ(counter.UniqueCount("10.0.0.7"), 0);
}

TEST(PortsText, JoinsWithCommaAndSpace) {
    EXPECT_EQ(PortsText({}), "");
    EXPECT_EQ(PortsText({31337}), "31337");
    EXPECT_EQ(PortsText({80, 443, 25}), "80, 443, 25");
}

}  // namespace
}  // namespace tarvik
