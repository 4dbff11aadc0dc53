#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

namespace tarvik::test {

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
