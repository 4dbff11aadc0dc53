#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "acquisition/DataThread.h"
#include "acquisition/KernelTableSource.h"
#include "acquisition/UniqueFd.h"
#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

int PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

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

std::vector<CConnectionRecord> WithPort(const std::vector<CConnectionRecord>& records, int port) {
    std::vector<CConnectionRecord> found;
    for (const auto& record : records) {
        if (record.localPort == port || (record.remotePort == port && record.state != 2)) {
            found.push_back(record);
        }
    }
    return found;
}

TEST(KernelPollTest, OnePollSeesALoopbackListenerAndBothEndsOfAConnection) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    const int port = PortOf(listener.Get());
    UniqueFd client = Connect4(port);
    ASSERT_TRUE(client);
    UniqueFd server(accept(listener.Get(), nullptr, nullptr));
    ASSERT_TRUE(server);
    const int clientPort = PortOf(client.Get());

    CSettingsStore settings(std::filesystem::temp_directory_path() / "tarvik-acq-absent" / "k",
                            [] { return std::vector<std::string>{}; });
    testing::CSnapshotRecorder recorder;
    settings.Register(&recorder);
    recorder.Start();
    const std::string services = "tarvik-test " + std::to_string(port) + "/tcp\n";
    CDataThread poller(
        settings, LoadKernelAgent(),
        std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText(services)));
    poller.Poll();
    ASSERT_TRUE(recorder.WaitForSnapshots(1));
    settings.Clear();

    const auto ours = WithPort(recorder.Records(), port);
    ASSERT_EQ(ours.size(), 3u);
    // Table order: local address, local port, remote address, remote port.
    const bool listenerFirst = port < clientPort;
    const CConnectionRecord& listening = listenerFirst ? ours[0] : ours[1];
    const CConnectionRecord& serverEnd = listenerFirst ? ours[1] : ours[2];
    const CConnectionRecord& clientEnd = listenerFirst ? ours[2] : ours[0];

    EXPECT_EQ(listening.category, kCategoryListening);
    EXPECT_EQ(listening.state, kStateListen);
    EXPECT_EQ(listening.interfaceText, "127.0.0.1");
    EXPECT_EQ(listening.ipAddress, "n/a");
    EXPECT_EQ(listening.serviceText, "tarvik-test server");

    EXPECT_EQ(serverEnd.category, kCategoryInbound);
    EXPECT_EQ(serverEnd.state, kStateEstablished);
    EXPECT_EQ(serverEnd.localPort, port);
    EXPECT_EQ(serverEnd.remotePort, clientPort);
    EXPECT_EQ(serverEnd.hostName, "localhost");
    EXPECT_EQ(serverEnd.serviceText, "tarvik-test");

    EXPECT_EQ(clientEnd.category, kCategoryOutbound);
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
            return row.localPort == port && row.state == kStateListen &&
                   row.localAddress == Ipv4Octets{0, 0, 0, 0};
        });
    };
    EXPECT_EQ(has(PortOf(dualStack.Get())), 1);
    EXPECT_EQ(has(PortOf(v6Only.Get())), 0);
}

TEST(KernelPollTest, TimeWaitSocketsAreInTheDump) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    UniqueFd client = Connect4(PortOf(listener.Get()));
    ASSERT_TRUE(client);
    UniqueFd server(accept(listener.Get(), nullptr, nullptr));
    ASSERT_TRUE(server);
    const int clientPort = PortOf(client.Get());
    client.Reset();  // the side that closes first ends in TIME_WAIT
    server.Reset();

    auto source = CKernelTableSource::Open();
    ASSERT_NE(source, nullptr);
    int state = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (state != kStateTimeWait && std::chrono::steady_clock::now() < deadline) {
        const auto rows = source->TcpRows();
        ASSERT_TRUE(rows);
        for (const TcpRow& row : *rows) {
            if (row.localPort == clientPort && row.localAddress == Ipv4Octets{127, 0, 0, 1}) {
                state = row.state;
            }
        }
        if (state != kStateTimeWait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_EQ(state, kStateTimeWait);
}

TEST(KernelPollTest, OneRequestAndPerFamilyRequestsSeeTheSameSockets) {
    UniqueFd listener = Listener4();
    ASSERT_TRUE(listener);
    const int port = PortOf(listener.Get());
    auto both = CKernelTableSource::Open(CKernelTableSource::Mode::BothFamilies);
    auto perFamily = CKernelTableSource::Open(CKernelTableSource::Mode::PerFamily);
    ASSERT_TRUE(both && perFamily);
    for (auto* source : {both.get(), perFamily.get()}) {
        const auto rows = source->TcpRows();
        ASSERT_TRUE(rows);
        EXPECT_EQ(std::count(rows->begin(), rows->end(),
                             testing::Row("127.0.0.1", port, "0.0.0.0", 0, kStateListen)),
                  1);
    }
}

}  // namespace
}  // namespace tarvik
