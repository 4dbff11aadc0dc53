#include "acquisition/BpfEventSource.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/KernelTableSource.h"
#include "acquisition/UdpDiag.h"
#include "base/UniqueFd.h"
#include "support/ScanLoopback.h"

namespace tarvik {
namespace {

// Linux TCP states as the program reports them.
constexpr std::uint8_t kEstablished = 1;
constexpr std::uint8_t kSynSent = 2;
constexpr std::uint8_t kClose = 7;
constexpr std::uint8_t kListen = 10;

// MIB-II states as rows carry them.

AddressBytes V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {a, b, c, d};
}

AddressBytes Mapped(const AddressBytes& v4) {
    AddressBytes mapped{};
    mapped[10] = 0xff;
    mapped[11] = 0xff;
    std::memcpy(mapped.data() + 12, v4.data(), 4);
    return mapped;
}

AddressBytes V6Loopback() {
    AddressBytes address{};
    address[15] = 1;
    return address;
}

tarvik_tcp_sample Sample(std::uint8_t family, std::uint8_t state, const AddressBytes& source,
                         const AddressBytes& destination) {
    tarvik_tcp_sample sample{};
    sample.cookie = 0x1234'5678'9abcULL;
    sample.time_ns = 7'000'000'000ULL;
    sample.inode = 4242;
    std::memcpy(sample.saddr, source.data(), 16);
    std::memcpy(sample.daddr, destination.data(), 16);
    sample.uid = 1000;
    sample.sport = 40000;
    sample.dport = 443;
    sample.family = family;
    sample.newstate = state;
    return sample;
}

// -- The conversion of raw samples, without the kernel -----------------------------------

TEST(BpfSampleConversion, Ipv4StateChangeCarriesEverythingTheSocketSaid) {
    const auto sample = Sample(AF_INET, kEstablished, V4(10, 0, 0, 1), V4(192, 0, 2, 7));
    const auto event = TcpEventFromSample(sample, 0);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, TcpEvent::Kind::Changed);
    TcpRow expected;
    expected.family = AddressFamily::Ipv4;
    expected.localAddress = V4(10, 0, 0, 1);
    expected.localPort = 40000;
    expected.remoteAddress = V4(192, 0, 2, 7);
    expected.remotePort = 443;
    expected.state = TcpState::Established;
    expected.cookie = 0x1234'5678'9abcULL;
    expected.uid = 1000;
    expected.inode = 4242;
    EXPECT_EQ(event->row, expected);
    EXPECT_EQ(event->time, 7);
}

TEST(BpfSampleConversion, TcpCloseIsAnEndedEventThatKeepsItsAddresses) {
    const auto sample = Sample(AF_INET, kClose, V4(127, 0, 0, 1), V4(127, 0, 0, 2));
    const auto event = TcpEventFromSample(sample, 0);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->kind, TcpEvent::Kind::Ended);
    EXPECT_EQ(event->row.state, TcpState::Closed);
    EXPECT_EQ(event->row.remoteAddress, V4(127, 0, 0, 2));
    EXPECT_EQ(event->row.cookie, sample.cookie);
}

TEST(BpfSampleConversion, CountsArePayloadAndTheFinFlagCountsOnlyAtTheClose) {
    struct Case {
        std::uint8_t state;
        std::uint32_t flags;
        ByteCounts expected;
    } cases[] = {
        {kClose, TARVIK_SAMPLE_HAS_SENT | TARVIK_SAMPLE_FIN_IN, {100000, 7000}},
        {kClose, TARVIK_SAMPLE_HAS_SENT, {100000, 7001}},  // reset: no FIN came
        {kEstablished,
         TARVIK_SAMPLE_HAS_SENT | TARVIK_SAMPLE_FIN_IN,
         {100000, 7001}},  // shut here, not by the peer
    };
    for (const Case& c : cases) {
        auto sample = Sample(AF_INET, c.state, V4(127, 0, 0, 1), V4(127, 0, 0, 2));
        sample.bytes_acked = 100002;
        sample.bytes_sent = 100000;
        sample.bytes_received = 7001;
        sample.flags = c.flags;
        const auto event = TcpEventFromSample(sample, 0);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->row.bytes, c.expected) << int{c.state} << " " << c.flags;
    }
}

