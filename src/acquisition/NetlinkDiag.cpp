#include "acquisition/NetlinkDiag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
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

// Whether the `length` bytes of an older kernel's tcp_info hold `field`.
constexpr bool Holds(std::size_t length, std::size_t offset, std::size_t size) {
    return length >= offset + size;
}

// The counters of a tcp_info attribute's payload, which is as long as the running kernel's
// struct: an older one lacks the later fields.
std::optional<TcpInfoCounts> ReadCounts(std::span<const std::byte> info) {
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    if (!Holds(info.size(), offsetof(tcp_info, tcpi_bytes_received), kWord)) {
        return std::nullopt;
    }
    TcpInfoCounts counts;
    counts.acked = ReadAt<std::uint64_t>(info, offsetof(tcp_info, tcpi_bytes_acked));
    counts.received = ReadAt<std::uint64_t>(info, offsetof(tcp_info, tcpi_bytes_received));
    counts.hasSent = Holds(info.size(), offsetof(tcp_info, tcpi_bytes_sent), kWord);
    if (counts.hasSent) {
        counts.sent = ReadAt<std::uint64_t>(info, offsetof(tcp_info, tcpi_bytes_sent));
    }
    return counts;
}

// The attributes after the message: the IPv6-only flag and the tcp_info counters.
void ReadAttributes(std::span<const std::byte> attributes, DiagSocket& socket) {
    std::size_t offset = 0;
    while (attributes.size() - offset >= sizeof(rtattr)) {
        const auto attribute = ReadAt<rtattr>(attributes, offset);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > attributes.size() - offset) {
            return;  // a cut attribute: keep what was read
        }
        if (attribute.rta_type == INET_DIAG_SKV6ONLY && attribute.rta_len > RTA_LENGTH(0)) {
            socket.v6Only = ReadAt<std::uint8_t>(attributes, offset + RTA_LENGTH(0)) != 0;
        }
        if (attribute.rta_type == INET_DIAG_PROTOCOL && attribute.rta_len > RTA_LENGTH(0)) {
            socket.protocol = ReadAt<std::uint8_t>(attributes, offset + RTA_LENGTH(0));
        }
        if (attribute.rta_type == INET_DIAG_INFO) {
            socket.counts = ReadCounts(
                attributes.subspan(offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        }
        offset += std::min<std::size_t>(RTA_ALIGN(attribute.rta_len), attributes.size() - offset);
    }
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
    socket.uid = message.idiag_uid;
    socket.inode = message.idiag_inode;
    ReadAttributes(payload.subspan(NLMSG_ALIGN(sizeof(inet_diag_msg))), socket);
    return socket;
}

bool IsMapped(const AddressBytes& raw) {
    const bool zeroHead = std::all_of(raw.begin(), raw.begin() + 10, [](auto b) { return b == 0; });
    return zeroHead && raw[10] == 0xff && raw[11] == 0xff;
}

bool IsAny(const AddressBytes& raw) {
    return std::all_of(raw.begin(), raw.end(), [](auto b) { return b == 0; });
}

// The IPv4 form of a mapped or any-address: the last four bytes moved to the front.
AddressBytes Ipv4Form(const AddressBytes& raw) {
    AddressBytes out{};
    std::copy(raw.begin() + 12, raw.end(), out.begin());
    return out;
}

AddressBytes Ipv4Only(const AddressBytes& raw) {
    AddressBytes out{};
    std::copy(raw.begin(), raw.begin() + 4, out.begin());
    return out;
}

}  // namespace

ByteCounts PayloadBytes(const TcpInfoCounts& counts, bool finReceived) {
    ByteCounts bytes;
    bytes.sent = counts.hasSent ? std::min(counts.acked, counts.sent) : counts.acked;
    bytes.received = counts.received - (finReceived && counts.received > 0 ? 1 : 0);
    return bytes;
}

ByteCounts PayloadOf(const DiagSocket& socket) {
    if (!socket.counts) {
        return {};
    }
    // Linux states after the peer's FIN: TIME_WAIT, CLOSE, CLOSE_WAIT, LAST_ACK, CLOSING.
    constexpr std::uint8_t kAfterPeerFin[] = {6, 7, 8, 9, 11};
    const bool finByState = std::find(std::begin(kAfterPeerFin), std::end(kAfterPeerFin),
                                      socket.state) != std::end(kAfterPeerFin);
    return PayloadBytes(*socket.counts, socket.finReceived.value_or(finByState));
}

