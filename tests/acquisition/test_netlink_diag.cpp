#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>

#include "acquisition/NetlinkDiag.h"
#include "acquisition/UdpDiag.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

constexpr std::uint32_t kSequence = 7;

using Bytes = std::vector<std::byte>;

void AppendMessage(Bytes& out, std::uint16_t type, const void* body, std::size_t size,
                   std::uint32_t sequence = kSequence) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(size));
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    const std::size_t start = out.size();
    out.resize(start + NLMSG_SPACE(size));
    std::memcpy(out.data() + start, &header, sizeof header);
    if (size > 0) {
        std::memcpy(out.data() + start + NLMSG_HDRLEN, body, size);
    }
}

inet_diag_msg Ipv4Socket(const char* local, int localPort, const char* remote, int remotePort,
                         int linuxState) {
    inet_diag_msg message{};
    message.idiag_family = AF_INET;
    message.idiag_state = static_cast<std::uint8_t>(linuxState);
    message.id.idiag_sport = htons(static_cast<std::uint16_t>(localPort));
    message.id.idiag_dport = htons(static_cast<std::uint16_t>(remotePort));
    const auto l = testing::Address(local);
    const auto r = testing::Address(remote);
    std::memcpy(message.id.idiag_src, l.data(), 4);
    std::memcpy(message.id.idiag_dst, r.data(), 4);
    return message;
}

void AppendSocket(Bytes& out, const inet_diag_msg& message, std::uint32_t sequence = kSequence) {
    AppendMessage(out, SOCK_DIAG_BY_FAMILY, &message, sizeof message, sequence);
}

void AppendDone(Bytes& out, std::uint32_t sequence = kSequence) {
    const int zero = 0;
    AppendMessage(out, NLMSG_DONE, &zero, sizeof zero, sequence);
}

DiagParseResult Parse(const Bytes& bytes, std::vector<DiagSocket>& out) {
    return ParseDiagDatagram(bytes, kSequence, out);
}

DiagSocket Ipv6(std::array<std::uint8_t, 16> source, std::array<std::uint8_t, 16> destination,
                int linuxState) {
    DiagSocket socket;
    socket.family = AF_INET6;
    socket.state = static_cast<std::uint8_t>(linuxState);
    socket.source = source;
    socket.destination = destination;
    socket.sourcePort = 8080;
    socket.destinationPort = 40000;
    return socket;
}

constexpr std::array<std::uint8_t, 16> kAny{};
constexpr std::array<std::uint8_t, 16> kMappedLoopback{0, 0, 0,    0,    0,   0, 0, 0,
                                                       0, 0, 0xff, 0xff, 127, 0, 0, 1};
constexpr std::array<std::uint8_t, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TEST(NetlinkDiagParseTest, ReadsSocketsUntilDone) {
    Bytes bytes;
    AppendSocket(bytes, Ipv4Socket("10.0.0.5", 1024, "10.0.0.9", 25, 1));
    AppendSocket(bytes, Ipv4Socket("0.0.0.0", 21, "0.0.0.0", 0, 10));
    AppendDone(bytes);
    std::vector<DiagSocket> sockets;
    const DiagParseResult result = Parse(bytes, sockets);
    EXPECT_EQ(result.status, DiagParseResult::Done);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_EQ(ToTcpRow(sockets[0]),
              testing::Row("10.0.0.5", 1024, "10.0.0.9", 25, TcpState::Established));
    EXPECT_EQ(ToTcpRow(sockets[1]), testing::Row("0.0.0.0", 21, "0.0.0.0", 0, TcpState::Listen));
}

TEST(NetlinkDiagParseTest, TheCookieIsBothWordsLowFirst) {
    inet_diag_msg message = Ipv4Socket("10.0.0.5", 1024, "10.0.0.9", 25, 1);
    message.id.idiag_cookie[0] = 0x89abcdefu;
    message.id.idiag_cookie[1] = 0x01234567u;
    Bytes bytes;
    AppendSocket(bytes, message);
    AppendDone(bytes);
    std::vector<DiagSocket> sockets;
    ASSERT_EQ(Parse(bytes, sockets).status, DiagParseResult::Done);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(sockets[0].cookie, 0x0123456789abcdefu);
    const auto row = ToTcpRow(sockets[0]);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->cookie, 0x0123456789abcdefu);
}

