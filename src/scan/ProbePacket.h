#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "acquisition/NoSocketSource.h"
#include "scan/ScanKind.h"

namespace tarvik {

// One inbound TCP segment that opens no connection of ours (a SYN, or a stray FIN, NULL, Xmas,
// ACK or FIN-ACK segment), or a UDP datagram to a port nothing listens on.
struct Probe {
    std::string remoteAddress;  // dotted IPv4, or IPv6 text; IPv4-mapped IPv6 as dotted IPv4
    int localPort = 0;
    ProbeKind kind = ProbeKind::Syn;
};

// A packet as a cooked packet socket hands it over: starting at the network header, with the
// link layer's protocol number (ETH_P_IP or ETH_P_IPV6) in host byte order.
// Returns the probe the packet is, or nothing for anything else (other protocols, fragments,
// segments with ACK or RST, flag sets no scan uses, truncated or malformed headers).
std::optional<Probe> ParseProbe(std::span<const std::uint8_t> packet, std::uint16_t protocol);

// The kind of a TCP flag byte, or nothing when it is no probe. A SYN carrying more options
// than the MSS alone (`tcpHeaderLength` over 24 bytes) is an ordinary stack's connect().
std::optional<ProbeKind> ProbeKindOf(std::uint8_t flags, unsigned tcpHeaderLength);

// The kind of a packet no socket took, or nothing when it is no probe: a TCP segment with ACK
// alone is an ACK (or Window) probe, with FIN and ACK a Maimon probe, without ACK as
// ProbeKindOf says; other segments with ACK are data of connections long gone.
std::optional<ProbeKind> UnansweredKindOf(Transport transport, std::uint8_t tcpFlags,
                                          unsigned tcpHeaderLength);
// The probe an unanswered packet is, addressed as ParseProbe addresses them.
std::optional<Probe> ProbeOf(const UnansweredPacket& packet);

// Classic BPF for a cooked packet socket: keeps packets addressed to this host (not our own
// outgoing copies on loopback) that are TCP segments without ACK and RST, IPv4 or IPv6, and
// drops the rest in the kernel.
std::vector<sock_filter> ProbeFilterProgram();

}  // namespace tarvik