std::vector<std::byte> BuildDiagRequest(DiagRequest request, std::uint32_t sequence,
                                        bool withCounts) {
    // The extensions are a bit mask of attribute type - 1.
    const std::uint8_t extensions = withCounts ? 1u << (INET_DIAG_INFO - 1) : 0;
    if (request == DiagRequest::BothFamilies) {
        inet_diag_req body{};
        body.idiag_family = AF_INET;  // the kernel reads both families for this request
        body.idiag_states = ~0u;
        body.idiag_ext = extensions;
        return Datagram(TCPDIAG_GETSOCK, sequence, body);
    }
    inet_diag_req_v2 body{};
    const bool udp = request == DiagRequest::UdpIpv4 || request == DiagRequest::UdpIpv6;
    const bool ipv4 = request == DiagRequest::Ipv4 || request == DiagRequest::UdpIpv4;
    body.sdiag_family = ipv4 ? AF_INET : AF_INET6;
    body.sdiag_protocol = udp ? IPPROTO_UDP : IPPROTO_TCP;
    body.idiag_states = ~0u;
    body.idiag_ext = extensions;
    return Datagram(SOCK_DIAG_BY_FAMILY, sequence, body);
}

DiagParseResult ParseDiagDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                                  std::vector<DiagSocket>& out) {
    return ParseDiagDatagram(datagram, sequence,
                             [&out](const DiagSocket& socket) { out.push_back(socket); });
}

DiagParseResult ParseDiagDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                                  const DiagSocketSink& sink) {
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
                sink(ReadSocket(payload));
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

std::optional<TcpState> MibStateFromLinux(int linuxState) {
    using enum TcpState;
    // Index: Linux state - 1 (ESTABLISHED = 1 ... NEW_SYN_RECV = 12).
    static constexpr TcpState kMibStates[] = {
        Established, SynSent,   SynReceived, FinWait1, FinWait2, TimeWait,
        Closed,      CloseWait, LastAck,     Listen,   Closing,  SynReceived,
    };
    if (linuxState < 1 || linuxState > static_cast<int>(std::size(kMibStates))) {
        return std::nullopt;
    }
    return kMibStates[linuxState - 1];
}

namespace {

std::optional<TcpRow> RowOf(const DiagSocket& socket, bool keepClosed) {
    // A socket after bind() alone, or one being torn down: it stands for no connection, unless
    // the kernel is telling that this very socket ended.
    constexpr int kLinuxTcpClose = 7;
    const std::optional<TcpState> state = MibStateFromLinux(socket.state);
    if ((socket.state == kLinuxTcpClose && !keepClosed) || !state) {
        return std::nullopt;
    }
    TcpRow row;
    row.localPort = socket.sourcePort;
    row.remotePort = socket.destinationPort;
    row.state = *state;
    row.cookie = socket.cookie;
    row.uid = socket.uid;
    row.inode = socket.inode;
    row.bytes = PayloadOf(socket);
    if (socket.family == AF_INET) {
        row.localAddress = Ipv4Only(socket.source);
        row.remoteAddress = Ipv4Only(socket.destination);
        return row;
    }
    if (socket.family != AF_INET6) {
        return std::nullopt;
    }
    const auto ipv4Side = [&](const AddressBytes& raw) {
        return IsMapped(raw) || (IsAny(raw) && !socket.v6Only);
    };
    if (ipv4Side(socket.source) && ipv4Side(socket.destination)) {
        row.localAddress = Ipv4Form(socket.source);
        row.remoteAddress = Ipv4Form(socket.destination);
        return row;
    }
    row.family = AddressFamily::Ipv6;
    row.localAddress = socket.source;
    row.remoteAddress = socket.destination;
    return row;
}

}  // namespace

std::optional<TcpRow> ToTcpRow(const DiagSocket& socket) {
    return RowOf(socket, false);
}

std::optional<TcpRow> ToEndedRow(const DiagSocket& socket) {
    return RowOf(socket, true);
}

}  // namespace tarvik
