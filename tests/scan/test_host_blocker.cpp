#include "scan/HostBlocker.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ScanTestSettings.h"
#include "base/UniqueFd.h"
#include "scan/ScanWatcherThread.h"
#include "support/RecordingWorker.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

// Keeps every batch; refuses them all when told to.
class RecordingRunner : public INftRunner {
public:
    explicit RecordingRunner(std::vector<std::string>& batches, bool refuse = false)
        : batches_(batches), refuse_(refuse) {}
    bool Run(const std::string& commands, std::string* error) override {
        batches_.push_back(commands);
        if (refuse_) {
            *error = "Operation not permitted";
        }
        return !refuse_;
    }

private:
    std::vector<std::string>& batches_;
    bool refuse_;
};

TEST(HostBlockerText, OnlyAddressesReachTheCommandLine) {
    EXPECT_EQ(BlockAddressCommand("192.0.2.7", 3600),
              "add element inet tarvik blocked4 { 192.0.2.7 timeout 3600s }\n");
    EXPECT_EQ(BlockAddressCommand("2001:DB8::7", 60),
              "add element inet tarvik blocked6 { 2001:db8::7 timeout 60s }\n");
    EXPECT_EQ(BlockAddressCommand("192.0.2.7", 0),
              "add element inet tarvik blocked4 { 192.0.2.7 timeout 1s }\n");
    for (const char* hostile : {"192.0.2.7 }; flush ruleset; add element inet tarvik blocked4 {",
                                "host.example.org", "", "192.0.2.7\n", "::1%lo"}) {
        EXPECT_EQ(BlockAddressCommand(hostile, 60), std::nullopt) << hostile;
    }
}

TEST(HostBlockerText, MartianSourcesAreRecognised) {
    for (const char* address : {"127.0.0.1", "127.1.2.3", "0.0.0.0", "0.1.2.3", "224.0.0.1",
                                "239.255.255.250", "240.0.0.1", "255.255.255.255", "::1",
                                "::", "ff02::1", "::ffff:127.0.0.1", "::ffff:224.0.0.5"}) {
        EXPECT_TRUE(IsMartianSource(address)) << address;
    }
    for (const char* address : {"192.0.2.7", "10.0.0.1", "223.255.255.255", "2001:db8::1",
                                "fe80::1", "::ffff:192.0.2.7"}) {
        EXPECT_FALSE(IsMartianSource(address)) << address;
    }
}

TEST(InfrastructureText, GatewaysAndNameServersAreRead) {
    const std::string route =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
        "v0\t00000000\tFE0012C6\t0003\t0\t0\t0\t00000000\n"
        "v0\t000012C6\t00000000\t0001\t0\t0\t0\t00FFFFFF\n"
        "v1\t0000000A\t0100000A\t0001\t0\t0\t0\t000000FF\n";  // no gateway flag
    EXPECT_EQ(RouteGateways(route), std::vector<std::string>{"198.18.0.254"});
    const std::string route6 =
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "fd0000000000000000000000000000fe 00000400 00000001 00000000 00000003 v0\n"
        "fd000000000000000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001 v0\n"
        "garbage\n";
    EXPECT_EQ(Ipv6RouteGateways(route6), std::vector<std::string>{"fd00::fe"});
    EXPECT_EQ(NameServers("# comment\nsearch example.org\nnameserver 192.0.2.53\n"
                          "  nameserver\tfe80::1%eth0\nnameserver\n"),
              (std::vector<std::string>{"192.0.2.53", "fe80::1"}));
}

ScanFinding Found(const std::string& host, bool completedHandshake = true) {
    ScanFinding finding;
    finding.host = host;
    finding.completedHandshake = completedHandshake;
    return finding;
}

// A blocker over a recording runner, with a fixed infrastructure that is counted when read.
struct BlockerRig {
    explicit BlockerRig(std::vector<std::string> infrastructure = {})
        : infrastructure_(std::move(infrastructure)),
          blocker(
              std::make_unique<RecordingRunner>(batches),
              [this](const std::string& text) { said.push_back(text); },
              [this] {
                  ++reads;
                  return infrastructure_;
              }) {}

