#include "acquisition/NetlinkDiag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace tarvik {

namespace {

template <typename T>
T ReadAt(std::span<const std::byte> bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

template <typename Body>
std::vector<std::byte> Datagram(std::uint16_t type, std::uint32_t sequence, const Body& body) {
    nlmsghdr header{};
    header.nlmsg_len = NLMSG_LENGTH(sizeof body);
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = sequence;
    std::vector<std::byte> bytes(NLMSG_SPACE(sizeof body));
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + NLMSG_HDRLEN, &body, sizeof body);
    return bytes;
}

DiagSocket ReadSocket(std::span<const std::byte> payload) {
    const auto message = ReadAt<inet_diag_msg>(payload, 0);
    DiagSocket socket;
    socket.family = message.idiag_family;
    socket.state = message.idiag_state;
    std::memcpy(socket.source.data(), message.id.idiag_src, socket.source.size());
    std::memcpy(socket.destination.data(), message.id.idiag_dst, socket.destination.size());
    socket.sourcePort = ntohs(message.id.idiag_sport);
    socket.destinationPort = ntohs(message.id.idiag_dport);
    // The kernel stores the 64-bit cookie as two host-order words, low word first.
    socket.cookie =
        static_cast<std::uint64_t>(message.id.idiag_cookie[1]) << 32 | message.id.idiag_cookie[0];
    return socket;
}

std::optional<Ipv4Octets> ToIpv4(std::uint8_t family, const std::array<std::uint8_t, 16>& raw) {
    if (family == AF_INET) {
        return Ipv4Octets{raw[0], raw[1], raw[2], raw[3]};
    }
    if (family != AF_INET6) {
        return std::nullopt;
    }
    const bool zeroHead = std::all_of(raw.begin(), raw.begin() + 10, [](auto b) { return b == 0; });
    const bool mapped = zeroHead && raw[10] == 0xff && raw[11] == 0xff;
    const bool any = std::all_of(raw.begin(), raw.end(), [](auto b) { return b == 0; });
    if (mapped) {
        return Ipv4Octets{raw[12], raw[13], raw[14], raw[15]};
    }
    if (any) {
        return Ipv4Octets{0, 0, 0, 0};
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::byte> BuildDiagRequest(DiagRequest request, std::uint32_t sequence) {
    if (request == DiagRequest::BothFamilies) {
        inet_diag_req body{};
        body.idiag_family = AF_INET;  // the kernel reads both families for this request
        body.idiag_states = ~0u;
        return Datagram(TCPDIAG_GETSOCK, sequence, body);
    }
    inet_diag_req_v2 body{};
    body.sdiag_family = request == DiagRequest::Ipv4 ? AF_INET : AF_INET6;
    body.sdiag_protocol = IPPROTO_TCP;
    body.idiag_states = ~0u;
    return Datagram(SOCK_DIAG_BY_FAMILY, sequence, body);
}

DiagParseResult ParseDiagDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                                  std::vector<DiagSocket>& out) {
    std::size_t offset = 0;
    while (datagram.size() - offset >= sizeof(nlmsghdr)) {
        const auto header = ReadAt<nlmsghdr>(datagram, offset);
        const std::size_t length = header.nlmsg_len;
        if (length < sizeof(nlmsghdr) || length > datagram.size() - offset) {
            return {DiagParseResult::Malformed};
        }
        const auto payload = datagram.subspan(offset + NLMSG_HDRLEN, length - NLMSG_HDRLEN);
        offset += std::min<std::size_t>(NLMSG_ALIGN(length), datagram.size() - offset);
        if (header.nlmsg_seq != sequence) {
            continue;
        }
        switch (header.nlmsg_type) {
            case NLMSG_DONE:
                return {DiagParseResult::Done};
            case NLMSG_ERROR: {
                if (payload.size() < sizeof(int)) {
                    return {DiagParseResult::Malformed};
                }
                const int error = ReadAt<int>(payload, 0);
                if (error == 0) {
                    continue;  // an acknowledgement, not a failure
                }
                if (error > 0 || error == std::numeric_limits<int>::min()) {
                    return {DiagParseResult::Malformed};  // not a negated errno
                }
                return {DiagParseResult::Error, -error};
            }
            case SOCK_DIAG_BY_FAMILY:
            case TCPDIAG_GETSOCK:
                if (payload.size() < sizeof(inet_diag_msg)) {
                    return {DiagParseResult::Malformed};
                }
                out.push_back(ReadSocket(payload));
                break;
            default:
                break;
        }
    }
    if (offset != datagram.size()) {
        return {DiagParseResult::Malformed};
    }
    return {DiagParseResult::More};
}

int MibStateFromLinux(int linuxState) {
    // Index: Linux state (ESTABLISHED = 1 ... NEW_SYN_RECV = 12).
    static constexpr int kMibStates[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 9, 2, 10, 4};
    if (linuxState < 1 || linuxState >= static_cast<int>(std::size(kMibStates))) {
        return 0;
    }
    return kMibStates[linuxState];
}

std::optional<TcpRow> ToTcpRow(const DiagSocket& socket) {
    // A socket after bind() alone, or one being torn down: it stands for no connection.
    constexpr int kLinuxTcpClose = 7;
    if (socket.state == kLinuxTcpClose) {
        return std::nullopt;
    }
    const int state = MibStateFromLinux(socket.state);
    const auto local = ToIpv4(socket.family, socket.source);
    const auto remote = ToIpv4(socket.family, socket.destination);
    if (state == 0 || !local || !remote) {
        return std::nullopt;
    }
    return TcpRow{*local, socket.sourcePort, *remote, socket.destinationPort, state, socket.cookie};
}

}  // namespace tarvik
