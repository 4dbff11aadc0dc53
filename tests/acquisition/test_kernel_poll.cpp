#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "acquisition/ConnectionRows.h"
#include "acquisition/KernelTableSource.h"
#include "acquisition/ProcessTable.h"
#include "base/UniqueFd.h"
#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"
#include "support/RecordingNotifier.h"
#include "support/ScanLoopback.h"
#include "tracking/DataThread.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

UniqueFd Listener4() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 8) != 0) {
        return {};
    }
    return fd;
}

// A listener on the IPv6 any-address (dual-stack) or on ::1 only; invalid without IPv6.
UniqueFd Listener6(bool any) {
    UniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = any ? in6addr_any : in6addr_loopback;
    const int no = 0;
    setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    if (!fd || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 8) != 0) {
        return {};
    }
    return fd;
}

// A listener on [::] that takes no IPv4 traffic; invalid without IPv6.
UniqueFd ListenerV6Only() {
    UniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    const int yes = 1;
    if (!fd || setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes) != 0 ||
        bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 8) != 0) {
        return {};
    }
    return fd;
}

UniqueFd Connect6(int port) {
    UniqueFd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

std::string OwnCommand() {
    std::string command;
    std::getline(std::ifstream("/proc/self/comm"), command);
    return command;
}

UniqueFd Connect4(int port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// An IPv4 loopback connection: the listener, both ends and their ports; empty sockets when it
// could not be made.
struct LoopbackConnection4 {
    UniqueFd listener = Listener4();
    int port = listener ? test::LocalPortOf(listener.Get()) : 0;
    UniqueFd client = listener ? Connect4(port) : UniqueFd();
    UniqueFd server = client ? UniqueFd(accept(listener.Get(), nullptr, nullptr)) : UniqueFd();
    int clientPort = client ? test::LocalPortOf(client.Get()) : 0;

    bool Made() const { return server.Valid(); }
};

std::vector<CConnectionRecord> WithPort(const std::vector<CConnectionRecord>& records, int port) {
    std::vector<CConnectionRecord> found;
    for (const auto& record : records) {
        // TIME_WAIT leftovers of an earlier life of the port (a busy machine) are not ours.
        if (record.state == TcpState::TimeWait) {
            continue;
        }
        if (record.localPort == port ||
            (record.remotePort == port && record.state != TcpState::Listen)) {
            found.push_back(record);
        }
    }
    return found;
}

UniqueFd BoundOnly4() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// The sanitizer build (address and undefined together) checks dynamic types by probing memory
// through a pipe, which cannot be made while every descriptor is taken: its reports there are
// false.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kChecksNeedDescriptors = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kChecksNeedDescriptors = true;
#else
constexpr bool kChecksNeedDescriptors = false;
#endif
#else
constexpr bool kChecksNeedDescriptors = false;
#endif

// Lowers the soft descriptor limit and fills every free slot below it; gives all back (slots
// and limit) on Release() or destruction.
class CDescriptorExhaustion {
public:
    CDescriptorExhaustion() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        UniqueFd seed(open("/dev/null", O_RDONLY | O_CLOEXEC));
        rlimit low = saved_;
        low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, kLimit);
        if (!seed || setrlimit(RLIMIT_NOFILE, &low) != 0) {
            return;
        }
        lowered_ = true;
        for (rlim_t i = 0; i < kLimit; ++i) {
            UniqueFd copy(fcntl(seed.Get(), F_DUPFD_CLOEXEC, 0));
            if (!copy) {
                full_ = errno == EMFILE;
                break;
            }
            held_.push_back(std::move(copy));
        }
        if (full_) {
            held_.push_back(std::move(seed));  // its slot too
        }
    }
    ~CDescriptorExhaustion() { Release(); }

    bool Full() const { return full_; }
    void Release() {
        held_.clear();
        if (lowered_) {
            setrlimit(RLIMIT_NOFILE, &saved_);
            lowered_ = false;
        }
    }

private:
    static constexpr rlim_t kLimit = 256;
    rlimit saved_{};
    bool lowered_ = false;
    bool full_ = false;
    std::vector<UniqueFd> held_;
};

using CCollectedMessages = test::RecordingNotifier;

