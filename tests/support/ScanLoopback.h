#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

namespace tarvik::test {

// A bare TCP segment (20-byte header) from `source`:`sourcePort` to 127.0.0.1:`port` as a raw
// IPv4 packet with its checksum; with the ACK flag it acknowledges 1, as a stray ACK does.
inline std::vector<std::uint8_t> LoopbackSegment(std::uint32_t source, int sourcePort, int port,
                                                 std::uint8_t flags) {
    std::vector<std::uint8_t> packet(40, 0);
    const std::uint8_t header[] = {0x45, 0, 0, 40, 0, 0, 0, 0, 64, IPPROTO_TCP};
    std::copy(std::begin(header), std::end(header), packet.begin());
    const std::uint32_t from = htonl(source);
    const std::uint32_t to = htonl(INADDR_LOOPBACK);
    std::memcpy(&packet[12], &from, 4);
    std::memcpy(&packet[16], &to, 4);
    std::uint8_t* tcp = &packet[20];
    tcp[0] = static_cast<std::uint8_t>(sourcePort >> 8);
    tcp[1] = static_cast<std::uint8_t>(sourcePort);
    tcp[2] = static_cast<std::uint8_t>(port >> 8);
    tcp[3] = static_cast<std::uint8_t>(port);
    tcp[8] = (flags & 0x10) != 0 ? 1 : 0;
    tcp[12] = 0x50;
    tcp[13] = flags;
    tcp[14] = 0x04;
    // The checksum over the pseudo header (addresses, protocol, length) and the segment.
    std::uint32_t sum = IPPROTO_TCP + 20;
    for (int i = 12; i < 20; i += 2) {
        sum += static_cast<std::uint32_t>((packet[i] << 8) | packet[i + 1]);
    }
    for (int i = 0; i < 20; i += 2) {
        sum += static_cast<std::uint32_t>((tcp[i] << 8) | tcp[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    tcp[16] = static_cast<std::uint8_t>(~sum >> 8);
    tcp[17] = static_cast<std::uint8_t>(~sum);
    return packet;
}

inline sockaddr_in LoopbackAddress(const std::string& address, int port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &result.sin_addr);
    return result;
}

// The local port of a bound IPv4 or IPv6 socket (0 when it cannot be read).
inline std::uint16_t LocalPortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return address.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// `count` distinct TCP ports that were free on 127.0.0.1 a moment ago.
inline std::vector<int> FreeLoopbackPorts(std::size_t count) {
    std::vector<UniqueFd> holders;
    std::vector<int> ports;
    for (std::size_t i = 0; i < count; ++i) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in any = LoopbackAddress("127.0.0.1", 0);
        if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
            return {};
        }
        socklen_t length = sizeof any;
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&any), &length);
        ports.push_back(ntohs(any.sin_port));
        holders.push_back(std::move(fd));
    }
    return ports;
}

// A socket listening on 127.0.0.1:`port`, so that nobody else can listen there; invalid when
// the port could not be taken.
inline UniqueFd HoldPort(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress("127.0.0.1", port);
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 1) != 0) {
        return UniqueFd();
    }
    return fd;
}

struct LoopbackClient {
    UniqueFd fd;
    int localPort = 0;
};

// A blocking client bound to `from` (any 127.x.y.z) and connected to `to`:`port`, with a
// 5-second receive time-out so that reads cannot hang a test.
inline std::optional<LoopbackClient> ConnectFrom(const std::string& from, const std::string& to,
                                                 int port) {
    LoopbackClient client{UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), 0};
    if (!client.fd) {
        return std::nullopt;
    }
    timeval timeout{5, 0};
    ::setsockopt(client.fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in local = LoopbackAddress(from, 0);
    sockaddr_in remote = LoopbackAddress(to, port);
    if (::bind(client.fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(client.fd.Get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        return std::nullopt;
    }
    socklen_t length = sizeof local;
    ::getsockname(client.fd.Get(), reinterpret_cast<sockaddr*>(&local), &length);
    client.localPort = ntohs(local.sin_port);
    return client;
}

// True when the peer closed the connection without sending anything.
inline bool ReadsEndOfStream(const UniqueFd& fd) {
    char byte = 0;
    return ::recv(fd.Get(), &byte, 1, 0) == 0;
}

}  // namespace tarvik::test
