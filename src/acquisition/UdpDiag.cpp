#include "acquisition/UdpDiag.h"

#include <netinet/in.h>

namespace tarvik {

namespace {

// UDP sockets report TCP's state numbers: TCP_ESTABLISHED once connected, TCP_CLOSE otherwise.
constexpr std::uint8_t kLinuxEstablished = 1;
constexpr std::uint8_t kLinuxClose = 7;
constexpr std::uint8_t kLinuxListen = 10;

std::optional<TcpRow> AsUdp(DiagSocket socket, bool connected) {
    socket.state = connected ? kLinuxEstablished : kLinuxListen;
    auto row = ToTcpRow(socket);
    if (row) {
        row->protocol = Protocol::Udp;
    }
    return row;
}

}  // namespace

std::optional<TcpRow> ToUdpRow(const DiagSocket& socket) {
    if (socket.state != kLinuxEstablished && socket.state != kLinuxClose) {
        return std::nullopt;
    }
    return AsUdp(socket, socket.state == kLinuxEstablished);
}

std::optional<TcpRow> ToEndedUdpRow(const DiagSocket& socket) {
    // The state at its end says little (a connected socket may be closed by then); a peer
    // address says it was connected.
    return AsUdp(socket, socket.destinationPort != 0);
}

std::optional<TcpRow> ToRow(const DiagSocket& socket, bool ended) {
    if (socket.protocol == IPPROTO_UDP) {
        return ended ? ToEndedUdpRow(socket) : ToUdpRow(socket);
    }
    return ended ? ToEndedRow(socket) : ToTcpRow(socket);
}

}  // namespace tarvik