TEST(BpfSampleConversion, MappedSocketBecomesAnIpv4RowAndPlainIpv6StaysIpv6) {
    const auto mapped = TcpEventFromSample(
        Sample(AF_INET6, kSynSent, Mapped(V4(127, 0, 0, 1)), Mapped(V4(127, 0, 0, 9))), 0);
    ASSERT_TRUE(mapped.has_value());
    EXPECT_EQ(mapped->row.family, AddressFamily::Ipv4);
    EXPECT_EQ(mapped->row.localAddress, V4(127, 0, 0, 1));
    EXPECT_EQ(mapped->row.remoteAddress, V4(127, 0, 0, 9));
    EXPECT_EQ(mapped->row.state, TcpState::SynSent);

    // Before the kernel chose the local port the change says nothing a row could hold.
    auto unbound = Sample(AF_INET, kSynSent, V4(127, 0, 0, 1), V4(127, 0, 0, 9));
    unbound.sport = 0;
    EXPECT_FALSE(TcpEventFromSample(unbound, 0).has_value());
    unbound.newstate = kClose;
    EXPECT_TRUE(TcpEventFromSample(unbound, 0).has_value());

    const auto plain = TcpEventFromSample(Sample(AF_INET6, kClose, V6Loopback(), V6Loopback()), 0);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->kind, TcpEvent::Kind::Ended);
    EXPECT_EQ(plain->row.family, AddressFamily::Ipv6);
    EXPECT_EQ(plain->row.localAddress, V6Loopback());
}

TEST(BpfSampleConversion, ListenerOnTheIpv6AnyAddressFollowsItsV6OnlyFlag) {
    auto sample = Sample(AF_INET6, kListen, AddressBytes{}, AddressBytes{});
    const auto dualStack = TcpEventFromSample(sample, 0);
    ASSERT_TRUE(dualStack.has_value());
    EXPECT_EQ(dualStack->row.family, AddressFamily::Ipv4);
    EXPECT_EQ(dualStack->row.state, TcpState::Listen);

    sample.v6only = 1;
    const auto v6Only = TcpEventFromSample(sample, 0);
    ASSERT_TRUE(v6Only.has_value());
    EXPECT_EQ(v6Only->row.family, AddressFamily::Ipv6);
}

TEST(BpfSampleConversion, Ipv4SampleIgnoresBytesPastItsAddress) {
    AddressBytes noisy = V4(10, 1, 2, 3);
    noisy[9] = 0x55;
    const auto event = TcpEventFromSample(Sample(AF_INET, kEstablished, noisy, noisy), 0);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->row.localAddress, V4(10, 1, 2, 3));
    EXPECT_EQ(event->row.remoteAddress, V4(10, 1, 2, 3));
}

TEST(BpfSampleConversion, UnknownFamilyOrStateGivesNoEvent) {
    EXPECT_FALSE(TcpEventFromSample(Sample(AF_UNIX, kEstablished, {}, {}), 0).has_value());
    EXPECT_FALSE(TcpEventFromSample(Sample(AF_INET, 0, {}, {}), 0).has_value());
    EXPECT_FALSE(TcpEventFromSample(Sample(AF_INET, 13, {}, {}), 0).has_value());
    EXPECT_FALSE(TcpEventFromSample(Sample(AF_INET, 255, {}, {}), 0).has_value());
}