    std::vector<std::string> infrastructure_;
    std::vector<std::string> batches;
    std::vector<std::string> said;
    int reads = 0;
    CHostBlocker blocker;
};

TEST(HostBlockerTest, BlocksAlertingHostsInItsOwnTableAndRemovesItAtTheStop) {
    std::vector<std::string> batches;
    {
        BlockerRig rig;
        rig.blocker.Configure(BlockMode::Block);
        ASSERT_EQ(rig.batches, std::vector<std::string>{BlockTableCommands()});
        rig.blocker.OnAlert(Found("192.0.2.7"), {{}, false, 3600});
        rig.blocker.OnAlert(Found("192.0.2.7"), {{}, false, 3600});  // in the set already
        EXPECT_EQ(rig.batches, (std::vector<std::string>{BlockTableCommands(),
                                                         *BlockAddressCommand("192.0.2.7", 3600)}));
        EXPECT_EQ(rig.said,
                  std::vector<std::string>{"scan response: blocked 192.0.2.7 for 3600 s"});
        rig.blocker.Stop();
        EXPECT_EQ(rig.batches.back(), RemoveBlockTableCommands());
    }
}

// Forged packets must not turn the response against this host or the hosts it relies on.
TEST(HostBlockerTest, NeverBlocksWhatAForgedSourceCouldAimItAt) {
    const std::vector<std::string> infrastructure = {"198.18.0.1", "198.18.0.255", "198.18.0.254",
                                                     "fd00::fe", "192.0.2.53"};
    const AddressRanges ignored =
        ParseAddressRanges({"0.0.0.0", " 127.0.0.1", " 203.0.113.0/24 ", "2001:db8:5::/48"});
    struct Case {
        const char* host;
        bool handshake;
        bool blockProbes;
        bool blocked;
    };
    const std::vector<Case> cases = {
        {"198.18.0.77", true, false, true},      // a connection: proven source
        {"198.18.0.78", false, false, false},    // probes alone prove no source
        {"198.18.0.79", false, true, true},      // unless asked for
        {"198.18.0.254", false, true, false},    // the gateway
        {"198.18.0.254", true, false, false},    // even after a handshake
        {"fd00::fe", true, false, false},        // the IPv6 gateway
        {"198.18.0.1", true, true, false},       // this host
        {"198.18.0.255", true, true, false},     // its network's broadcast
        {"192.0.2.53", true, true, false},       // its name server
        {"255.255.255.255", true, true, false},  // broadcast
        {"224.0.0.9", true, true, false},        // multicast
        {"ff02::1", true, true, false},          // multicast
        {"0.0.0.0", true, true, false},          // unspecified
        {"203.0.113.9", true, true, false},      // an ignored range, entry with blanks
        {"::ffff:203.0.113.9", true, true, false},
        {"2001:db8:5::9", true, true, false},  // an ignored IPv6 range
        {"2001:db8:6::9", true, true, true},
    };
    for (BlockMode mode : {BlockMode::Block, BlockMode::DryRun}) {
        for (const Case& c : cases) {
            BlockerRig rig(infrastructure);
            rig.blocker.Configure(mode);
            const std::size_t before = rig.said.size();
            rig.blocker.OnAlert(Found(c.host, c.handshake), {ignored, c.blockProbes, 60});
            EXPECT_EQ(rig.said.size() - before, c.blocked ? 1u : 0u)
                << c.host << " handshake " << c.handshake << " probes " << c.blockProbes;
        }
    }
}

TEST(HostBlockerTest, TheInfrastructureIsReadAgainOnceItIsOlderThanItsAge) {
    BlockerRig rig({"198.18.0.254"});
    rig.blocker.Configure(BlockMode::Block);
    const auto start = CHostBlocker::Clock::now();
    rig.blocker.OnAlert(Found("198.18.0.254"), {}, start);
    rig.blocker.OnAlert(Found("198.18.0.254"), {}, start + 5s);
    EXPECT_EQ(rig.reads, 1);
    rig.infrastructure_ = {"198.18.0.253"};  // the route changed
    rig.blocker.OnAlert(Found("198.18.0.253"), {}, start + 11s);
    rig.blocker.OnAlert(Found("198.18.0.254"), {}, start + 11s);
    EXPECT_EQ(rig.reads, 2);
    EXPECT_EQ(rig.said, std::vector<std::string>{"scan response: blocked 198.18.0.254 for 3600 s"});
}