class KernelPollerTest : public ::testing::Test {
protected:
    KernelPollerTest()
        : settings(std::filesystem::temp_directory_path() / "tarvik-acq-absent" / "k",
                   [] { return std::vector<std::string>{}; }) {
        hub.SetUserNotifier(messages);
        hub.Register(&recorder);
        recorder.Start();
    }
    ~KernelPollerTest() override { hub.Clear(); }

    std::unique_ptr<CDataThread> MakePoller() {
        return std::make_unique<CDataThread>(settings, hub, OpenKernelTableSource(),
                                             std::make_shared<const CServicesDatabase>());
    }

    bool Listed(int port) const {
        const auto records = recorder.Records();
        return std::any_of(records.begin(), records.end(), [&](const CConnectionRecord& r) {
            return r.localPort == port && r.state == TcpState::Listen;
        });
    }

    std::shared_ptr<CCollectedMessages> messages = std::make_shared<CCollectedMessages>();
    CWorkerHub hub;
    CSettingsStore settings;
    testing::CSnapshotRecorder recorder;
};

TEST_F(KernelPollerTest, ThePollerKeepsItsSocketWhenDescriptorsRunOut) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    auto poller = MakePoller();
    if (kChecksNeedDescriptors) {
        GTEST_SKIP() << "the sanitizer's memory probes need free descriptors";
    }
    CDescriptorExhaustion exhaustion;
    if (!exhaustion.Full()) {
        GTEST_SKIP() << "cannot lower the descriptor limit and fill it";
    }
    poller->Poll();
    exhaustion.Release();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    EXPECT_TRUE(Listed(test::LocalPortOf(listener.Get())));
    EXPECT_TRUE(messages->Messages().empty());
}

TEST_F(KernelPollerTest, APollerStartedWithoutDescriptorsSaysWhyAndRecovers) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    if (kChecksNeedDescriptors) {
        GTEST_SKIP() << "the sanitizer's memory probes need free descriptors";
    }
    CDescriptorExhaustion exhaustion;
    if (!exhaustion.Full()) {
        GTEST_SKIP() << "cannot lower the descriptor limit and fill it";
    }
    auto poller = MakePoller();
    poller->Poll();
    exhaustion.Release();
    poller->Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    EXPECT_TRUE(Listed(test::LocalPortOf(listener.Get())));
    // The poll that failed sent nothing: one snapshot in all.
    EXPECT_EQ(recorder.Snapshots().size(), 1u);
    const auto texts = messages->Messages();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("Too many open files"), std::string::npos) << texts[0];
    EXPECT_NE(texts[1].find("read again"), std::string::npos) << texts[1];
}

TEST(KernelTableTest, ABoundButUnconnectedSocketIsNoRow) {
    UniqueFd bound = BoundOnly4();
    ASSERT_TRUE(bound);
    const int port = test::LocalPortOf(bound.Get());
    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    const auto sockets = source->DumpSockets();
    ASSERT_TRUE(sockets);
    const bool dumped = std::any_of(sockets->begin(), sockets->end(),
                                    [&](const DiagSocket& s) { return s.sourcePort == port; });
    const auto rows = source->TcpRows();
    ASSERT_TRUE(rows);
    EXPECT_EQ(std::count_if(rows->begin(), rows->end(),
                            [&](const TcpRow& row) {
                                return row.localPort == port && row.state != TcpState::TimeWait;
                            }),
              0);
    if (!dumped) {
        GTEST_SKIP() << "this kernel does not report bound-only sockets; the row filter is "
                        "tested on parsed messages";
    }
}

TEST(KernelTableTest, ASocketErrorFailsThatDumpAndTheNextOneUsesAFreshSocket) {
    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    // Put a datagram socket where the netlink socket was: the next request cannot be sent.
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(udp);
    const int slot = source->Descriptor();
    ASSERT_EQ(dup3(udp.Get(), slot, O_CLOEXEC), slot);
    EXPECT_FALSE(source->TcpRows());
    EXPECT_NE(source->LastError(), 0);
    EXPECT_TRUE(source->HasSocket());
    EXPECT_TRUE(source->TcpRows());
    EXPECT_EQ(source->LastError(), 0);
}