TEST(NetlinkDiagParseTest, ADatagramWithoutDoneAsksForMore) {
    Bytes bytes;
    AppendSocket(bytes, Ipv4Socket("10.0.0.5", 1024, "10.0.0.9", 25, 1));
    std::vector<DiagSocket> sockets;
    EXPECT_EQ(Parse(bytes, sockets).status, DiagParseResult::More);
    EXPECT_EQ(sockets.size(), 1u);
    EXPECT_EQ(Parse({}, sockets).status, DiagParseResult::More);
}

TEST(NetlinkDiagParseTest, MessagesOfAnotherDumpAreSkipped) {
    Bytes bytes;
    AppendSocket(bytes, Ipv4Socket("10.0.0.1", 1, "10.0.0.2", 2, 1), kSequence - 1);
    AppendDone(bytes, kSequence - 1);
    AppendSocket(bytes, Ipv4Socket("10.0.0.5", 1024, "10.0.0.9", 25, 1));
    std::vector<DiagSocket> sockets;
    EXPECT_EQ(Parse(bytes, sockets).status, DiagParseResult::More);
    ASSERT_EQ(sockets.size(), 1u);
    EXPECT_EQ(sockets[0].sourcePort, 1024);
}

TEST(NetlinkDiagParseTest, TruncatedOrShortMessagesAreMalformed) {
    Bytes whole;
    AppendSocket(whole, Ipv4Socket("10.0.0.5", 1024, "10.0.0.9", 25, 1));

    std::vector<DiagSocket> sockets;
    const Bytes cut(whole.begin(), whole.end() - 8);
    EXPECT_EQ(Parse(cut, sockets).status, DiagParseResult::Malformed);

    const Bytes headerOnly(whole.begin(), whole.begin() + 10);
    EXPECT_EQ(Parse(headerOnly, sockets).status, DiagParseResult::Malformed);

    Bytes shortPayload;
    const std::array<std::byte, 8> few{};
    AppendMessage(shortPayload, SOCK_DIAG_BY_FAMILY, few.data(), few.size());
    EXPECT_EQ(Parse(shortPayload, sockets).status, DiagParseResult::Malformed);

    Bytes tooSmallLength = whole;
    const std::uint32_t length = 4;  // less than a header: must not loop or read past it
    std::memcpy(tooSmallLength.data(), &length, sizeof length);
    EXPECT_EQ(Parse(tooSmallLength, sockets).status, DiagParseResult::Malformed);

    EXPECT_TRUE(sockets.empty());
}

TEST(NetlinkDiagParseTest, ErrorMessagesCarryTheirErrno) {
    Bytes bytes;
    nlmsgerr error{};
    error.error = -EINVAL;
    AppendMessage(bytes, NLMSG_ERROR, &error, sizeof error);
    std::vector<DiagSocket> sockets;
    const DiagParseResult result = Parse(bytes, sockets);
    EXPECT_EQ(result.status, DiagParseResult::Error);
    EXPECT_EQ(result.error, EINVAL);

    Bytes truncated;
    AppendMessage(truncated, NLMSG_ERROR, nullptr, 0);
    EXPECT_EQ(Parse(truncated, sockets).status, DiagParseResult::Malformed);

    // Codes that are no negated errno: the smallest int has no positive counterpart.
    for (const int code : {std::numeric_limits<int>::min(), EINVAL}) {
        Bytes odd;
        error.error = code;
        AppendMessage(odd, NLMSG_ERROR, &error, sizeof error);
        EXPECT_EQ(Parse(odd, sockets).status, DiagParseResult::Malformed) << code;
    }
}

