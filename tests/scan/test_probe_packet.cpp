#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <semaphore>
#include <tuple>
#include <vector>

#include "scan/ProbePacket.h"
#include "scan/ProbeSensor.h"
#include "support/ClassicBpf.h"

namespace tarvik {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10, kUrg = 0x20,
                       kEce = 0x40;

// A TCP header to `port` with `flags` and `optionBytes` of options.
Bytes Tcp(int port, std::uint8_t flags, int optionBytes = 4) {
    Bytes tcp(20 + optionBytes, 0);
    tcp[0] = 0xd4;
    tcp[1] = 0x31;
    tcp[2] = static_cast<std::uint8_t>(port >> 8);
    tcp[3] = static_cast<std::uint8_t>(port);
    tcp[12] = static_cast<std::uint8_t>(((20 + optionBytes) / 4) << 4);
    tcp[13] = flags;
    return tcp;
}

Bytes Ipv4(const char* source, const Bytes& tcp, std::uint16_t fragment = 0) {
    Bytes packet(20, 0);
    packet[0] = 0x45;
    packet[6] = static_cast<std::uint8_t>(fragment >> 8);
    packet[7] = static_cast<std::uint8_t>(fragment);
    packet[9] = 6;
    inet_pton(AF_INET, source, packet.data() + 12);
    packet.insert(packet.end(), tcp.begin(), tcp.end());
    return packet;
}

Bytes Ipv6(const char* source, const Bytes& tcp, std::uint8_t next = 6) {
    Bytes packet(40, 0);
    packet[0] = 0x60;
    packet[6] = next;
    inet_pton(AF_INET6, source, packet.data() + 8);
    packet.insert(packet.end(), tcp.begin(), tcp.end());
    return packet;
}

std::optional<Probe> Parse(const Bytes& packet, std::uint16_t protocol = ETH_P_IP) {
    return ParseProbe(packet, protocol);
}

TEST(ProbePacket, EachScanFlagSetIsItsKind) {
    const std::vector<std::pair<std::uint8_t, ProbeKind>> cases = {
        {kSyn, ProbeKind::Syn}, {kSyn | kEce, ProbeKind::Syn},         {kFin, ProbeKind::Fin},
        {0, ProbeKind::Null},   {kFin | kPsh | kUrg, ProbeKind::Xmas},
    };
    for (const auto& [flags, kind] : cases) {
        const std::optional<Probe> probe = Parse(Ipv4("192.0.2.9", Tcp(8080, flags)));
        ASSERT_TRUE(probe) << int(flags);
        EXPECT_EQ(probe->kind, kind) << int(flags);
        EXPECT_EQ(probe->remoteAddress, "192.0.2.9");
        EXPECT_EQ(probe->localPort, 8080);
    }
}

TEST(ProbePacket, AnOrdinaryStacksSynIsAConnect) {
    // MSS, SACK, timestamps and window scale: 20 bytes of options.
    const std::optional<Probe> probe = Parse(Ipv4("192.0.2.9", Tcp(22, kSyn, 20)));
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->kind, ProbeKind::Connect);
}

TEST(ProbePacket, SegmentsOfConnectionsAndOddFlagSetsAreNoProbes) {
    for (std::uint8_t flags :
         {std::uint8_t(kSyn | kAck), kAck, kRst, std::uint8_t(kFin | kAck),
          std::uint8_t(kRst | kAck), std::uint8_t(kSyn | kFin), std::uint8_t(kFin | kPsh), kPsh}) {
        EXPECT_FALSE(Parse(Ipv4("192.0.2.9", Tcp(80, flags)))) << int(flags);
    }
}

