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
};

enum class DiagRequest {
    BothFamilies,  // the older TCP request: IPv4 and IPv6 in one walk of the kernel's table
    Ipv4,
    Ipv6,
    UdpIpv4,
    UdpIpv6,
};

// The request datagram (netlink header included) for a dump of TCP (or UDP) sockets in every
// state.
std::vector<std::byte> BuildDiagRequest(DiagRequest request, std::uint32_t sequence);

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
