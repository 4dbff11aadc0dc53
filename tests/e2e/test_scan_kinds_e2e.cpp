#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "base/UniqueFd.h"
#include "e2e/Waits.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "support/ScanLoopback.h"
#include "workers/WorkerHub.h"

// Real scans of every kind from a network namespace over a veth pair the test makes, seen by
// the kernel's no-socket verdicts; and this host's own refused connects. They need root (the
// namespace, the eBPF program), a kernel with BTF, and the scanner; else they skip.
namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The scanner's namespace "tvk-scan-<pid>" behind a veth pair: this side 198.18.0.1 and
// fd00:7a::1, the scanner 198.18.0.2 and fd00:7a::2. Removed with the namespace.
class ScannerNamespace {
public:
    ScannerNamespace() : name_("tvk-scan-" + std::to_string(::getpid())) {
        const std::string here = "tvk" + std::to_string(::getpid() % 100000) + "a";
        const std::string there = "tvk" + std::to_string(::getpid() % 100000) + "b";
        const std::string in = "ip netns exec " + name_ + " ";
        ready_ = Shell("ip netns add " + name_) &&
                 Shell("ip link add " + here + " type veth peer name " + there) &&
                 Shell("ip link set " + there + " netns " + name_) &&
                 Shell("ip addr add 198.18.0.1/30 dev " + here) &&
                 Shell("ip addr add fd00:7a::1/64 dev " + here + " nodad") &&
                 Shell("ip link set " + here + " up") &&
                 Shell(in + "ip addr add 198.18.0.2/30 dev " + there) &&
                 Shell(in + "ip addr add fd00:7a::2/64 dev " + there + " nodad") &&
                 Shell(in + "ip link set " + there + " up") && Shell(in + "ip link set lo up");
    }
    ~ScannerNamespace() { Shell("ip netns delete " + name_); }  // takes the veth pair along
    ScannerNamespace(const ScannerNamespace&) = delete;
    ScannerNamespace& operator=(const ScannerNamespace&) = delete;

    bool Ready() const { return ready_; }
    bool Scan(const std::string& flags, const std::string& target, const std::string& ports) {
        return Shell("ip netns exec " + name_ + " nmap -n -Pn " + flags +
                     " --max-retries 0 -T4 -p " + ports + " " + target);
    }
    // Datagrams of 3000 bytes, which the scanner's stack sends in fragments over the veth.
    bool SendFragmented(const std::string& target, const std::string& ports) {
        return Shell("ip netns exec " + name_ +
                     " python3 -c 'import socket; s = socket.socket(socket.AF_INET6, "
                     "socket.SOCK_DGRAM); [s.sendto(bytes(3000), (\"" +
                     target + "\", p)) for p in (" + ports + ")]'");
    }

private:
    std::string name_;
    bool ready_ = false;
};

// `count` ports below the ephemeral range (where UDP datagrams are taken for late replies) on
// which nothing listened a moment ago, TCP or UDP, any address.
std::vector<int> FreeLowPorts(std::size_t count) {
    std::vector<int> ports;
    for (int port = 20000 + ::getpid() % 5000; ports.size() < count && port < 30000; ++port) {
        bool free = true;
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            UniqueFd socket(::socket(AF_INET6, type | SOCK_CLOEXEC, 0));
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            any.sin6_port = htons(static_cast<std::uint16_t>(port));
            free = free && socket &&
                   ::bind(socket.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
        }
        if (free) {
            ports.push_back(port);
        }
    }
    return ports;
}

class RecordingAlerter : public IScanAlerter {
public:
    void Raise(const ScanFinding& finding, const std::string&) override {
        std::lock_guard lock(mutex_);
        alerts_.push_back(finding);
    }
    void RaiseOutbound(const OutboundFinding& finding) override {
        std::lock_guard lock(mutex_);
        outbound_.push_back(finding);
    }
    std::vector<ScanFinding> Alerts() {
        std::lock_guard lock(mutex_);
        return alerts_;
    }
    std::vector<OutboundFinding> Outbound() {
        std::lock_guard lock(mutex_);
        return outbound_;
    }

private:
    std::mutex mutex_;
    std::vector<ScanFinding> alerts_;
    std::vector<OutboundFinding> outbound_;
};

