// The sock_diag dump reader on any datagram: it never reads outside the datagram, keeps only
// whole socket messages, and turns each socket into a table row as the kernel's values say.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzCheck.h"
#include "acquisition/NetlinkDiag.h"

using tarvik::DiagParseResult;
using tarvik::DiagSocket;

namespace {

// The sequence number the seed datagrams carry.
constexpr std::uint32_t kSequence = 42;
constexpr std::size_t kSmallestSocketMessage = NLMSG_HDRLEN + sizeof(inet_diag_msg);

void CheckRow(const DiagSocket& socket) {
    const std::optional<tarvik::TcpRow> row = tarvik::ToTcpRow(socket);
    const std::optional<tarvik::TcpState> state = tarvik::MibStateFromLinux(socket.state);
    FuzzRequire(!state || (static_cast<int>(*state) >= 1 && static_cast<int>(*state) <= 12),
                "a MIB state is 1..12");
    if (!state) {
        FuzzRequire(!row, "a socket in an unknown state makes no row");
    }
    if (!row) {
        return;
    }
    FuzzRequire(socket.family == AF_INET || socket.family == AF_INET6, "rows only from IP");
    FuzzRequire(row->state == *state, "a row keeps the socket's state");
    FuzzRequire(row->localPort == socket.sourcePort && row->remotePort == socket.destinationPort,
                "a row keeps the socket's ports");
    if (socket.family == AF_INET) {
        for (std::size_t i = 0; i < 4; ++i) {
            FuzzRequire(row->localAddress[i] == socket.source[i] &&
                            row->remoteAddress[i] == socket.destination[i],
                        "an IPv4 row keeps the socket's addresses");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto datagram = std::as_bytes(std::span(data, size));
    std::vector<DiagSocket> sockets;
    const DiagParseResult result = tarvik::ParseDiagDatagram(datagram, kSequence, sockets);
    FuzzRequire(sockets.size() <= size / kSmallestSocketMessage,
                "no more sockets than whole messages fit in the datagram");
    if (result.status == DiagParseResult::Error) {
        FuzzRequire(result.error != 0, "a failed dump says why");
    }
    for (const DiagSocket& socket : sockets) {
        CheckRow(socket);
    }
    return 0;
}
