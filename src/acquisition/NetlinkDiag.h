#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "acquisition/TableSource.h"

namespace tarvik {

// The byte counters of a socket's tcp_info, as the kernel keeps them.
struct TcpInfoCounts {
    // Sequence space the peer acknowledged: each data byte once, and the SYN (on the side that
    // connected) and the FIN once they are acknowledged.
    std::uint64_t acked = 0;
    // Data bytes sent, a retransmitted byte each time it went out; only where `hasSent`
    // (kernels from 4.19).
    std::uint64_t sent = 0;
    std::uint64_t received = 0;  // data bytes received, and the peer's FIN as one
    bool hasSent = false;
};

// The payload bytes of the counters. Sent is the smaller of acknowledged and sent: each
// counts exactly the data once everything is acknowledged and nothing was sent twice, and
// otherwise errs by at most the SYN and FIN. The peer's FIN is taken off what was received
// when `finReceived`.
ByteCounts PayloadBytes(const TcpInfoCounts& counts, bool finReceived);

// One socket of a sock_diag dump, as the kernel reported it.
struct DiagSocket {
    std::uint8_t family = 0;  // AF_INET or AF_INET6
    std::uint8_t state = 0;   // Linux TCP state
    AddressBytes source{};
    AddressBytes destination{};
    std::uint16_t sourcePort = 0;  // host order
    std::uint16_t destinationPort = 0;
    std::uint64_t cookie = 0;  // idiag_cookie, the kernel's identity of the socket
    std::uint32_t uid = 0;
    std::uint64_t inode = 0;
    // An IPv6 socket that takes no IPv4 traffic; false when the kernel did not say.
    bool v6Only = false;
    // IPPROTO_TCP or IPPROTO_UDP: from the request of a dump, from the kernel's own attribute
    // in a notice; 0 when neither said.
    std::uint8_t protocol = 0;
    // The tcp_info counters, where the socket had them (not TIME_WAIT remains or request
    // sockets) and they were asked for.
    std::optional<TcpInfoCounts> counts;
    // Whether the peer's FIN was received, where the source knows it; otherwise the state
    // tells (see PayloadOf).
    std::optional<bool> finReceived;
};

enum class DiagRequest {
    BothFamilies,  // the older TCP request: IPv4 and IPv6 in one walk of the kernel's table
    Ipv4,
    Ipv6,
    UdpIpv4,
    UdpIpv6,
};

// The request datagram (netlink header included) for a dump of TCP (or UDP) sockets in every
// state, with each TCP socket's tcp_info when `withCounts`.
std::vector<std::byte> BuildDiagRequest(DiagRequest request, std::uint32_t sequence,
                                        bool withCounts = true);

struct DiagParseResult {
    enum Status { More, Done, Error, Malformed } status = More;
    int error = 0;  // errno from an NLMSG_ERROR
};

// Parses one datagram of a dump answer, handing each of its sockets to `sink` in order, so that
// a caller can keep what it needs of each without holding the whole dump as sockets. Messages
// of another sequence number are skipped; only NLMSG_DONE ends the dump.
using DiagSocketSink = std::function<void(const DiagSocket&)>;
DiagParseResult ParseDiagDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                                  const DiagSocketSink& sink);
// The same, appending the sockets to `out`.
DiagParseResult ParseDiagDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                                  std::vector<DiagSocket>& out);

// MIB-II tcpConnState of a Linux TCP state; nullopt for a state Linux does not define.
std::optional<TcpState> MibStateFromLinux(int linuxState);

// The payload bytes of the socket: zero without counters. Where the source did not say whether
// the peer's FIN came, the states after it say yes, and so does a closed socket: most end by an
// orderly close, and a tracker that keeps the larger of two reads then errs low by one byte
// only for data received after its last read of a connection the peer reset.
ByteCounts PayloadOf(const DiagSocket& socket);

// The socket as a table row. IPv4 sockets as they are; an IPv6 socket whose addresses are all
// IPv4-mapped or the any-address (a dual-stack listener) as its IPv4 form, with [::] as
// 0.0.0.0; other IPv6 sockets (IPv6-only listeners on [::] too) as IPv6 rows. nullopt for other
// families, unknown states and closed sockets (bound but neither listening nor connected: no
// connection at all).
std::optional<TcpRow> ToTcpRow(const DiagSocket& socket);
// The same for a socket the kernel reports as ended: a closed socket is kept (state Closed),
// since its addresses, ports and cookie say which connection ended.
std::optional<TcpRow> ToEndedRow(const DiagSocket& socket);

}  // namespace tarvik