TEST(NetlinkDiagRowTest, MapsEveryLinuxStateToItsTableState) {
    const std::vector<std::pair<int, TcpState>> states = {
        {1, TcpState::Established}, {2, TcpState::SynSent},   {3, TcpState::SynReceived},
        {4, TcpState::FinWait1},    {5, TcpState::FinWait2},  {6, TcpState::TimeWait},
        {7, TcpState::Closed},      {8, TcpState::CloseWait}, {9, TcpState::LastAck},
        {10, TcpState::Listen},     {11, TcpState::Closing},  {12, TcpState::SynReceived}};
    for (const auto& [linuxState, mibState] : states) {
        EXPECT_EQ(MibStateFromLinux(linuxState), mibState) << linuxState;
    }
    EXPECT_FALSE(MibStateFromLinux(0));
    EXPECT_FALSE(MibStateFromLinux(13));
    DiagSocket odd = Ipv6(kMappedLoopback, kMappedLoopback, 13);
    EXPECT_FALSE(ToTcpRow(odd));
}

TEST(NetlinkDiagRowTest, ClosedSocketsAreNoConnection) {
    // Bound only (or torn down): state TCP_CLOSE, remote end 0.0.0.0:0.
    std::vector<DiagSocket> sockets;
    Bytes bytes;
    AppendSocket(bytes, Ipv4Socket("127.0.0.1", 43210, "0.0.0.0", 0, 7));
    AppendSocket(bytes, Ipv4Socket("10.0.0.5", 40000, "10.0.0.9", 443, 7));
    AppendDone(bytes);
    ASSERT_EQ(Parse(bytes, sockets).status, DiagParseResult::Done);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_FALSE(ToTcpRow(sockets[0]));
    EXPECT_FALSE(ToTcpRow(sockets[1]));
    EXPECT_FALSE(ToTcpRow(Ipv6(kMappedLoopback, kAny, 7)));
}

TEST(NetlinkDiagRowTest, Ipv6SocketsAreIpv4RowsOnlyWhenTheyStandForIpv4) {
    const auto mapped = ToTcpRow(Ipv6(kMappedLoopback, kMappedLoopback, 1));
    ASSERT_TRUE(mapped);
    EXPECT_EQ(*mapped, testing::Row("127.0.0.1", 8080, "127.0.0.1", 40000, TcpState::Established));

    const auto dualStackListener = ToTcpRow(Ipv6(kAny, kAny, 10));
    ASSERT_TRUE(dualStackListener);
    EXPECT_EQ(*dualStackListener,
              testing::Row("0.0.0.0", 8080, "0.0.0.0", 40000, TcpState::Listen));

    const auto loopback = ToTcpRow(Ipv6(kLoopback6, kLoopback6, 1));
    ASSERT_TRUE(loopback);
    EXPECT_EQ(*loopback, testing::Row("::1", 8080, "::1", 40000, TcpState::Established));

    const auto listener = ToTcpRow(Ipv6(kLoopback6, kAny, 10));
    ASSERT_TRUE(listener);
    EXPECT_EQ(*listener, testing::Row("::1", 8080, "::", 40000, TcpState::Listen));

    // A listener on [::] that takes no IPv4 traffic is an IPv6 listener.
    DiagSocket v6Only = Ipv6(kAny, kAny, 10);
    v6Only.v6Only = true;
    const auto only = ToTcpRow(v6Only);
    ASSERT_TRUE(only);
    EXPECT_EQ(*only, testing::Row("::", 8080, "::", 40000, TcpState::Listen));

    DiagSocket other = Ipv6(kLoopback6, kLoopback6, 1);
    other.family = AF_UNIX;
    EXPECT_FALSE(ToTcpRow(other));
}