TEST(ProbePacket, UnansweredPacketsAreNamedByTheirFlags) {
    const std::vector<std::tuple<Transport, std::uint8_t, std::optional<ProbeKind>>> cases = {
        {Transport::Udp, 0, ProbeKind::Udp},
        {Transport::Tcp, kAck, ProbeKind::Ack},
        {Transport::Tcp, kAck | kEce, ProbeKind::Ack},
        {Transport::Tcp, kFin | kAck, ProbeKind::Maimon},
        {Transport::Tcp, kFin | kPsh | kUrg, ProbeKind::Xmas},
        {Transport::Tcp, kSyn, ProbeKind::Syn},
        {Transport::Tcp, kAck | kPsh, std::nullopt},  // data of a connection long gone
        {Transport::Tcp, kSyn | kAck, std::nullopt},  // the answer to someone else's forgery
        {Transport::Tcp, kRst, std::nullopt},
    };
    for (const auto& [transport, flags, kind] : cases) {
        EXPECT_EQ(UnansweredKindOf(transport, flags, 24), kind) << int(flags);
    }
    AddressBytes remote{};
    inet_pton(AF_INET6, "fd00::9", remote.data());
    const std::optional<Probe> probe =
        ProbeOf({AddressFamily::Ipv6, remote, 40000, 161, Transport::Udp, 0, 0});
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->remoteAddress, "fd00::9");
    EXPECT_EQ(probe->localPort, 161);
}

TEST(ProbePacket, Ipv6AndMappedSources) {
    std::optional<Probe> probe = ParseProbe(Ipv6("2001:db8::7", Tcp(443, kFin)), ETH_P_IPV6);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->remoteAddress, "2001:db8::7");
    EXPECT_EQ(probe->localPort, 443);
    EXPECT_EQ(probe->kind, ProbeKind::Fin);
    probe = ParseProbe(Ipv6("::ffff:192.0.2.4", Tcp(443, kSyn)), ETH_P_IPV6);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->remoteAddress, "192.0.2.4") << "counted as the IPv4 host it is";
    EXPECT_FALSE(ParseProbe(Ipv6("2001:db8::7", Tcp(443, kSyn), 0), ETH_P_IPV6))
        << "extension headers are not followed";
}

TEST(ProbePacket, MalformedOrForeignPacketsAreNothing) {
    const Bytes good = Ipv4("192.0.2.9", Tcp(80, kSyn));
    for (std::size_t length = 0; length < good.size(); ++length) {
        EXPECT_FALSE(Parse(Bytes(good.begin(), good.begin() + long(length)))) << length;
    }
    EXPECT_FALSE(Parse(good, ETH_P_ARP));
    EXPECT_FALSE(Parse(good, ETH_P_IPV6)) << "the protocol decides the header";
    Bytes udp = good;
    udp[9] = 17;
    EXPECT_FALSE(Parse(udp));
    EXPECT_FALSE(Parse(Ipv4("192.0.2.9", Tcp(80, kSyn), 0x0010))) << "a later fragment";
    Bytes shortHeader = good;
    shortHeader[0] = 0x44;  // an IPv4 header length below 20 bytes
    EXPECT_FALSE(Parse(shortHeader));
    Bytes badOffset = good;
    badOffset[20 + 12] = 0x40;  // a TCP header length below 20 bytes
    EXPECT_FALSE(Parse(badOffset));
    Bytes longOffset = good;
    longOffset[20 + 12] = 0xf0;  // 60 bytes claimed, 24 present
    EXPECT_FALSE(Parse(longOffset));
}

TEST(ProbePacket, TheKernelFilterIsAValidProgram) {
    // Every jump must land inside the program and it must end in returns.
    const std::vector<sock_filter> program = ProbeFilterProgram();
    ASSERT_FALSE(program.empty());
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        if (BPF_CLASS(program[pc].code) == BPF_JMP) {
            EXPECT_LT(pc + 1 + program[pc].jt, program.size()) << pc;
            EXPECT_LT(pc + 1 + program[pc].jf, program.size()) << pc;
        }
    }
    EXPECT_EQ(BPF_CLASS(program.back().code), BPF_RET);
}

