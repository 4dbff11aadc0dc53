#include "scan/ProbePacket.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>

namespace tarvik {

namespace {

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kPsh = 0x08;
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kUrg = 0x20;
constexpr std::uint8_t kFlagMask = 0x3f;  // ECE and CWR say nothing about a scan
constexpr unsigned kMinTcpHeader = 20;
constexpr unsigned kMssOnlyHeader = 24;
constexpr unsigned kIpv4MinHeader = 20;
constexpr unsigned kIpv6Header = 40;
constexpr std::uint8_t kTcp = 6;

unsigned Word16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return (static_cast<unsigned>(bytes[at]) << 8) | bytes[at + 1];
}

// The TCP header at `offset`: the probe it makes, with the address filled in by the caller.
std::optional<Probe> TcpProbe(std::span<const std::uint8_t> packet, std::size_t offset) {
    if (packet.size() < offset + kMinTcpHeader) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> tcp = packet.subspan(offset);
    const unsigned headerLength = (tcp[12] >> 4) * 4U;
    if (headerLength < kMinTcpHeader || tcp.size() < headerLength) {
        return std::nullopt;
    }
    const std::optional<ProbeKind> kind = ProbeKindOf(tcp[13], headerLength);
    if (!kind) {
        return std::nullopt;
    }
    return Probe{{}, static_cast<int>(Word16(tcp, 2)), *kind};
}

std::optional<Probe> ParseIpv4(std::span<const std::uint8_t> packet) {
    if (packet.size() < kIpv4MinHeader || (packet[0] >> 4) != 4 || packet[9] != kTcp) {
        return std::nullopt;
    }
    const unsigned headerLength = (packet[0] & 0x0fU) * 4U;
    const bool laterFragment = (Word16(packet, 6) & 0x1fffU) != 0;
    if (headerLength < kIpv4MinHeader || laterFragment) {
        return std::nullopt;
    }
    std::optional<Probe> probe = TcpProbe(packet, headerLength);
    if (probe) {
        std::array<char, INET_ADDRSTRLEN> text{};
        ::inet_ntop(AF_INET, packet.data() + 12, text.data(), text.size());
        probe->remoteAddress = text.data();
    }
    return probe;
}

std::optional<Probe> ParseIpv6(std::span<const std::uint8_t> packet) {
    // Extension headers are not followed: scans do not send them, and a filter that did would
    // cost every packet.
    if (packet.size() < kIpv6Header || (packet[0] >> 4) != 6 || packet[6] != kTcp) {
        return std::nullopt;
    }
    std::optional<Probe> probe = TcpProbe(packet, kIpv6Header);
    if (!probe) {
        return probe;
    }
    in6_addr source{};
    std::copy_n(packet.data() + 8, sizeof source.s6_addr, source.s6_addr);
    std::array<char, INET6_ADDRSTRLEN> text{};
    if (IN6_IS_ADDR_V4MAPPED(&source)) {
        ::inet_ntop(AF_INET, source.s6_addr + 12, text.data(), text.size());
    } else {
        ::inet_ntop(AF_INET6, &source, text.data(), text.size());
    }
    probe->remoteAddress = text.data();
    return probe;
}

sock_filter Statement(std::uint16_t code, std::uint32_t k) {
    return BPF_STMT(code, k);
}

sock_filter Jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return BPF_JUMP(code, k, jt, jf);
}

}  // namespace

std::optional<ProbeKind> ProbeKindOf(std::uint8_t flags, unsigned tcpHeaderLength) {
    flags &= kFlagMask;
    if ((flags & (kAck | kRst)) != 0) {
        return std::nullopt;
    }
    switch (flags) {
        case kSyn:
            return tcpHeaderLength > kMssOnlyHeader ? ProbeKind::Connect : ProbeKind::Syn;
        case kFin:
            return ProbeKind::Fin;
        case 0:
            return ProbeKind::Null;
        case kFin | kPsh | kUrg:
            return ProbeKind::Xmas;
        default:
            return std::nullopt;
    }
}

std::optional<ProbeKind> UnansweredKindOf(Transport transport, std::uint8_t tcpFlags,
                                          unsigned tcpHeaderLength) {
    if (transport == Transport::Udp) {
        return ProbeKind::Udp;
    }
    switch (tcpFlags & kFlagMask) {
        case kAck:
            return ProbeKind::Ack;
        case kFin | kAck:
            return ProbeKind::Maimon;
        default:
            return ProbeKindOf(tcpFlags, tcpHeaderLength);
    }
}

std::optional<Probe> ProbeOf(const UnansweredPacket& packet) {
    const std::optional<ProbeKind> kind =
        UnansweredKindOf(packet.transport, packet.tcpFlags, packet.tcpHeaderLength);
    if (!kind) {
        return std::nullopt;
    }
    return Probe{AddressText(packet.family, packet.remote), packet.localPort, *kind};
}

std::optional<Probe> ParseProbe(std::span<const std::uint8_t> packet, std::uint16_t protocol) {
    switch (protocol) {
        case ETH_P_IP:
            return ParseIpv4(packet);
        case ETH_P_IPV6:
            return ParseIpv6(packet);
        default:
            return std::nullopt;
    }
}

std::vector<sock_filter> ProbeFilterProgram() {
    constexpr std::uint32_t kAckOrRst = kAck | kRst;
    constexpr std::uint32_t kKeepBytes = 128;  // the IPv6 header and the longest TCP header
    // Jump offsets count the instructions skipped; kAccept is 16 and kDrop 17.
    return {
        Statement(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_PKTTYPE),   // 0
        Jump(BPF_JMP | BPF_JEQ | BPF_K, PACKET_HOST, 0, 15),                // 1
        Statement(BPF_LD | BPF_W | BPF_ABS, SKF_AD_OFF + SKF_AD_PROTOCOL),  // 2
        Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 1, 0),                    // 3
        Jump(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 7, 12),                 // 4
        Statement(BPF_LD | BPF_B | BPF_ABS, 9),                             // 5: IPv4 protocol
        Jump(BPF_JMP | BPF_JEQ | BPF_K, kTcp, 0, 10),                       // 6
        Statement(BPF_LD | BPF_H | BPF_ABS, 6),                             // 7: fragment offset
        Jump(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 8, 0),                     // 8
        Statement(BPF_LDX | BPF_B | BPF_MSH, 0),                            // 9: header length
        Statement(BPF_LD | BPF_B | BPF_IND, 13),                            // 10: TCP flags
        Jump(BPF_JMP | BPF_JSET | BPF_K, kAckOrRst, 5, 4),                  // 11
        Statement(BPF_LD | BPF_B | BPF_ABS, 6),                             // 12: IPv6 next header
        Jump(BPF_JMP | BPF_JEQ | BPF_K, kTcp, 0, 3),                        // 13
        Statement(BPF_LD | BPF_B | BPF_ABS, kIpv6Header + 13),              // 14: TCP flags
        Jump(BPF_JMP | BPF_JSET | BPF_K, kAckOrRst, 1, 0),                  // 15
        Statement(BPF_RET | BPF_K, kKeepBytes),                             // 16
        Statement(BPF_RET | BPF_K, 0),                                      // 17
    };
}

}  // namespace tarvik