TEST(KernelTableTest, EachSocketHasItsOwnCookieForItsWholeLife) {
    LoopbackConnection4 connection;
    ASSERT_TRUE(connection.Made());
    const int port = connection.port;
    const int clientPort = connection.clientPort;
    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);

    // (local port, remote port) -> cookie; listener, server end, client end.
    const auto cookies = [&] {
        std::map<std::pair<int, int>, std::uint64_t> found;
        const auto rows = source->TcpRows();
        EXPECT_TRUE(rows);
        // Only these three: a busy machine may hold TIME_WAIT sockets of an earlier life of
        // either port.
        const std::set<std::pair<int, int>> ours = {
            {port, 0}, {port, clientPort}, {clientPort, port}};
        for (const TcpRow& row : rows.value_or(std::vector<TcpRow>{})) {
            if (ours.contains({row.localPort, row.remotePort}) && row.state != TcpState::TimeWait) {
                found[{row.localPort, row.remotePort}] = row.cookie;
            }
        }
        return found;
    };
    const auto first = cookies();
    ASSERT_EQ(first.size(), 3u);
    std::vector<std::uint64_t> values;
    for (const auto& [ends, cookie] : first) {
        EXPECT_NE(cookie, 0u);
        values.push_back(cookie);
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(std::adjacent_find(values.begin(), values.end()), values.end());
    EXPECT_EQ(cookies(), first);
}

TEST(KernelTableTest, ByteCountsRideOnTheDumpsOfTheirPeriod) {
    LoopbackConnection4 connection;
    ASSERT_TRUE(connection.Made());
    const int port = connection.port;
    const int clientPort = connection.clientPort;
    const std::vector<char> data(1000, 'x');
    ASSERT_EQ(::send(connection.client.Get(), data.data(), data.size(), 0), 1000);
    std::vector<char> got(data.size());
    ASSERT_EQ(::recv(connection.server.Get(), got.data(), got.size(), MSG_WAITALL), 1000);

    const struct {
        int period;
        std::vector<std::uint64_t> received;  // by the server's side, dump by dump
    } cases[] = {
        {1, {1000, 1000, 1000, 1000}},
        {3, {1000, 0, 0, 1000}},
        {0, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        auto source = CKernelTableSource::Open();
        ASSERT_NE(source, nullptr);
        source->SetByteCountPeriod(c.period);
        std::vector<std::uint64_t> received;
        for (std::size_t dump = 0; dump < c.received.size(); ++dump) {
            const auto rows = source->TcpRows();
            ASSERT_TRUE(rows);
            const auto row = std::find_if(rows->begin(), rows->end(), [&](const TcpRow& r) {
                return r.localPort == port && r.remotePort == clientPort;
            });
            ASSERT_NE(row, rows->end());
            received.push_back(row->bytes.received);
        }
        EXPECT_EQ(received, c.received) << "every " << c.period << " dumps";
    }
}

TEST(KernelPollTest, OnePollSeesALoopbackListenerAndBothEndsOfAConnection) {
    LoopbackConnection4 connection;
    ASSERT_TRUE(connection.Made());
    const int port = connection.port;
    const int clientPort = connection.clientPort;

    CWorkerHub hub;
    CSettingsStore settings(std::filesystem::temp_directory_path() / "tarvik-acq-absent" / "k",
                            [] { return std::vector<std::string>{}; });
    testing::CSnapshotRecorder recorder;
    hub.Register(&recorder);
    recorder.Start();
    const std::string services = "tarvik-test " + std::to_string(port) + "/tcp\n";
    CDataThread poller(
        settings, hub, OpenKernelTableSource(),
        std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText(services)));
    poller.Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    hub.Clear();

    const auto ours = WithPort(recorder.Records(), port);
    ASSERT_EQ(ours.size(), 3u);
    const auto find = [&](int localPort, TcpState state) {
        const auto found = std::find_if(ours.begin(), ours.end(), [&](const auto& r) {
            return r.localPort == localPort && r.state == state;
        });
        return found != ours.end() ? *found : CConnectionRecord{};
    };
    const CConnectionRecord listening = find(port, TcpState::Listen);
    const CConnectionRecord serverEnd = find(port, TcpState::Established);
    const CConnectionRecord clientEnd = find(clientPort, TcpState::Established);

    EXPECT_EQ(listening.category, Category::Listening);
    EXPECT_EQ(listening.state, TcpState::Listen);
    EXPECT_EQ(listening.interfaceText, "127.0.0.1");
    EXPECT_EQ(listening.ipAddress, "n/a");
    EXPECT_EQ(listening.serviceText, "tarvik-test server");

    EXPECT_EQ(serverEnd.category, Category::Inbound);
    EXPECT_EQ(serverEnd.state, TcpState::Established);
    EXPECT_EQ(serverEnd.localPort, port);
    EXPECT_EQ(serverEnd.remotePort, clientPort);
    EXPECT_EQ(serverEnd.hostName, "localhost");
    EXPECT_EQ(serverEnd.serviceText, "tarvik-test");

    EXPECT_EQ(clientEnd.category, Category::Outbound);
    EXPECT_EQ(clientEnd.localPort, clientPort);
    EXPECT_EQ(clientEnd.remotePort, port);
    EXPECT_EQ(clientEnd.serviceText, "tarvik-test");
}