TEST(ProbePacket, TheKernelFilterKeepsOnlySegmentsThatMayBeProbes) {
    Bytes withOptions = Ipv4("192.0.2.9", Tcp(80, kSyn));
    withOptions.insert(withOptions.begin() + 20, 4, 0x01);  // an IPv4 header of 24 bytes
    withOptions[0] = 0x46;
    Bytes ackWithOptions = withOptions;
    ackWithOptions[24 + 13] = kAck;
    struct Case {
        const char* name;
        Bytes packet;
        std::uint16_t protocol;
        bool kept;
        std::uint32_t pktType = PACKET_HOST;
    };
    const std::vector<Case> cases = {
        {"SYN", Ipv4("192.0.2.9", Tcp(80, kSyn)), ETH_P_IP, true},
        {"FIN", Ipv4("192.0.2.9", Tcp(80, kFin)), ETH_P_IP, true},
        {"NULL", Ipv4("192.0.2.9", Tcp(80, 0)), ETH_P_IP, true},
        {"Xmas", Ipv4("192.0.2.9", Tcp(80, kFin | kPsh | kUrg)), ETH_P_IP, true},
        {"SYN+ACK", Ipv4("192.0.2.9", Tcp(80, kSyn | kAck)), ETH_P_IP, false},
        {"ACK", Ipv4("192.0.2.9", Tcp(80, kAck)), ETH_P_IP, false},
        {"RST", Ipv4("192.0.2.9", Tcp(80, kRst)), ETH_P_IP, false},
        {"FIN+ACK", Ipv4("192.0.2.9", Tcp(80, kFin | kAck)), ETH_P_IP, false},
        {"first fragment", Ipv4("192.0.2.9", Tcp(80, kSyn), 0x2000), ETH_P_IP, true},
        {"later fragment", Ipv4("192.0.2.9", Tcp(80, kSyn), 0x2001), ETH_P_IP, false},
        {"SYN after IPv4 options", withOptions, ETH_P_IP, true},
        {"ACK after IPv4 options", ackWithOptions, ETH_P_IP, false},
        {"our own SYN", Ipv4("192.0.2.9", Tcp(80, kSyn)), ETH_P_IP, false, PACKET_OUTGOING},
        {"IPv6 SYN", Ipv6("2001:db8::7", Tcp(80, kSyn)), ETH_P_IPV6, true},
        {"IPv6 Xmas", Ipv6("2001:db8::7", Tcp(80, kFin | kPsh | kUrg)), ETH_P_IPV6, true},
        {"IPv6 SYN+ACK", Ipv6("2001:db8::7", Tcp(80, kSyn | kAck)), ETH_P_IPV6, false},
        {"IPv6 ACK", Ipv6("2001:db8::7", Tcp(80, kAck)), ETH_P_IPV6, false},
        {"IPv6 RST", Ipv6("2001:db8::7", Tcp(80, kRst)), ETH_P_IPV6, false},
        {"IPv6 extension header", Ipv6("2001:db8::7", Tcp(80, kSyn), 0), ETH_P_IPV6, false},
        {"ARP", Ipv4("192.0.2.9", Tcp(80, kSyn)), ETH_P_ARP, false},
    };
    const std::vector<sock_filter> program = ProbeFilterProgram();
    for (const Case& c : cases) {
        Bytes packet = c.packet;
        packet.resize(packet.size() + 100);  // payload: the filter must keep the headers only
        const std::optional<std::uint32_t> kept =
            test::RunClassicBpf(program, packet, {c.pktType, c.protocol});
        ASSERT_TRUE(kept) << c.name << ": the program ran off its end or used an unknown op";
        EXPECT_EQ(*kept > 0, c.kept) << c.name;
        if (*kept > 0 && c.pktType == PACKET_HOST) {
            // What the kernel hands over is enough to read the probe.
            packet.resize(std::min<std::size_t>(packet.size(), *kept));
            EXPECT_TRUE(Parse(packet, c.protocol)) << c.name;
        }
    }
}