TEST(NetlinkDiagRowTest, UdpSocketsAreListenersOrConnectionsLiveAndAtTheirEnd) {
    struct Case {
        int linuxState;
        int remotePort;
        bool ended;
        std::optional<TcpState> state;
    };
    for (const Case& c : {
             Case{7, 0, false, TcpState::Listen},        // bound alone: "unconn"
             Case{1, 53, false, TcpState::Established},  // connected: "estab"
             Case{10, 0, false, std::nullopt},           // no UDP state
             Case{7, 53, true, TcpState::Established},   // ended, once connected
             Case{7, 0, true, TcpState::Listen},
         }) {
        DiagSocket udp = Ipv6(kMappedLoopback, c.remotePort ? kMappedLoopback : kAny, c.linuxState);
        udp.destinationPort = static_cast<std::uint16_t>(c.remotePort);
        udp.protocol = IPPROTO_UDP;
        const auto row = ToRow(udp, c.ended);
        ASSERT_EQ(row.has_value(), c.state.has_value()) << c.linuxState;
        if (row) {
            EXPECT_EQ(row->state, *c.state);
            EXPECT_EQ(row->protocol, Protocol::Udp);
            EXPECT_EQ(row->family, AddressFamily::Ipv4);
        }
    }
}

TEST(NetlinkDiagParseTest, ReadsTheOwnerInodeAndTheIpv6OnlyFlag) {
    inet_diag_msg message{};
    message.idiag_family = AF_INET6;
    message.idiag_state = 10;
    message.idiag_uid = 1000;
    message.idiag_inode = 123456;
    message.id.idiag_sport = htons(22);
    // The message followed by attributes: one the parser skips, the protocol, then the
    // IPv6-only flag.
    Bytes body(NLMSG_ALIGN(sizeof message));
    std::memcpy(body.data(), &message, sizeof message);
    const auto appendAttribute = [&body](std::uint16_t type, std::uint8_t value) {
        rtattr attribute{};
        attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(1));
        attribute.rta_type = type;
        const std::size_t start = body.size();
        body.resize(start + RTA_SPACE(1));
        std::memcpy(body.data() + start, &attribute, sizeof attribute);
        std::memcpy(body.data() + start + RTA_LENGTH(0), &value, 1);
    };
    appendAttribute(INET_DIAG_SHUTDOWN, 3);
    appendAttribute(INET_DIAG_PROTOCOL, IPPROTO_TCP);
    appendAttribute(INET_DIAG_SKV6ONLY, 1);
    Bytes bytes;
    AppendMessage(bytes, SOCK_DIAG_BY_FAMILY, body.data(), body.size());
    // A cut attribute list is no reason to drop the socket.
    Bytes cutBody(body.begin(), body.end() - RTA_SPACE(1) + 2);
    AppendMessage(bytes, SOCK_DIAG_BY_FAMILY, cutBody.data(), cutBody.size());
    AppendDone(bytes);
    std::vector<DiagSocket> sockets;
    ASSERT_EQ(Parse(bytes, sockets).status, DiagParseResult::Done);
    ASSERT_EQ(sockets.size(), 2u);
    EXPECT_EQ(sockets[0].uid, 1000u);
    EXPECT_EQ(sockets[0].inode, 123456u);
    EXPECT_TRUE(sockets[0].v6Only);
    EXPECT_EQ(sockets[0].protocol, IPPROTO_TCP);
    EXPECT_FALSE(sockets[1].v6Only);
    const auto row = ToTcpRow(sockets[0]);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->family, AddressFamily::Ipv6);
    EXPECT_EQ(row->uid, 1000u);
    EXPECT_EQ(row->inode, 123456u);
}

// A dump message with a tcp_info attribute cut to `infoLength` bytes, as an older kernel sends.
Bytes SocketWithInfo(int linuxState, const tcp_info& info, std::size_t infoLength) {
    const inet_diag_msg message = Ipv4Socket("127.0.0.1", 40000, "127.0.0.1", 8080, linuxState);
    Bytes body(NLMSG_ALIGN(sizeof message) + RTA_SPACE(infoLength));
    std::memcpy(body.data(), &message, sizeof message);
    rtattr attribute{};
    attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(infoLength));
    attribute.rta_type = INET_DIAG_INFO;
    std::memcpy(body.data() + NLMSG_ALIGN(sizeof message), &attribute, sizeof attribute);
    std::memcpy(body.data() + NLMSG_ALIGN(sizeof message) + RTA_LENGTH(0), &info, infoLength);
    Bytes bytes;
    AppendMessage(bytes, SOCK_DIAG_BY_FAMILY, body.data(), body.size());
    AppendDone(bytes);
    return bytes;
}