TEST(HostBlockerTest, BlocksAreCappedAMinuteAndAtATimeWithASummary) {
    BlockerRig rig;
    rig.blocker.Configure(BlockMode::Block);
    auto now = CHostBlocker::Clock::now();
    int next = 0;
    auto alertFrom = [&](int hosts) {
        for (int i = 0; i < hosts; ++i, ++next) {
            rig.blocker.OnAlert(
                Found("10." + std::to_string(next / 65536) + "." +
                      std::to_string(next / 256 % 256) + "." + std::to_string(next % 256)),
                {{}, false, 7200}, now);
        }
    };
    alertFrom(3000);  // a flood in one check
    EXPECT_EQ(rig.batches.size(), 1u + CHostBlocker::kBlocksPerMinute);
    rig.blocker.Flush(now + 30s);
    EXPECT_EQ(rig.said.size(), static_cast<std::size_t>(CHostBlocker::kBlocksPerMinute))
        << "no summary before the minute is over";
    now += 61s;
    rig.blocker.Flush(now);
    EXPECT_EQ(rig.said.back(),
              "scan response: 2970 more hosts were not blocked (at most 30 a minute and 1000 at "
              "a time): 10.0.0.30, 10.0.0.31, 10.0.0.32, 10.0.0.33, 10.0.0.34, ...");
    // Minute after minute, the set never holds more than its cap while the bans last.
    for (int minute = 0; minute < 40; ++minute, now += 61s) {
        alertFrom(100);
        rig.blocker.Flush(now + 60s);
    }
    EXPECT_EQ(rig.batches.size(), 1u + CHostBlocker::kMaxBlocked);
    EXPECT_NE(rig.said.back().find("were not blocked"), std::string::npos) << rig.said.back();
}

TEST(HostBlockerTest, DryRunOnlySaysWhatItWouldBlock) {
    BlockerRig rig;
    rig.blocker.Configure(BlockMode::DryRun);
    rig.blocker.OnAlert(Found("192.0.2.7"), {{}, false, 60});
    rig.blocker.OnAlert(Found("127.0.0.1"), {{}, false, 60});
    EXPECT_EQ(rig.batches, std::vector<std::string>{RemoveBlockTableCommands()});
    ASSERT_EQ(rig.said.size(), 2u);  // the first says that a left table was removed
    EXPECT_EQ(rig.said[1], "scan response (dry run): would block 192.0.2.7 for 60 s");
}

TEST(HostBlockerTest, BlockingOffAtTheStartRemovesATableAnEarlierRunLeft) {
    BlockerRig rig;
    rig.blocker.Configure(BlockMode::Off);
    rig.blocker.Configure(BlockMode::Off);  // a reload: once is enough
    EXPECT_EQ(rig.batches, std::vector<std::string>{RemoveBlockTableCommands()});
    EXPECT_EQ(rig.said, std::vector<std::string>{
                            "scan response: removed the table of blocked hosts an earlier run "
                            "left"});
}

TEST(HostBlockerTest, WithoutThePrivilegeItSaysWhyOnceAndBlocksNothing) {
    std::vector<std::string> batches;
    std::vector<std::string> said;
    CHostBlocker blocker(std::make_unique<RecordingRunner>(batches, true),
                         [&said](const std::string& text) { said.push_back(text); });
    blocker.Configure(BlockMode::Block);
    blocker.Configure(BlockMode::Block);  // a reload tries again, silently
    blocker.OnAlert(Found("192.0.2.7"), {{}, false, 60});
    EXPECT_FALSE(blocker.Active());
    EXPECT_EQ(batches.size(), 2u);  // the two table attempts, no element
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("CAP_NET_ADMIN"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("Operation not permitted"), std::string::npos) << said[0];
}

std::string CommandOutput(const char* command) {
    std::string output;
    const std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command, "r"), &::pclose);
    if (!pipe) {
        return output;
    }
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), chunk.size(), pipe.get()) != nullptr) {
        output += chunk.data();
    }
    return output;
}