TEST(BpfSampleConversion, WallClockIsTheMonotonicStampPlusTheOffset) {
    auto sample = Sample(AF_INET, kEstablished, V4(10, 0, 0, 1), V4(10, 0, 0, 2));
    sample.time_ns = 5'600'000'000ULL;  // 5.6 s after boot
    EXPECT_EQ(TcpEventFromSample(sample, 1'700'000'000'500'000'000LL)->time, 1'700'000'006);
    EXPECT_EQ(TcpEventFromSample(sample, -600'000'001LL)->time, 4);
    // A stamp no clock can reach still gives a time, not an overflow.
    sample.time_ns = ~0ULL;
    const auto far = TcpEventFromSample(sample, 1'700'000'000'000'000'000LL);
    ASSERT_TRUE(far.has_value());
    EXPECT_GT(far->time, 1'700'000'000);
}

// The offset is whatever the two clocks gave; at its extremes the seconds are still the floor of
// stamp plus offset, with no signed overflow on the way (the sanitizer build checks that).
TEST(BpfSampleConversion, WallClockAtTheExtremesOfStampAndOffset) {
    constexpr std::int64_t kMin = INT64_MIN;
    constexpr std::int64_t kMax = INT64_MAX;
    struct Case {
        std::uint64_t stampNs;
        std::int64_t offsetNs;
        std::time_t seconds;
    };
    const Case cases[] = {
        {0, kMin, -9'223'372'037},
        {999'999'999, kMin, -9'223'372'036},
        {UINT64_MAX, kMin, 9'223'372'036},
        {0, kMin + 1, -9'223'372'037},
        {0, kMax, 9'223'372'036},
        {UINT64_MAX, kMax, 27'670'116'110},
        {0, -1, -1},
        {1, -1, 0},
        {0, -1'000'000'000, -1},
        {999'999'999, 1, 1},
    };
    auto sample = Sample(AF_INET, kEstablished, V4(10, 0, 0, 1), V4(10, 0, 0, 2));
    for (const Case& c : cases) {
        sample.time_ns = c.stampNs;
        const auto event = TcpEventFromSample(sample, c.offsetNs);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(event->time, c.seconds) << c.stampNs << " " << c.offsetNs;
    }
}

// The connecting process rides on the SYN_SENT sample, which makes no event of its own, to
// the socket's next event; once, and bounded.
TEST(BpfSampleConversion, TheOpeningProcessGoesToTheSocketsFirstEventOnce) {
    COpeningProcesses openers;
    auto synSent = Sample(AF_INET, kSynSent, V4(10, 0, 0, 1), V4(10, 0, 0, 2));
    synSent.sport = 0;
    synSent.tgid = 4321;
    std::memcpy(synSent.comm, "curl", 4);
    openers.Note(synSent);
    EXPECT_FALSE(TcpEventFromSample(synSent, 0).has_value());

    auto established =
        TcpEventFromSample(Sample(AF_INET, kEstablished, V4(10, 0, 0, 1), V4(10, 0, 0, 2)), 0);
    ASSERT_TRUE(established.has_value());
    openers.Attach(*established);
    EXPECT_EQ(established->pid, 4321);
    EXPECT_EQ(established->command, "curl");
    auto closed = TcpEventFromSample(Sample(AF_INET, kClose, V4(10, 0, 0, 1), V4(10, 0, 0, 2)), 0);
    ASSERT_TRUE(closed.has_value());
    openers.Attach(*closed);
    EXPECT_EQ(closed->pid, 0);
    EXPECT_TRUE(closed->command.empty());

    // A name of the full sixteen bytes has no terminator to stop at.
    std::memcpy(synSent.comm, "abcdefghijklmnop", 16);
    openers.Note(synSent);
    openers.Attach(*established);
    EXPECT_EQ(established->command, "abcdefghijklmnop");

    // Sockets whose later samples were lost do not pile up.
    for (std::uint64_t cookie = 1; cookie <= COpeningProcesses::kMaxWaiting + 10; ++cookie) {
        synSent.cookie = cookie;
        openers.Note(synSent);
        ASSERT_LE(openers.Waiting(), COpeningProcesses::kMaxWaiting);
    }
}

// An accept names the process that took the socket, in an event of its own that changes no
// state; the socket's other events of the same drain get the name too, whatever their order.
TEST(BpfSampleConversion, AnAcceptIsAnOwnerEventThatNamesTheSocketsOtherEvents) {
    auto accepted = Sample(AF_INET, kEstablished, V4(127, 0, 0, 1), V4(127, 0, 0, 2));
    accepted.kind = TARVIK_SAMPLE_ACCEPTED;
    accepted.tgid = 999;
    std::memcpy(accepted.comm, "sshd", 4);
    const auto owner = TcpEventFromSample(accepted, 0);
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->kind, TcpEvent::Kind::Owner);
    EXPECT_EQ(owner->row.state, TcpState::Established);
    EXPECT_EQ(owner->row.inode, accepted.inode);
    EXPECT_EQ(owner->pid, 999);
    EXPECT_EQ(owner->command, "sshd");
    COpeningProcesses openers;
    openers.Note(accepted);
    EXPECT_EQ(openers.Waiting(), 0u) << "an accept is not waited on like a connect";

    auto nobody = accepted;
    nobody.tgid = 0;
    EXPECT_FALSE(TcpEventFromSample(nobody, 0).has_value());

    const auto eventOf = [](std::uint64_t cookie, TcpEvent::Kind kind, int pid) {
        TcpEvent event;
        event.kind = kind;
        event.row.cookie = cookie;
        event.pid = pid;
        return event;
    };
    using Kind = TcpEvent::Kind;
    std::vector<TcpEvent> drained = {
        eventOf(accepted.cookie, Kind::Changed, 0),
        eventOf(5, Kind::Changed, 0),
        eventOf(6, Kind::Changed, 77),
        *owner,
        eventOf(6, Kind::Owner, 88),
        eventOf(accepted.cookie, Kind::Ended, 0),
    };
    NameAcceptedSockets(drained);
    const std::vector<int> pids = {999, 0, 77, 999, 88, 999};
    ASSERT_EQ(drained.size(), pids.size());
    for (std::size_t i = 0; i < pids.size(); ++i) {
        EXPECT_EQ(drained[i].pid, pids[i]) << "event " << i;
        EXPECT_EQ(drained[i].command, pids[i] == 999 ? "sshd" : "") << "event " << i;
    }
}

// -- The real program on loopback traffic --------------------------------------------------

std::unique_ptr<IEventSource> OpenOrReason(std::string& reason) {
    return OpenBpfEventSource(&reason);
}

struct Endpoint {
    int family = AF_INET;
    sockaddr_storage address{};
    socklen_t length = 0;
};

UniqueFd Listen(int family, Endpoint& endpoint) {
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    endpoint = {};
    endpoint.family = family;
    if (family == AF_INET) {
        auto* address = reinterpret_cast<sockaddr_in*>(&endpoint.address);
        address->sin_family = AF_INET;
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        endpoint.length = sizeof(sockaddr_in);
    } else {
        auto* address = reinterpret_cast<sockaddr_in6*>(&endpoint.address);
        address->sin6_family = AF_INET6;
        address->sin6_addr = in6addr_loopback;
        endpoint.length = sizeof(sockaddr_in6);
    }
    if (!fd || bind(fd.Get(), reinterpret_cast<sockaddr*>(&endpoint.address), endpoint.length) ||
        listen(fd.Get(), 64) != 0) {
        return {};
    }
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&endpoint.address), &endpoint.length);
    return fd;
}

// An IPv6 socket to the IPv4 listener through its mapped address.
Endpoint MappedEndpoint(const Endpoint& v4) {
    Endpoint mapped;
    mapped.family = AF_INET6;
    auto* address = reinterpret_cast<sockaddr_in6*>(&mapped.address);
    address->sin6_family = AF_INET6;
    address->sin6_port = reinterpret_cast<const sockaddr_in*>(&v4.address)->sin_port;
    address->sin6_addr.s6_addr[10] = 0xff;
    address->sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&address->sin6_addr.s6_addr[12],
                &reinterpret_cast<const sockaddr_in*>(&v4.address)->sin_addr, 4);
    mapped.length = sizeof(sockaddr_in6);
    return mapped;
}

// One connection of the test, both ends held until it ends.
struct Connection {
    UniqueFd client;
    UniqueFd server;
    AddressFamily expectedFamily = AddressFamily::Ipv4;
    std::uint16_t clientPort = 0;
    std::uint16_t serverPort = 0;
    bool reset = false;
};

std::optional<Connection> Connect(const Endpoint& to, int listener, AddressFamily family) {
    Connection connection;
    connection.client.Reset(socket(to.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!connection.client ||
        connect(connection.client.Get(), reinterpret_cast<const sockaddr*>(&to.address),
                to.length) != 0) {
        return std::nullopt;
    }
    connection.server.Reset(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.server) {
        return std::nullopt;
    }
    connection.expectedFamily = family;
    connection.clientPort = test::LocalPortOf(connection.client.Get());
    connection.serverPort = test::LocalPortOf(connection.server.Get());
    return connection;
}

void Close(Connection& connection) {
    if (connection.reset) {
        const linger abort{1, 0};
        setsockopt(connection.client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    connection.client.Reset();
    connection.server.Reset();
}

// What the test expects of one socket's events.
struct Expected {
    AddressFamily family = AddressFamily::Ipv4;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::uint64_t inode = 0;  // as the dump reported it
    bool accepted = false;    // the listener's side, which the test process accepted
};

// An order every socket's states follow, whichever side closes first and however.
int Rank(TcpState mibState) {
    switch (mibState) {
        case TcpState::SynSent:      // SYN_SENT
        case TcpState::SynReceived:  // SYN_RECEIVED
            return 0;
        case TcpState::Established:  // ESTABLISHED
            return 1;
        case TcpState::FinWait1:   // FIN_WAIT1
        case TcpState::CloseWait:  // CLOSE_WAIT
            return 2;
        case TcpState::FinWait2:  // FIN_WAIT2
        case TcpState::LastAck:   // LAST_ACK
        case TcpState::Closing:   // CLOSING
            return 3;
        case TcpState::TimeWait:  // TIME_WAIT
            return 4;
        case TcpState::Closed:  // CLOSED
            return 5;
        default:
            return -1;
    }
}

// Finds each held socket in a sock_diag dump: its cookie is the identity the events carry.
void RecordCookies(CKernelTableSource& table, const std::vector<Connection>& connections,
                   std::map<std::uint64_t, Expected>& expected) {
    const auto sockets = table.DumpSockets();
    ASSERT_TRUE(sockets.has_value());
    for (const auto& connection : connections) {
        const auto record = [&](std::uint16_t local, std::uint16_t remote, bool accepted) {
            for (const auto& socket : *sockets) {
                const auto row = ToRow(socket, false);
                if (row && row->protocol == Protocol::Tcp && row->localPort == local &&
                    row->remotePort == remote && row->family == connection.expectedFamily) {
                    expected[socket.cookie] = {connection.expectedFamily, local, remote,
                                               socket.inode, accepted};
                    return;
                }
            }
            ADD_FAILURE() << "socket " << local << " -> " << remote << " not in the dump";
        };
        record(connection.clientPort, connection.serverPort, false);
        record(connection.serverPort, connection.clientPort, true);
    }
}

TEST(BpfEventSource, EveryShortLoopbackConnectionEndsWithItsCookieAndStatesInOrder) {
    std::string reason;
    auto source = OpenOrReason(reason);
    if (!source) {
        GTEST_SKIP() << reason;
    }
    EXPECT_EQ(source->Mode(), AcquisitionMode::Events);
    EXPECT_FALSE(source->NeedsDumpEveryTick());
    auto table = CKernelTableSource::Open();
    ASSERT_NE(table, nullptr);

    Endpoint v4;
    Endpoint v6;
    const UniqueFd listener4 = Listen(AF_INET, v4);
    const UniqueFd listener6 = Listen(AF_INET6, v6);
    ASSERT_TRUE(listener4.Valid());
    const bool haveIpv6 = listener6.Valid();
    const Endpoint mapped = MappedEndpoint(v4);

    constexpr int kRounds = 10;
    constexpr int kPerRound = 20;
    std::map<std::uint64_t, Expected> expected;
    std::map<std::uint64_t, std::vector<TcpEvent>> seen;
    const auto collect = [&] {
        for (auto& event : source->Drain()) {
            if (expected.contains(event.row.cookie)) {
                seen[event.row.cookie].push_back(event);
            }
        }
    };
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Connection> connections;
        for (int i = 0; i < kPerRound; ++i) {
            const int kind = i % 4;
            std::optional<Connection> connection;
            if (kind == 0 && haveIpv6) {
                connection = Connect(v6, listener6.Get(), AddressFamily::Ipv6);
            } else if (kind == 1) {
                connection = Connect(mapped, listener4.Get(), AddressFamily::Ipv4);
            } else {
                connection = Connect(v4, listener4.Get(), AddressFamily::Ipv4);
            }
            ASSERT_TRUE(connection.has_value()) << std::strerror(errno);
            connection->reset = (i % 3 == 0);
            connections.push_back(std::move(*connection));
        }
        RecordCookies(*table, connections, expected);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (auto& connection : connections) {
            Close(connection);
        }
        collect();
    }
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(2 * kRounds * kPerRound));

    const auto allEnded = [&] {
        for (const auto& [cookie, what] : expected) {
            const auto found = seen.find(cookie);
            if (found == seen.end() || found->second.back().kind != TcpEvent::Kind::Ended) {
                return false;
            }
        }
        return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!allEnded() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        collect();
    }

    for (const auto& [cookie, what] : expected) {
        SCOPED_TRACE("socket " + std::to_string(what.localPort) + " -> " +
                     std::to_string(what.remotePort));
        const auto found = seen.find(cookie);
        ASSERT_NE(found, seen.end());
        const auto& events = found->second;
        const TcpEvent& last = events.back();
        EXPECT_EQ(last.kind, TcpEvent::Kind::Ended);
        EXPECT_EQ(last.row.state, TcpState::Closed);
        EXPECT_EQ(last.row.family, what.family);
        EXPECT_EQ(last.row.localPort, what.localPort);
        EXPECT_EQ(last.row.remotePort, what.remotePort);
        const AddressBytes loopback =
            what.family == AddressFamily::Ipv4 ? V4(127, 0, 0, 1) : V6Loopback();
        EXPECT_EQ(last.row.localAddress, loopback);
        EXPECT_EQ(last.row.remoteAddress, loopback);
        int rank = -1;
        int owners = 0;
        for (const auto& event : events) {
            if (event.kind == TcpEvent::Kind::Owner) {
                // The accept, by this process, whichever family and however it ends.
                ++owners;
                EXPECT_EQ(event.pid, getpid());
                EXPECT_EQ(event.row.inode, what.inode);
                continue;
            }
            EXPECT_GT(Rank(event.row.state), rank) << "state " << static_cast<int>(event.row.state);
            rank = Rank(event.row.state);
        }
        EXPECT_EQ(owners, what.accepted ? 1 : 0);
    }
    EXPECT_FALSE(source->TakeLoss());
}

// The kernel reports SYN_SENT before it picks the local port: that change is left out, so the
// client's first event, established, names the port it connected from.
TEST(BpfEventSource, ClientSocketFirstReportsItselfEstablishedWithItsPort) {
    std::string reason;
    auto source = OpenOrReason(reason);
    if (!source) {
        GTEST_SKIP() << reason;
    }
    auto table = CKernelTableSource::Open();
    ASSERT_NE(table, nullptr);
    Endpoint v4;
    const UniqueFd listener = Listen(AF_INET, v4);
    ASSERT_TRUE(listener.Valid());
    std::vector<Connection> connections;
    auto connection = Connect(v4, listener.Get(), AddressFamily::Ipv4);
    ASSERT_TRUE(connection.has_value());
    const std::uint16_t clientPort = connection->clientPort;
    const std::uint16_t serverPort = connection->serverPort;
    connections.push_back(std::move(*connection));
    std::map<std::uint64_t, Expected> cookies;
    RecordCookies(*table, connections, cookies);
    std::uint64_t clientCookie = 0;
    std::uint64_t clientInode = 0;
    for (const auto& [cookie, what] : cookies) {
        if (what.localPort == clientPort) {
            clientCookie = cookie;
            clientInode = what.inode;
        }
    }
    ASSERT_NE(clientCookie, 0u);

    std::vector<TcpEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (events.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto& event : source->Drain()) {
            if (event.row.cookie == clientCookie) {
                events.push_back(std::move(event));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].row.state, TcpState::Established);
    EXPECT_EQ(events[0].row.localPort, clientPort);
    EXPECT_EQ(events[0].row.remotePort, serverPort);
    for (const auto& event : events) {
        EXPECT_EQ(event.kind, TcpEvent::Kind::Changed);
        EXPECT_EQ(event.row.uid, getuid());
        EXPECT_NE(event.row.inode, 0u);
        EXPECT_EQ(event.row.inode, clientInode);
        EXPECT_LE(std::abs(event.time - std::time(nullptr)), 5);
    }
}

// A listen, a connect and an accept from a named thread: the first event of the listener and
// of the client socket, and the accept's own event, name the process (its pid and the name
// /proc/<pid>/comm shows), not the thread.
TEST(BpfEventSource, ListenersClientAndAcceptedSocketsNameTheirProcess) {
    std::string reason;
    auto source = OpenOrReason(reason);
    if (!source) {
        GTEST_SKIP() << reason;
    }
    Endpoint v4;
    UniqueFd listener;
    std::optional<Connection> connection;
    std::thread([&] {
        ::pthread_setname_np(::pthread_self(), "connector");
        listener = Listen(AF_INET, v4);
        if (listener.Valid()) {
            connection = Connect(v4, listener.Get(), AddressFamily::Ipv4);
        }
    }).join();
    ASSERT_TRUE(listener.Valid());
    ASSERT_TRUE(connection.has_value());
    std::string processName;
    std::getline(std::ifstream("/proc/self/comm"), processName);

    std::optional<TcpEvent> listening;
    std::optional<TcpEvent> client;
    std::optional<TcpEvent> server;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while ((!listening || !client || !server) && std::chrono::steady_clock::now() < deadline) {
        for (auto& event : source->Drain()) {
            if (event.kind == TcpEvent::Kind::Ended) {
                continue;
            }
            if (event.kind == TcpEvent::Kind::Owner) {
                if (event.row.localPort == connection->serverPort &&
                    event.row.remotePort == connection->clientPort) {
                    server = std::move(event);
                }
            } else if (event.row.state == TcpState::Listen &&
                       event.row.localPort == connection->serverPort && !listening) {
                listening = std::move(event);
            } else if (event.row.localPort == connection->clientPort && !client) {
                client = std::move(event);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(listening.has_value());
    ASSERT_TRUE(client.has_value());
    ASSERT_TRUE(server.has_value());
    EXPECT_EQ(listening->pid, getpid());
    EXPECT_EQ(listening->command, processName);
    EXPECT_EQ(client->pid, getpid());
    EXPECT_EQ(client->command, processName);
    EXPECT_EQ(server->pid, getpid());
    EXPECT_EQ(server->command, processName);
    EXPECT_EQ(server->row.state, TcpState::Established);
}

TEST(BpfEventSource, DestroyingTheSourceStopsItsReaderPromptly) {
    std::string reason;
    auto source = OpenOrReason(reason);
    if (!source) {
        GTEST_SKIP() << reason;
    }
    auto done = std::async(std::launch::async, [&source] { source.reset(); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(3)), std::future_status::ready);
}

// Unmounts tracefs (and debugfs, which would mount it again on a look) in a mount namespace of
// the calling thread's own; the machine's mounts stay. False with the reason where it cannot.
bool HideTracefs(std::string& reason) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        reason = std::string("no mount namespace of its own: ") + std::strerror(errno);
        return false;
    }
    for (const char* path :
         {"/sys/kernel/debug/tracing", "/sys/kernel/debug", "/sys/kernel/tracing"}) {
        umount2(path, MNT_DETACH);
    }
    return access("/sys/kernel/tracing/events", F_OK) != 0 &&
           access("/sys/kernel/debug/tracing/events", F_OK) != 0;
}

// The accept event of the socket accepted on `serverPort` from `clientPort`, within 3 s.
std::optional<TcpEvent> AcceptOf(IEventSource& source, std::uint16_t serverPort,
                                 std::uint16_t clientPort) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        for (auto& event : source.Drain()) {
            if (event.kind == TcpEvent::Kind::Owner && event.row.localPort == serverPort &&
                event.row.remotePort == clientPort) {
                return std::move(event);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

// Where the kernel refuses a hook on inet_accept's end, the accept system calls' own
// tracepoints name the process, never a hook on every system call: also with tracefs unmounted,
// which the loader then mounts where only its own thread sees it.
TEST(BpfEventSource, AcceptAndAccept4NameTheirProcessWithTracefsMountedOrNot) {
    if (access("/sys/kernel/tracing/events/syscalls/sys_exit_accept4", F_OK) != 0 &&
        access("/sys/kernel/debug/tracing/events/syscalls/sys_exit_accept4", F_OK) != 0) {
        GTEST_SKIP() << "no system call tracepoints in a mounted tracefs";
    }
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "tracefs unmounted" : "tracefs mounted");
        std::string reason;
        std::unique_ptr<IEventSource> source;
        std::thread([&] {
            if (!hidden || HideTracefs(reason)) {
                source = OpenOrReason(reason);
            }
        }).join();
        if (!source) {
            GTEST_SKIP() << reason;
        }
        EXPECT_NE(source->Detail(), "accepting processes: not followed");
        Endpoint v4;
        const UniqueFd listener = Listen(AF_INET, v4);
        for (const bool four : {false, true}) {
            const UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            ASSERT_EQ(
                connect(client.Get(), reinterpret_cast<const sockaddr*>(&v4.address), v4.length),
                0);
            const UniqueFd server(four ? accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)
                                       : accept(listener.Get(), nullptr, nullptr));
            ASSERT_TRUE(server);
            const auto accepted =
                AcceptOf(*source, test::LocalPortOf(server.Get()), test::LocalPortOf(client.Get()));
            ASSERT_TRUE(accepted.has_value()) << (four ? "accept4" : "accept");
            EXPECT_EQ(accepted->pid, getpid());
        }
    }
}

// In a child in a network namespace of its own: one loopback connection, made and closed.
// Writes the cookies of its sockets to `out`, or "skip: " and why.
void ConnectInOtherNamespace(int out) {
    const auto fail = [out](const std::string& why) {
        const std::string text = "skip: " + why + ": " + std::strerror(errno);
        [[maybe_unused]] const ssize_t written = write(out, text.data(), text.size());
        _exit(0);
    };
    if (unshare(CLONE_NEWNET) != 0) {
        fail("unshare");
    }
    const UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq loopback{};
    std::strcpy(loopback.ifr_name, "lo");
    if (ioctl(control.Get(), SIOCGIFFLAGS, &loopback) != 0) {
        fail("loopback flags");
    }
    loopback.ifr_flags |= IFF_UP;
    if (ioctl(control.Get(), SIOCSIFFLAGS, &loopback) != 0) {
        fail("loopback up");
    }
    Endpoint v4;
    const UniqueFd listener = Listen(AF_INET, v4);
    auto connection = Connect(v4, listener.Get(), AddressFamily::Ipv4);
    auto table = CKernelTableSource::Open();
    if (!connection || !table) {
        fail("connection");
    }
    std::vector<Connection> connections;
    connections.push_back(std::move(*connection));
    std::map<std::uint64_t, Expected> cookies;
    RecordCookies(*table, connections, cookies);
    for (auto& held : connections) {
        Close(held);
    }
    for (const auto& [cookie, what] : cookies) {
        [[maybe_unused]] const ssize_t written = write(out, &cookie, sizeof cookie);
    }
    _exit(0);
}

TEST(BpfEventSource, SocketsOfAnotherNetworkNamespaceAreLeftOut) {
    std::string reason;
    auto source = OpenOrReason(reason);
    if (!source) {
        GTEST_SKIP() << reason;
    }
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    const pid_t child = fork();
    if (child == 0) {
        ConnectInOtherNamespace(writeEnd.Get());
    }
    writeEnd.Reset();
    std::string answer;
    char buffer[256];
    ssize_t got = 0;
    while ((got = read(readEnd.Get(), buffer, sizeof buffer)) > 0) {
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (answer.starts_with("skip: ")) {
        GTEST_SKIP() << answer.substr(6);
    }
    ASSERT_EQ(answer.size(), 2 * sizeof(std::uint64_t));
    std::uint64_t foreign[2];
    std::memcpy(foreign, answer.data(), sizeof foreign);

    // A connection here, after the child's: once its events arrived, the child's would have.
    auto table = CKernelTableSource::Open();
    ASSERT_NE(table, nullptr);
    Endpoint v4;
    const UniqueFd listener = Listen(AF_INET, v4);
    std::vector<Connection> connections;
    auto connection = Connect(v4, listener.Get(), AddressFamily::Ipv4);
    ASSERT_TRUE(connection.has_value());
    connections.push_back(std::move(*connection));
    std::map<std::uint64_t, Expected> local;
    RecordCookies(*table, connections, local);
    ASSERT_FALSE(local.empty());

    bool sawLocal = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!sawLocal && std::chrono::steady_clock::now() < deadline) {
        for (const auto& event : source->Drain()) {
            sawLocal = sawLocal || local.contains(event.row.cookie);
            EXPECT_NE(event.row.cookie, foreign[0]);
            EXPECT_NE(event.row.cookie, foreign[1]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(sawLocal);
}

struct ChildAnswer {
    std::string reason;
    int status = -1;
};

// Runs the open as nobody, without capabilities, in a child; the reason it gave. The child
// leaves through exit(), so that a sanitized build's leak check looks at the failed open.
ChildAnswer ReasonAsNobody() {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return {"pipe failed"};
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        std::string reason = "privileges not dropped";
        if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
            setresuid(kNobody, kNobody, kNobody) == 0) {
            reason.clear();
            if (OpenBpfEventSource(&reason) != nullptr) {
                reason = "loaded";
            }
        }
        [[maybe_unused]] const ssize_t written =
            write(writeEnd.Get(), reason.data(), reason.size());
        writeEnd.Reset();
        std::exit(0);
    }
    writeEnd.Reset();
    ChildAnswer answer;
    char buffer[512];
    ssize_t got = 0;
    while ((got = read(readEnd.Get(), buffer, sizeof buffer)) > 0) {
        answer.reason.append(buffer, static_cast<std::size_t>(got));
    }
    waitpid(child, &answer.status, 0);
    return answer;
}

TEST(BpfEventSource, UnprivilegedOpenFailsWithTheErrnoTextAndWhatIsNeeded) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to drop to an unprivileged user";
    }
    std::string reason;
    if (OpenOrReason(reason) == nullptr) {
        GTEST_SKIP() << reason;
    }
    const auto [unprivileged, status] = ReasonAsNobody();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_NE(unprivileged, "loaded");
    EXPECT_NE(unprivileged.find("CAP_BPF and CAP_PERFMON"), std::string::npos) << unprivileged;
    EXPECT_NE(unprivileged.find(std::strerror(EPERM)), std::string::npos) << unprivileged;
}

}  // namespace
}  // namespace tarvik