class ScanKindsE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root (a network namespace and the eBPF program)";
        }
        settings.SetIgnoreHosts({});
        settings.SetListenEnabled(0);
        settings.SetEmailAlert(0);
        settings.SetThreshold(static_cast<int>(ports.size()));
        auto recording = std::make_unique<RecordingAlerter>();
        alerter = recording.get();
        watcher = std::make_unique<CScanWatcherThread>(settings, hub, std::move(recording),
                                                       "127.0.0.1", ProbeSensing::On);
        watcher->UseProbeSource(ProbeSource::KernelFirst);
        watcher->Start();
        ASSERT_TRUE(WaitUntil([this] { return watcher->SensingProbes(); }));
        if (!watcher->SensingInKernel()) {
            GTEST_SKIP() << "the kernel's no-socket verdicts cannot be read here (eBPF, BTF)";
        }
    }
    void TearDown() override {
        if (watcher) {
            watcher->PostQuit();
            watcher->Join();
        }
    }
    template <typename Done>
    bool CheckUntil(Done done) {
        return WaitUntil(
            [&] {
                watcher->Post(ScanCheck{});
                return done();
            },
            test::kEventDeadline, 100ms);
    }

    CWorkerHub hub;
    CSettingsStore settings{std::filesystem::path(::testing::TempDir()) / "scan-kinds.conf",
                            [] { return std::vector<std::string>{}; }};
    std::vector<int> ports = FreeLowPorts(4);
    RecordingAlerter* alerter = nullptr;
    std::unique_ptr<CScanWatcherThread> watcher;
};

TEST_F(ScanKindsE2eTest, EveryScanKindOfBothFamiliesIsNamed) {
    if (!Shell("command -v nmap")) {
        GTEST_SKIP() << "nmap is not installed (scripts/install-deps.sh installs it)";
    }
    ScannerNamespace scanner;
    if (!scanner.Ready()) {
        GTEST_SKIP() << "cannot make a network namespace with a veth pair here";
    }
    struct Case {
        std::string flags;
        std::string kind;
    };
    // Window scans send what ACK scans send; fragments are counted once, reassembled.
    const std::vector<Case> cases = {
        {"-sS", "SYN"},    {"-sF", "FIN"}, {"-sN", "NULL"}, {"-sX", "Xmas"},    {"-sA", "ACK"},
        {"-sM", "Maimon"}, {"-sW", "ACK"}, {"-sU", "UDP"},  {"-sT", "connect"}, {"-sS -f", "SYN"},
    };
    std::string portList;
    for (int port : ports) {
        portList += (portList.empty() ? "" : ",") + std::to_string(port);
    }
    for (const auto& [family, target, source] : {std::tuple{"", "198.18.0.1", "198.18.0.2"},
                                                 std::tuple{"-6 ", "fd00:7a::1", "fd00:7a::2"}}) {
        for (const Case& scan : cases) {
            const std::string flags = std::string(family) + scan.flags;
            const std::size_t before = alerter->Alerts().size();
            if (flags == "-6 -sS -f") {  // the scanner fragments IPv4 only
                if (!Shell("command -v python3")) {
                    std::cout << "[ SKIPPED  ] IPv6 fragments: no python3 to send them\n";
                    continue;
                }
                ASSERT_TRUE(scanner.SendFragmented(target, portList));
                ASSERT_TRUE(CheckUntil([&] { return alerter->Alerts().size() > before; }));
                EXPECT_EQ(alerter->Alerts().back().kind, "UDP");
                EXPECT_EQ(alerter->Alerts().back().ports.size(), ports.size());
                continue;
            }
            ASSERT_TRUE(scanner.Scan(flags, target, portList)) << flags;
            ASSERT_TRUE(CheckUntil([&] { return alerter->Alerts().size() > before; })) << flags;
            const ScanFinding alert = alerter->Alerts().back();
            EXPECT_EQ(alert.host, source) << flags;
            EXPECT_EQ(alert.kind, scan.kind) << flags;
            EXPECT_EQ(alert.ports.size(), ports.size()) << flags << ": " << alert.portsText;
        }
    }
}