// Keeps the hosts that alerted; any thread.
class HostList : public IScanAlerter {
public:
    void Raise(const ScanFinding& finding, const std::string&) override {
        std::lock_guard lock(mutex_);
        hosts_.insert(finding.host);
    }
    std::set<std::string> Hosts() {
        std::lock_guard lock(mutex_);
        return hosts_;
    }

private:
    std::mutex mutex_;
    std::set<std::string> hosts_;
};

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A bare SYN from `source` to `target`:`port`, IPv4 or IPv6, as a raw IP packet. No checksum:
// the probe sensor reads the packet before the stack checks one.
std::vector<std::uint8_t> ForgedSyn(const std::string& source, const std::string& target,
                                    int port) {
    const bool ipv6 = source.find(':') != std::string::npos;
    const std::size_t header = ipv6 ? 40 : 20;
    std::vector<std::uint8_t> packet(header + 20, 0);
    if (ipv6) {
        packet[0] = 0x60;
        packet[5] = 20;  // payload length
        packet[6] = IPPROTO_TCP;
        packet[7] = 64;
        ::inet_pton(AF_INET6, source.c_str(), &packet[8]);
        ::inet_pton(AF_INET6, target.c_str(), &packet[24]);
    } else {
        packet[0] = 0x45;
        packet[3] = static_cast<std::uint8_t>(packet.size());
        packet[8] = 64;
        packet[9] = IPPROTO_TCP;
        ::inet_pton(AF_INET, source.c_str(), &packet[12]);
        ::inet_pton(AF_INET, target.c_str(), &packet[16]);
    }
    std::uint8_t* tcp = &packet[header];
    tcp[0] = 0x9c;
    tcp[2] = static_cast<std::uint8_t>(port >> 8);
    tcp[3] = static_cast<std::uint8_t>(port);
    tcp[12] = 0x50;
    tcp[13] = 0x02;  // SYN
    tcp[14] = 0x04;
    return packet;
}

bool SendForged(const std::string& source, const std::string& target, int port) {
    const bool ipv6 = source.find(':') != std::string::npos;
    UniqueFd raw(::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    sockaddr_storage to{};
    socklen_t length = 0;
    if (ipv6) {
        auto* to6 = reinterpret_cast<sockaddr_in6*>(&to);
        to6->sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, target.c_str(), &to6->sin6_addr);
        length = sizeof *to6;
    } else {
        auto* to4 = reinterpret_cast<sockaddr_in*>(&to);
        to4->sin_family = AF_INET;
        ::inet_pton(AF_INET, target.c_str(), &to4->sin_addr);
        length = sizeof *to4;
    }
    const std::vector<std::uint8_t> packet = ForgedSyn(source, target, port);
    return raw &&
           ::sendto(raw.Get(), packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    length) == static_cast<ssize_t>(packet.size());
}

// One run of the scan watcher in a network namespace of its own, so the machine's firewall is
// never touched: this host is 198.18.0.1 and fd00::1 on one end of a veth pair, its gateways
// 198.18.0.254 and fd00::fe. Forged SYNs come from every address of `sources`.
struct NamespaceCase {
    const char* name;
    const char* settings;              // the [ScanWatch] lines
    std::vector<std::string> blocked;  // what the table must hold, and nothing else
};

const std::vector<std::string> kForgedSources = {
    "198.18.0.254", "198.18.0.1", "198.18.0.255", "224.0.0.9", "198.18.5.9",
    "198.18.0.77",  "fd00::fe",   "fd00::77",     "ff02::1",
};
const std::set<std::string> kAlerting = {"198.18.0.254", "198.18.0.1", "198.18.0.255", "224.0.0.9",
                                         "198.18.0.77",  "fd00::fe",   "fd00::77",     "ff02::1"};

