#include "acquisition/KernelTableSource.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace tarvik {

namespace {

constexpr std::size_t kReceiveBufferBytes = 64 * 1024;

bool SendAll(int fd, const std::vector<std::byte>& request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(fd, request.data(), request.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(request.size())) {
            return true;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

bool RefusedRequest(int error) {
    return error == EINVAL || error == ENOENT || error == EOPNOTSUPP || error == ENOTSUP;
}

}  // namespace

std::unique_ptr<CKernelTableSource> CKernelTableSource::Open(Mode mode) {
    UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket) {
        return nullptr;
    }
    // A dump that never ends must not hang the poller.
    timeval timeout{5, 0};
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return std::unique_ptr<CKernelTableSource>(new CKernelTableSource(std::move(socket), mode));
}

CKernelTableSource::DumpResult CKernelTableSource::Dump(DiagRequest request,
                                                        std::vector<DiagSocket>& out) {
    const std::uint32_t sequence = ++sequence_;
    if (!SendAll(socket_.Get(), BuildDiagRequest(request, sequence))) {
        return {false, errno};
    }
    buffer_.resize(kReceiveBufferBytes);
    for (;;) {
        const ssize_t received = ::recv(socket_.Get(), buffer_.data(), buffer_.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return {false, received < 0 ? errno : EPIPE};
        }
        const auto datagram = std::span(buffer_).first(static_cast<std::size_t>(received));
        const DiagParseResult result = ParseDiagDatagram(datagram, sequence, out);
        switch (result.status) {
            case DiagParseResult::More:
                break;
            case DiagParseResult::Done:
                return {true, 0};
            case DiagParseResult::Error:
                return {false, result.error};
            case DiagParseResult::Malformed:
                return {false, EBADMSG};
        }
    }
}

std::optional<std::vector<DiagSocket>> CKernelTableSource::DumpSockets() {
    std::vector<DiagSocket> sockets;
    if (mode_ == Mode::BothFamilies) {
        const DumpResult result = Dump(DiagRequest::BothFamilies, sockets);
        if (result.ok) {
            return sockets;
        }
        if (!RefusedRequest(result.error)) {
            return std::nullopt;
        }
        // This kernel no longer takes the older request: ask per family from now on.
        mode_ = Mode::PerFamily;
        sockets.clear();
    }
    if (!Dump(DiagRequest::Ipv4, sockets).ok || !Dump(DiagRequest::Ipv6, sockets).ok) {
        return std::nullopt;
    }
    return sockets;
}

std::optional<std::vector<TcpRow>> CKernelTableSource::TcpRows() {
    auto sockets = DumpSockets();
    if (!sockets) {
        return std::nullopt;
    }
    std::vector<TcpRow> rows;
    rows.reserve(sockets->size());
    for (const DiagSocket& socket : *sockets) {
        if (auto row = ToTcpRow(socket)) {
            rows.push_back(*row);
        }
    }
    return rows;
}

std::optional<std::vector<Ipv4Octets>> CKernelTableSource::LocalAddresses() {
    return ReadLocalAddresses();
}

std::optional<std::vector<Ipv4Octets>> ReadLocalAddresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(raw, &::freeifaddrs);
    std::vector<Ipv4Octets> addresses;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        Ipv4Octets octets{};
        std::memcpy(octets.data(), &address.sin_addr, octets.size());
        addresses.push_back(octets);
    }
    return addresses;
}

std::unique_ptr<ITableSource> OpenKernelTableSource() {
    return CKernelTableSource::Open();
}

}  // namespace tarvik
