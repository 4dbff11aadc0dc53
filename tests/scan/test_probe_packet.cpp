#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "scan/ProbePacket.h"

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

}  // namespace
}  // namespace tarvik