// Exit codes: 0 passed, 77 no namespace or veth pair, 78 no nftables, 79 no packet socket,
// others a failed check (said on standard error).
int WatchInPrivateNamespace(const NamespaceCase& c) {
    if (::unshare(CLONE_NEWNET) != 0 ||
        !Run("ip link set lo up && ip link add v0 type veth peer name v1 && "
             "ip addr add 198.18.0.1/24 dev v0 && ip -6 addr add fd00::1/64 dev v0 nodad && "
             "ip link set v0 up && ip link set v1 up && "
             "ip route add default via 198.18.0.254 && ip -6 route add default via fd00::fe")) {
        return 77;
    }
    if (!Run("nft add table inet tarvik")) {  // what an earlier run may leave
        return 78;
    }
    const std::filesystem::path file = test::ScanSettingsFile();
    std::ofstream(file) << "[ScanWatch]\nthreshold=3\nignorehosts=127.0.0.1, 198.18.5.0/24\n"
                        << c.settings;
    CWorkerHub hub;
    CSettingsStore settings(file, test::NoInterfaces());
    test::Recorder<ScanAlertEvent> alerted;
    alerted.Start();
    hub.Register(&alerted);
    auto hosts = std::make_unique<HostList>();
    HostList* alerts = hosts.get();
    CScanWatcherThread watcher(settings, hub, std::move(hosts), "127.0.0.1", ProbeSensing::On);
    watcher.Start();
    for (int i = 0; i < 100 && !watcher.SensingProbes(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    if (!watcher.SensingProbes()) {
        return 79;
    }
    for (const std::string& source : kForgedSources) {
        for (int port : {21, 22, 23}) {
            const std::string target =
                source.find(':') != std::string::npos ? "fd00::1" : "198.18.0.1";
            if (!SendForged(source, target, port)) {
                std::fprintf(stderr, "cannot send from %s\n", source.c_str());
                return 1;
            }
        }
    }
    for (int i = 0; i < 50 && alerted.Count() < kAlerting.size(); ++i) {
        watcher.Post(ScanCheck{});
        alerted.WaitFor(kAlerting.size(), 100ms);
    }
    const std::string table = CommandOutput("nft list table inet tarvik 2>&1");
    watcher.PostQuit();
    watcher.Join();
    hub.Clear();
    int failed = 0;
    if (alerts->Hosts() != kAlerting) {
        std::fprintf(stderr, "alerts from:");
        for (const std::string& host : alerts->Hosts()) {
            std::fprintf(stderr, " %s", host.c_str());
        }
        std::fprintf(stderr, "\n");
        failed = 2;
    }
    for (const std::string& source : kForgedSources) {
        const bool expected =
            std::find(c.blocked.begin(), c.blocked.end(), source) != c.blocked.end();
        if ((table.find(source + " ") != std::string::npos) != expected) {
            std::fprintf(stderr, "%s %s in the table:\n%s\n", source.c_str(),
                         expected ? "missing" : "wrongly", table.c_str());
            failed = 3;
        }
    }
    if (CommandOutput("nft list tables 2>&1").find("tarvik") != std::string::npos) {
        std::fprintf(stderr, "the table outlived the run\n");
        failed = 4;
    }
    return failed;
}

TEST(HostBlockerTest, ForgedSynsInAPrivateNetworkNamespaceCannotAimTheResponse) {
    if (CommandOutput("command -v nft && command -v ip").empty()) {
        GTEST_SKIP() << "nft or ip is not installed, so no namespace can be set up";
    }
    const std::vector<NamespaceCase> cases = {
        {"probes blocked on request", "block=1\nblockprobes=1\n", {"198.18.0.77", "fd00::77"}},
        {"probes never blocked by default", "block=1\n", {}},
        {"blocking off removes an earlier run's table", "block=0\nblockprobes=1\n", {}},
    };
    for (const NamespaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::_exit(WatchInPrivateNamespace(c));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        switch (WEXITSTATUS(status)) {
            case 77:
                GTEST_SKIP() << "no network namespace with a veth pair here (needs CAP_SYS_ADMIN)";
            case 78:
                GTEST_SKIP() << "nftables refused a table here (needs CAP_NET_ADMIN, nf_tables)";
            case 79:
                GTEST_SKIP() << "no packet socket here (needs CAP_NET_RAW)";
            default:
                EXPECT_EQ(WEXITSTATUS(status), 0)
                    << "2: wrong alerts; 3: wrong table; 4: table left (see standard error)";
        }
    }
}

}  // namespace
}  // namespace tarvik
