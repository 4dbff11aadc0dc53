#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "e2e/Waits.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "support/ScanLoopback.h"
#include "workers/WorkerHub.h"

// Real scans against loopback, seen by the probe sensor. They need CAP_NET_RAW (the sensor and
// the scanner's raw packets) and the scanner, and skip with the reason otherwise.
namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::kEventDeadline;
using test::WaitUntil;

struct Seen {
    std::string host;
    std::string ports;
    std::string kind;
};

class RecordingAlerter : public IScanAlerter {
public:
    void Raise(const ScanFinding& finding, const std::string&) override {
        std::lock_guard lock(mutex_);
        alerts_.push_back({finding.host, finding.portsText, finding.kind});
    }
    std::vector<Seen> Alerts() {
        std::lock_guard lock(mutex_);
        return alerts_;
    }

private:
    std::mutex mutex_;
    std::vector<Seen> alerts_;
};

// Passes everything on to the alerter it wraps and counts the scan checks the watcher has
// begun: each check flushes once, before it raises anything.
class CheckCountingAlerter : public IScanAlerter {
public:
    explicit CheckCountingAlerter(std::unique_ptr<IScanAlerter> inner) : inner_(std::move(inner)) {}
    void Raise(const ScanFinding& finding, const std::string& mailHost) override {
        inner_->Raise(finding, mailHost);
    }
    void Flush(const std::string& mailHost) override {
        inner_->Flush(mailHost);
        ++checks_;
    }
    void CancelPendingMail() override { inner_->CancelPendingMail(); }
    int Checks() const { return checks_.load(); }

private:
    std::unique_ptr<IScanAlerter> inner_;
    std::atomic<int> checks_{0};
};

class CountingSystemLog : public ISystemLog {
public:
    void ReportError(const std::string&, const std::string& text) override {
        std::lock_guard lock(mutex_);
        records_.push_back(text);
    }
    std::vector<std::string> Records() {
        std::lock_guard lock(mutex_);
        return records_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> records_;
};

bool HaveScanner() {
    return std::system("command -v nmap >/dev/null 2>&1") == 0;
}

std::string PortList(const std::vector<int>& ports) {
    std::string text;
    for (int port : ports) {
        text += (text.empty() ? "" : ",") + std::to_string(port);
    }
    return text;
}

bool Scan(const std::string& type, const std::string& target, const std::vector<int>& ports,
          bool ipv6 = false) {
    const std::string command = "nmap -n -Pn " + type + (ipv6 ? " -6" : "") +
                                " --max-retries 0 -T4 -p " + PortList(ports) + " " + target +
                                " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

class ScanE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveScanner()) {
            GTEST_SKIP() << "nmap is not installed (scripts/install-deps.sh installs it)";
        }
        settings.SetIgnoreHosts({});  // the scans come from loopback
        settings.SetListenEnabled(0);
        settings.SetEventLog(1);
        settings.SetEmailAlert(0);
        ports = test::FreeLoopbackPorts(4);
        ASSERT_EQ(ports.size(), 4u);
        openPort = test::HoldPort(ports[3]);
        ASSERT_TRUE(openPort);
        settings.SetThreshold(static_cast<int>(ports.size()));
    }
    void TearDown() override {
        if (watcher) {
            watcher->PostQuit();
            watcher->Join();
        }
    }
    // False at once where the sensor's packet socket cannot be had (no CAP_NET_RAW).
    bool StartWatcher(std::unique_ptr<IScanAlerter> alerter) {
        if (!UniqueFd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ALL)))) {
            return false;
        }
        watcher = std::make_unique<CScanWatcherThread>(settings, hub, std::move(alerter),
                                                       "127.0.0.1", ProbeSensing::On);
        watcher->CountProbesInto(probesCounted);
        watcher->Start();
        return WaitUntil([this] { return watcher->SensingProbes(); });
    }
    // Scan checks until `done` holds: the probes reach the counts on the sensor's own time.
    template <typename Done>
    bool CheckUntil(Done done) {
        return WaitUntil(
            [&] {
                if (done()) {
                    return true;
                }
                watcher->Post(ScanCheck{});
                return false;
            },
            kEventDeadline, 100ms);
    }
    void ExpectScanSeen(const std::string& type, const std::string& kind, bool ipv6 = false) {
        auto recording = std::make_unique<RecordingAlerter>();
        RecordingAlerter* alerter = recording.get();
        if (!StartWatcher(std::move(recording))) {
            GTEST_SKIP() << "no packet socket here (needs CAP_NET_RAW)";
        }
        if (ipv6) {
            openPort = UniqueFd();  // the open port is an IPv4 socket; all four are closed
        }
        ASSERT_TRUE(Scan(type, ipv6 ? "::1" : "127.0.0.1", ports, ipv6)) << type;
        ASSERT_TRUE(CheckUntil([&] { return !alerter->Alerts().empty(); })) << type;
        const Seen alert = alerter->Alerts().at(0);
        EXPECT_EQ(alert.host, ipv6 ? "::1" : "127.0.0.1");
        EXPECT_EQ(alert.kind, kind);
        for (int port : ports) {
            EXPECT_NE(alert.ports.find(std::to_string(port)), std::string::npos) << alert.ports;
        }
        if (kind != "connect") {  // the metrics count the probes the sensor handed over
            EXPECT_GE(probesCounted->load(), ports.size());
        }
    }

    CWorkerHub hub;
    CSettingsStore settings{std::filesystem::path(::testing::TempDir()) / "scan-e2e.conf",
                            [] { return std::vector<std::string>{}; }};
    std::vector<int> ports;
    UniqueFd openPort;
    std::unique_ptr<CScanWatcherThread> watcher;
    std::shared_ptr<std::atomic<std::uint64_t>> probesCounted =
        std::make_shared<std::atomic<std::uint64_t>>(0);
};