TEST(ProbeQueue, HoldsAtMostItsBoundAndWakesTheOwnerOncePerEmptyQueue) {
    CProbeQueue queue;
    auto batch = [](std::size_t count, int port) {
        return std::vector<Probe>(count, Probe{"192.0.2.9", port, ProbeKind::Syn});
    };
    std::vector<Probe> none;
    EXPECT_FALSE(queue.Add(none)) << "nothing to wake the owner for";
    std::vector<Probe> first = batch(CProbeQueue::kMaxQueued - 1, 1);
    EXPECT_TRUE(queue.Add(first));
    EXPECT_TRUE(first.empty());
    std::vector<Probe> flood = batch(3, 2);
    EXPECT_FALSE(queue.Add(flood)) << "the owner was woken already";
    EXPECT_EQ(queue.Dropped(), 2u);

    const std::vector<Probe> taken = queue.Take();
    ASSERT_EQ(taken.size(), CProbeQueue::kMaxQueued);
    EXPECT_EQ(taken.front().localPort, 1);
    EXPECT_EQ(taken.back().localPort, 2);
    std::vector<Probe> later = batch(1, 3);
    EXPECT_TRUE(queue.Add(later)) << "a queue the owner emptied wakes it again";
    EXPECT_EQ(queue.Take().size(), 1u);
    EXPECT_EQ(queue.Dropped(), 2u);
}

// The socket pair's datagrams stand for packets: the packet type in the first byte, then the
// network header; the link protocol follows from the IP version.
ssize_t ReceiveFromPair(int fd, std::span<std::uint8_t> buffer, sockaddr_ll& from) {
    std::uint8_t datagram[512];
    const ssize_t got = ::recv(fd, datagram, sizeof datagram, 0);
    if (got < 2) {
        return got < 0 ? got : 0;
    }
    const std::size_t length = std::min(buffer.size(), static_cast<std::size_t>(got - 1));
    std::memcpy(buffer.data(), datagram + 1, length);
    from.sll_pkttype = datagram[0];
    from.sll_protocol = htons((datagram[1] >> 4) == 6 ? ETH_P_IPV6 : ETH_P_IP);
    return static_cast<ssize_t>(length);
}

TEST(ProbeSensor, ProbesWakeTheOwnerOncePerEmptiedQueueAndAStopEndsTheWait) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
    const UniqueFd wire(pair[0]);
    UniqueFd sensorEnd(pair[1]);
    ASSERT_EQ(::fcntl(sensorEnd.Get(), F_SETFL, O_NONBLOCK), 0);
    auto send = [&](std::uint8_t type, Bytes packet) {
        packet.insert(packet.begin(), type);
        ASSERT_EQ(::send(wire.Get(), packet.data(), packet.size(), 0), ssize_t(packet.size()));
    };
    // Waiting before the start: one round reads them all.
    send(PACKET_HOST, Ipv4("192.0.2.9", Tcp(8080, kSyn)));
    send(PACKET_OUTGOING, Ipv4("192.0.2.9", Tcp(8081, kSyn)));  // our own, seen on loopback
    send(PACKET_HOST, Ipv4("192.0.2.9", Tcp(80, kSyn | kAck)));
    send(PACKET_HOST, Ipv6("2001:db8::7", Tcp(443, kFin)));

    CProbeSensor sensor;
    ASSERT_EQ(sensor.OpenOn(std::move(sensorEnd), ReceiveFromPair), "");
    std::counting_semaphore<> wakes(0);
    sensor.Start([&] { wakes.release(); });
    wakes.acquire();
    std::vector<Probe> probes = sensor.Take();
    ASSERT_EQ(probes.size(), 2u);
    EXPECT_EQ(probes[0].localPort, 8080);
    EXPECT_EQ(probes[1].remoteAddress, "2001:db8::7");
    EXPECT_FALSE(wakes.try_acquire()) << "one wake for the round";

    send(PACKET_HOST, Ipv4("192.0.2.10", Tcp(22, 0)));
    wakes.acquire();  // the owner emptied the queue: the next probe wakes it again
    probes = sensor.Take();
    ASSERT_EQ(probes.size(), 1u);
    EXPECT_EQ(probes[0].kind, ProbeKind::Null);
    // The thread waits without a time limit now: only the stop can end it.
    sensor.Stop();
}

}  // namespace
}  // namespace tarvik