TEST(NetlinkDiagParseTest, ByteCountsAreThePayloadOfTheTcpInfoCounters) {
    constexpr std::size_t kFull = sizeof(tcp_info);
    constexpr std::size_t kBefore419 = offsetof(tcp_info, tcpi_bytes_received) + 8;
    constexpr std::size_t kTooShort = offsetof(tcp_info, tcpi_bytes_received);
    struct Case {
        const char* what;
        int linuxState;
        std::size_t infoLength;
        std::uint64_t acked, sent, received;
        ByteCounts expected;
    } cases[] = {
        {"the connecting side: its SYN is acknowledged",
         1,
         kFull,
         100001,
         100000,
         7000,
         {100000, 7000}},
        {"after the peer's FIN, counted as received", 8, kFull, 7000, 7000, 100001, {7000, 100000}},
        {"data in flight: what the peer has", 1, kFull, 50001, 100000, 0, {50001, 0}},
        {"a closed socket's last counts", 7, kFull, 100002, 100000, 7001, {100000, 7000}},
        {"a closed socket that received nothing", 7, kFull, 1, 0, 0, {0, 0}},
        {"a kernel without bytes_sent", 1, kBefore419, 100000, 99, 7000, {100000, 7000}},
        {"a kernel without the counters", 1, kTooShort, 100000, 99, 7000, {0, 0}},
    };
    for (const Case& c : cases) {
        tcp_info info{};
        info.tcpi_bytes_acked = c.acked;
        info.tcpi_bytes_sent = c.sent;
        info.tcpi_bytes_received = c.received;
        std::vector<DiagSocket> sockets;
        ASSERT_EQ(Parse(SocketWithInfo(c.linuxState, info, c.infoLength), sockets).status,
                  DiagParseResult::Done)
            << c.what;
        ASSERT_EQ(sockets.size(), 1u) << c.what;
        EXPECT_EQ(PayloadOf(sockets[0]), c.expected) << c.what;
        if (const auto row = ToEndedRow(sockets[0])) {
            EXPECT_EQ(row->bytes, c.expected) << c.what;
        }
    }
}

TEST(NetlinkDiagRequestTest, AsksForEveryStateInOneDump) {
    const Bytes both = BuildDiagRequest(DiagRequest::BothFamilies, 42);
    nlmsghdr header{};
    std::memcpy(&header, both.data(), sizeof header);
    EXPECT_EQ(header.nlmsg_type, TCPDIAG_GETSOCK);
    EXPECT_EQ(header.nlmsg_seq, 42u);
    EXPECT_EQ(header.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(header.nlmsg_len, NLMSG_LENGTH(sizeof(inet_diag_req)));
    inet_diag_req request{};
    std::memcpy(&request, both.data() + NLMSG_HDRLEN, sizeof request);
    EXPECT_EQ(request.idiag_states, ~0u);
    EXPECT_EQ(request.idiag_ext, 1u << (INET_DIAG_INFO - 1));
    inet_diag_req bare{};
    std::memcpy(&bare, BuildDiagRequest(DiagRequest::BothFamilies, 1, false).data() + NLMSG_HDRLEN,
                sizeof bare);
    EXPECT_EQ(bare.idiag_ext, 0u);

    const Bytes v6 = BuildDiagRequest(DiagRequest::Ipv6, 43);
    std::memcpy(&header, v6.data(), sizeof header);
    EXPECT_EQ(header.nlmsg_type, SOCK_DIAG_BY_FAMILY);
    inet_diag_req_v2 v2{};
    std::memcpy(&v2, v6.data() + NLMSG_HDRLEN, sizeof v2);
    EXPECT_EQ(v2.sdiag_family, AF_INET6);
    EXPECT_EQ(v2.sdiag_protocol, IPPROTO_TCP);
    EXPECT_EQ(v2.idiag_states, ~0u);
    EXPECT_EQ(v2.idiag_ext, 1u << (INET_DIAG_INFO - 1));
}

}  // namespace
}  // namespace tarvik