TEST(KernelPollTest, DualStackListenersCountAsIpv4AndIpv6OnlyOnesDoNot) {
    UniqueFd dualStack = Listener6(true);
    UniqueFd v6Only = Listener6(false);
    if (!dualStack || !v6Only) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    const auto rows = source->TcpRows();
    ASSERT_TRUE(rows);
    const auto has = [&](int port) {
        return std::count_if(rows->begin(), rows->end(), [&](const TcpRow& row) {
            return row.localPort == port && row.state == TcpState::Listen &&
                   row.family == AddressFamily::Ipv4 && row.localAddress == AddressBytes{};
        });
    };
    EXPECT_EQ(has(test::LocalPortOf(dualStack.Get())), 1);
    EXPECT_EQ(has(test::LocalPortOf(v6Only.Get())), 0);
}

TEST(KernelPollTest, TimeWaitSocketsAreInTheDump) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    UniqueFd client = Connect4(test::LocalPortOf(listener.Get()));
    ASSERT_TRUE(client);
    UniqueFd server(accept(listener.Get(), nullptr, nullptr));
    ASSERT_TRUE(server);
    const int clientPort = test::LocalPortOf(client.Get());
    client.Reset();  // the side that closes first ends in TIME_WAIT
    server.Reset();

    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    TcpState state{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (state != TcpState::TimeWait && std::chrono::steady_clock::now() < deadline) {
        const auto rows = source->TcpRows();
        ASSERT_TRUE(rows);
        for (const TcpRow& row : *rows) {
            if (row.localPort == clientPort && row.localAddress == testing::Address("127.0.0.1")) {
                state = row.state;
            }
        }
        if (state != TcpState::TimeWait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(state, TcpState::TimeWait);
}

TEST(KernelPollTest, OneRequestAndPerFamilyRequestsSeeTheSameSockets) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    const int port = test::LocalPortOf(listener.Get());
    auto both = CKernelTableSource::Open(CKernelTableSource::Mode::BothFamilies);
    auto perFamily = CKernelTableSource::Open(CKernelTableSource::Mode::PerFamily);
    ASSERT_TRUE(both && perFamily);
    for (auto* source : {both.get(), perFamily.get()}) {
        const auto rows = source->TcpRows();
        ASSERT_TRUE(rows);
        const TcpRow expected = testing::Row("127.0.0.1", port, "0.0.0.0", 0, TcpState::Listen);
        EXPECT_EQ(std::count_if(rows->begin(), rows->end(),
                                [&](TcpRow row) {
                                    EXPECT_NE(row.cookie, 0u);
                                    row.cookie = 0;
                                    row.uid = 0;
                                    row.inode = 0;
                                    return row == expected;
                                }),
                  1);
    }
}

TEST(KernelPollTest, AnIpv6LoopbackConnectionShowsItsAddressesAndThisProcess) {
    UniqueFd listener = Listener6(false);
    if (!listener) {
        GTEST_SKIP() << "no IPv6 loopback here: " << std::strerror(errno);
    }
    const int port = test::LocalPortOf(listener.Get());
    UniqueFd client = Connect6(port);
    ASSERT_TRUE(client) << std::strerror(errno);
    UniqueFd server(accept(listener.Get(), nullptr, nullptr));
    ASSERT_TRUE(server);
    const int clientPort = test::LocalPortOf(client.Get());

    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    CProcessTable processes;
    // No service names: the server end can be inbound only by the listening-port rule.
    const CServicesDatabase services;
    std::vector<CConnectionRecord> records;
    if (const auto rows = source->TcpRows()) {
        records = ClassifiedRecords(*rows, services);
    }
    processes.Fill(records);
    const auto ours = WithPort(records, port);
    ASSERT_EQ(ours.size(), 3u);
    const std::string command = OwnCommand();
    for (const CConnectionRecord& record : ours) {
        EXPECT_EQ(record.family, AddressFamily::Ipv6);
        EXPECT_EQ(record.interfaceText, "::1");
        EXPECT_EQ(record.pid, ::getpid()) << record.localPort;
        EXPECT_EQ(record.command, command);
        if (record.state == TcpState::Listen) {
            EXPECT_EQ(record.category, Category::Listening);
            continue;
        }
        EXPECT_EQ(record.ipAddress, "::1");
        EXPECT_EQ(record.hostName, "localhost");
        if (record.localPort == port) {
            EXPECT_EQ(record.category, Category::Inbound);
            EXPECT_EQ(record.remotePort, clientPort);
        } else {
            EXPECT_EQ(record.localPort, clientPort);
            EXPECT_EQ(record.category, Category::Unknown);
        }
    }
}

TEST(KernelPollTest, AnIpv6OnlyListenerOnEveryAddressIsShownOnIpv6Loopback) {
    UniqueFd listener = ListenerV6Only();
    if (!listener) {
        GTEST_SKIP() << "no IPv6 here: " << std::strerror(errno);
    }
    const int port = test::LocalPortOf(listener.Get());
    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    const auto rows = source->TcpRows();
    ASSERT_TRUE(rows);
    const auto records = ClassifiedRecords(*rows, CServicesDatabase{});
    // Only the listener: a TIME_WAIT pair of an earlier test may hold the same port number.
    std::vector<CConnectionRecord> ours;
    for (const CConnectionRecord& record : WithPort(records, port)) {
        if (record.state == TcpState::Listen && record.localPort == port) {
            ours.push_back(record);
        }
    }
    ASSERT_EQ(ours.size(), 1u);
    EXPECT_EQ(ours[0].interfaceText, "::1");
    EXPECT_EQ(ours[0].category, Category::Listening);
}

// A UDP socket on loopback of `family`, bound, and connected to `peerPort` unless it is 0;
// invalid when the family is missing here.
UniqueFd UdpSocket(int family, int peerPort) {
    UniqueFd fd(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = sizeof(sockaddr_in);
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (!fd || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return {};
    }
    reinterpret_cast<sockaddr_in&>(address).sin_port = htons(static_cast<std::uint16_t>(peerPort));
    if (peerPort != 0 && connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return {};
    }
    return fd;
}

TEST(KernelPollTest, UdpSocketsAreListenersWhenBoundAndConnectionsWhenConnected) {
    for (const auto& [family, addressFamily] :
         {std::pair{AF_INET, AddressFamily::Ipv4}, std::pair{AF_INET6, AddressFamily::Ipv6}}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        UniqueFd bound = UdpSocket(family, 0);
        if (!bound) {
            GTEST_SKIP() << "no loopback of this family here";
        }
        const int boundPort = test::LocalPortOf(bound.Get());
        UniqueFd connected = UdpSocket(family, boundPort);
        ASSERT_TRUE(connected);
        const int connectedPort = test::LocalPortOf(connected.Get());
        auto source = CKernelTableSource::Open();
        ASSERT_NE(source, nullptr);
        const auto rows = source->TcpRows();
        ASSERT_TRUE(rows);
        // No service names: the categories follow from the ports and the listeners alone.
        const auto records = ClassifiedRecords(*rows, CServicesDatabase{});
        struct Expected {
            int port;
            TcpState state;
            const char* stateName;
            Category category;
            int remotePort;
        };
        for (const Expected& want :
             {Expected{boundPort, TcpState::Listen, "unconn", Category::Listening, 0},
              Expected{connectedPort, TcpState::Established, "estab", Category::Unknown,
                       boundPort}}) {
            const auto ours = std::count_if(records.begin(), records.end(), [&](const auto& r) {
                return r.protocol == Protocol::Udp && r.localPort == want.port &&
                       r.family == addressFamily && r.state == want.state &&
                       r.StateName() == want.stateName && r.category == want.category &&
                       r.remotePort == want.remotePort;
            });
            EXPECT_EQ(ours, 1) << "port " << want.port << " " << want.stateName;
        }
    }
}

}  // namespace
}  // namespace tarvik