TEST_F(ScanKindsE2eTest, LateAcksOfEndedConnectionsAreNoProbes) {
    UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    ASSERT_TRUE(raw) << std::strerror(errno);
    const auto send = [&](int from, int to) {
        const std::vector<std::uint8_t> packet =
            test::LoopbackSegment(INADDR_LOOPBACK, from, to, 0x10);
        const sockaddr_in address = test::LoopbackAddress("127.0.0.1", to);
        ASSERT_EQ(::sendto(raw.Get(), packet.data(), packet.size(), 0,
                           reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(packet.size()));
    };
    // Connections to each port that end at once, both sides closed; then a late ACK of each.
    std::vector<std::pair<int, int>> ended;
    for (int port : ports) {
        UniqueFd listener = test::HoldPort(port);
        ASSERT_TRUE(listener);
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = test::LoopbackAddress("127.0.0.1", port);
        ASSERT_EQ(
            ::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        UniqueFd server(::accept(listener.Get(), nullptr, nullptr));
        ended.emplace_back(test::LocalPortOf(client.Get()), port);
        // The client ends first, so this side's socket goes through LAST_ACK to nothing.
        client = UniqueFd();
        char byte = 0;
        ASSERT_EQ(::read(server.Get(), &byte, 1), 0);
    }
    for (const auto& [from, to] : ended) {
        send(from, to);
    }
    // Probes of the same host to as many other ports: the alert names these alone.
    std::vector<int> probed = FreeLowPorts(2 * ports.size());
    std::erase_if(probed, [&](int port) {
        return std::find(ports.begin(), ports.end(), port) != ports.end();
    });
    probed.resize(ports.size());
    for (int port : probed) {
        send(40000, port);
    }
    ASSERT_TRUE(CheckUntil([&] { return !alerter->Alerts().empty(); }));
    EXPECT_EQ(alerter->Alerts().at(0).ports, probed);
    EXPECT_EQ(alerter->Alerts().at(0).kind, "ACK");
}

// Answers that come after the asking socket closed (a resolver that gave up) reach no socket,
// as a UDP scan's datagrams do, but at the ephemeral ports the queries left from.
TEST_F(ScanKindsE2eTest, LateAnswersToThisHostsQueriesAreNoProbes) {
    UniqueFd server(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in serverAddress = test::LoopbackAddress("127.0.0.1", 0);
    ASSERT_EQ(
        ::bind(server.Get(), reinterpret_cast<sockaddr*>(&serverAddress), sizeof serverAddress), 0);
    serverAddress.sin_port = htons(test::LocalPortOf(server.Get()));
    const auto sendTo = [&](const sockaddr_in& to) {
        ASSERT_EQ(
            ::sendto(server.Get(), "a", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            1);
    };
    std::vector<sockaddr_in> askers;
    for (std::size_t i = 0; i < 2 * ports.size(); ++i) {
        UniqueFd asker(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(asker.Get(), reinterpret_cast<const sockaddr*>(&serverAddress),
                            sizeof serverAddress),
                  0);
        ASSERT_EQ(::send(asker.Get(), "q", 1, 0), 1);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        char query = 0;
        ASSERT_EQ(
            ::recvfrom(server.Get(), &query, 1, 0, reinterpret_cast<sockaddr*>(&from), &length), 1);
        askers.push_back(from);
    }
    for (const sockaddr_in& asker : askers) {
        sendTo(asker);  // each asker is closed by now
    }
    // Then datagrams to as many closed ports below the range: the alert names these alone.
    for (int port : ports) {
        sendTo(test::LoopbackAddress("127.0.0.1", port));
    }
    ASSERT_TRUE(CheckUntil([&] { return !alerter->Alerts().empty(); }));
    EXPECT_EQ(alerter->Alerts().at(0).ports, ports);
    EXPECT_EQ(alerter->Alerts().at(0).kind, "UDP");
}

// Connects to `count` ports of 127.0.0.1 where nothing listens; each is refused.
void ConnectRefused(const std::vector<int>& ports) {
    for (int port : ports) {
        UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = test::LoopbackAddress("127.0.0.1", port);
        ASSERT_NE(
            ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
            0);
        ASSERT_EQ(errno, ECONNREFUSED);
    }
}

TEST_F(ScanKindsE2eTest, AProcessScanningOthersIsNamedUnlessSwitchedOff) {
    settings.SetScanOutboundThreshold(static_cast<int>(ports.size()));
    ConnectRefused(ports);
    ASSERT_TRUE(CheckUntil([&] { return !alerter->Outbound().empty(); }));
    const OutboundFinding finding = alerter->Outbound().at(0);
    EXPECT_EQ(finding.pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(finding.user, "root");
    EXPECT_NE(finding.text.find("at 127.0.0.1 on port(s): "), std::string::npos) << finding.text;

    settings.SetScanOutbound(0);
    ConnectRefused(ports);
    // The connects' own SYNs make an inbound alert; the refusals were read with them.
    ASSERT_TRUE(CheckUntil([&] { return alerter->Alerts().size() >= 2; }));
    ASSERT_TRUE(CheckUntil([&] { return true; }));
    EXPECT_EQ(alerter->Outbound().size(), 1u);
}

}  // namespace
}  // namespace tarvik