TEST_F(ScanE2eTest, ConnectScan) {
    ExpectScanSeen("-sT", "connect");
}
TEST_F(ScanE2eTest, SynScan) {
    ExpectScanSeen("-sS", "SYN");
}
TEST_F(ScanE2eTest, FinScan) {
    ExpectScanSeen("-sF", "FIN");
}
TEST_F(ScanE2eTest, NullScan) {
    ExpectScanSeen("-sN", "NULL");
}
TEST_F(ScanE2eTest, XmasScan) {
    ExpectScanSeen("-sX", "Xmas");
}
TEST_F(ScanE2eTest, SynScanOverIpv6) {
    UniqueFd probe(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    if (!probe || ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&loopback), sizeof loopback)) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ExpectScanSeen("-sS", "SYN", true);
}

TEST_F(ScanE2eTest, SpoofedFloodKeepsTablesAndAlertsBoundedAndARealScanIsStillSeen) {
    constexpr int kSources = 20000;
    constexpr int kMaxHosts = 1000;
    constexpr int kPerMinute = 10;
    UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!raw) {
        GTEST_SKIP() << "no raw socket here (needs CAP_NET_RAW): " << std::strerror(errno);
    }
    settings.SetThreshold(1);
    // Loopback is shared with whatever else runs here: only the flood's 127.1/16 and the real
    // scanner's 127.0.0.1 may spend the minute's records, which now go at the probe.
    settings.SetIgnoreHosts({"127.0.0.0",     "127.0.0.2/31",  "127.0.0.4/30",  "127.0.0.8/29",
                             "127.0.0.16/28", "127.0.0.32/27", "127.0.0.64/26", "127.0.0.128/25",
                             "127.0.1.0/24",  "127.0.2.0/23",  "127.0.4.0/22",  "127.0.8.0/21",
                             "127.0.16.0/20", "127.0.32.0/19", "127.0.64.0/18", "127.0.128.0/17",
                             "127.2.0.0/15",  "127.4.0.0/14",  "127.8.0.0/13",  "127.16.0.0/12",
                             "127.32.0.0/11", "127.64.0.0/10", "127.128.0.0/9"});
    settings.SetScanMaxHosts(kMaxHosts);
    settings.SetAlertsPerMinute(kPerMinute);
    auto systemLog = std::make_shared<CountingSystemLog>();
    auto alert = std::make_unique<CScanAlert>(settings, hub, systemLog);
    auto offset = std::make_shared<std::atomic<int>>(0);
    alert->SetClock(
        [offset] { return CScanAlert::Clock::now() + std::chrono::seconds(offset->load()); });
    auto counting = std::make_unique<CheckCountingAlerter>(std::move(alert));
    const CheckCountingAlerter* checks = counting.get();
    if (!StartWatcher(std::move(counting))) {
        GTEST_SKIP() << "no packet socket here (needs CAP_NET_RAW)";
    }

    sockaddr_in to = test::LoopbackAddress("127.0.0.1", ports[0]);
    for (int i = 0; i < kSources; ++i) {
        // 127.1.0.1 onwards: never 127.0.0.1, whose scan comes last.
        const std::vector<std::uint8_t> packet = test::LoopbackSegment(
            0x7f010001U + static_cast<std::uint32_t>(i), 40000, ports[0], 0x02);
        ::sendto(raw.Get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    ASSERT_TRUE(CheckUntil([&] { return systemLog->Records().size() >= kPerMinute; }));
    // Five more checks in the same minute add no record; a sixth one begun shows them done.
    const int handled = checks->Checks();
    for (int i = 0; i < 6; ++i) {
        watcher->Post(ScanCheck{});
    }
    ASSERT_TRUE(WaitUntil([&] { return checks->Checks() >= handled + 6; }));
    EXPECT_EQ(systemLog->Records().size(), static_cast<std::size_t>(kPerMinute));

    // Alerts now go at the probe: the sensor must have handed the whole flood over before the
    // minute ends, or its tail would spend the next minute's records before the real scan.
    std::uint64_t last = ~std::uint64_t{0};
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::uint64_t now = probesCounted->load();
            const bool settled = now == last;
            last = now;
            return settled;
        },
        kEventDeadline, 300ms));
    *offset = 61;
    ASSERT_TRUE(CheckUntil([&] { return systemLog->Records().size() > kPerMinute; }));
    EXPECT_NE(systemLog->Records().at(kPerMinute).find("more hosts reached the threshold"),
              std::string::npos);

    ASSERT_TRUE(Scan("-sS", "127.0.0.1", ports));
    ASSERT_TRUE(CheckUntil([&] {
        for (const std::string& record : systemLog->Records()) {
            if (record.find("from:  127.0.0.1  on port(s)") != std::string::npos) {
                return true;
            }
        }
        return false;
    })) << "the real scan after the flood was not seen: "
        << ::testing::PrintToString(systemLog->Records());

    watcher->PostQuit();
    watcher->Join();
    EXPECT_LE(watcher->Counter().HostCount(), static_cast<std::size_t>(kMaxHosts));
    watcher.reset();
}

}  // namespace
}  // namespace tarvik
