#include "acquisition/KernelTableSource.h"

#include "acquisition/UdpDiag.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

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

UniqueFd OpenDiagSocket() {
    UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (socket) {
        // A dump that never ends must not hang the poller.
        timeval timeout{5, 0};
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    return socket;
}

bool RefusedRequest(int error) {
    return error == EINVAL || error == ENOENT || error == EOPNOTSUPP || error == ENOTSUP;
}

}  // namespace

std::unique_ptr<CKernelTableSource> CKernelTableSource::Open(Mode mode) {
    auto source = Create(mode);
    return source->HasSocket() ? std::move(source) : nullptr;
}

std::unique_ptr<CKernelTableSource> CKernelTableSource::Create(Mode mode) {
    auto source = std::unique_ptr<CKernelTableSource>(new CKernelTableSource(UniqueFd(), mode));
    source->EnsureSocket();
    return source;
}

bool CKernelTableSource::EnsureSocket() {
    if (socket_) {
        return true;
    }
    socket_ = OpenDiagSocket();
    if (!socket_) {
        lastError_ = errno;
        return false;
    }
    return true;
}

void CKernelTableSource::AfterFailure(const DumpResult& result) {
    lastError_ = result.error;
    if (result.kernelRefused) {
        return;
    }
    socket_.Reset();
    EnsureSocket();
    lastError_ = result.error;  // the dump's error is the one to tell, not the reopen's
}

void CKernelTableSource::SetByteCountPeriod(int dumps) {
    countPeriod_ = std::max(0, dumps);
    dumpsToCounts_ = 0;
}

bool CKernelTableSource::NextDumpCounts() {
    if (countPeriod_ == 0) {
        return false;
    }
    if (dumpsToCounts_ > 0) {
        --dumpsToCounts_;
        return false;
    }
    dumpsToCounts_ = countPeriod_ - 1;
    return true;
}

CKernelTableSource::DumpResult CKernelTableSource::Dump(DiagRequest request, bool withCounts,
                                                        const DiagSocketSink& sink) {
    if (!EnsureSocket()) {
        return {false, lastError_, false};
    }
    const std::uint32_t sequence = ++sequence_;
    if (!SendAll(socket_.Get(), BuildDiagRequest(request, sequence, withCounts))) {
        return {false, errno, false};
    }
    return Receive(sequence, sink);
}

CKernelTableSource::DumpResult CKernelTableSource::Receive(std::uint32_t sequence,
                                                           const DiagSocketSink& sink) {
    buffer_.resize(kReceiveBufferBytes);
    for (;;) {
        // MSG_TRUNC: the datagram's real length, so that a cut one is seen as such.
        const ssize_t received = ::recv(socket_.Get(), buffer_.data(), buffer_.size(), MSG_TRUNC);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0) {
            return {false, errno, false};
        }
        if (received == 0) {
            return {false, EPIPE, false};
        }
        if (static_cast<std::size_t>(received) > buffer_.size()) {
            return {false, EMSGSIZE, false};
        }
        const auto datagram = std::span(buffer_).first(static_cast<std::size_t>(received));
        const DiagParseResult result = ParseDiagDatagram(datagram, sequence, sink);
        switch (result.status) {
            case DiagParseResult::More:
                break;
            case DiagParseResult::Done:
                return {true, 0, false};
            case DiagParseResult::Error:
                return {false, result.error, true};
            case DiagParseResult::Malformed:
                return {false, EBADMSG, false};
        }
    }
}

bool CKernelTableSource::DumpAll(const DiagSocketSink& sink, const std::function<void()>& restart) {
    const bool withCounts = NextDumpCounts();
    if (mode_ == Mode::BothFamilies) {
        const DumpResult result = Dump(DiagRequest::BothFamilies, withCounts, sink);
        if (result.ok) {
            return DumpUdp(sink);
        }
        if (!result.kernelRefused || !RefusedRequest(result.error)) {
            AfterFailure(result);
            return false;
        }
        // This kernel no longer takes the older request: ask per family from now on.
        mode_ = Mode::PerFamily;
        restart();
    }
    for (const DiagRequest family : {DiagRequest::Ipv4, DiagRequest::Ipv6}) {
        const DumpResult result = Dump(family, withCounts, sink);
        if (!result.ok) {
            AfterFailure(result);
            return false;
        }
    }
    return DumpUdp(sink);
}

bool CKernelTableSource::DumpUdp(const DiagSocketSink& sink) {
    const DiagSocketSink udpSink = [&sink](const DiagSocket& socket) {
        DiagSocket marked = socket;
        marked.protocol = IPPROTO_UDP;
        sink(marked);
    };
    for (const DiagRequest family : {DiagRequest::UdpIpv4, DiagRequest::UdpIpv6}) {
        if (!withUdp_) {
            break;
        }
        const DumpResult result = Dump(family, false, udpSink);
        if (result.ok) {
            continue;
        }
        if (result.kernelRefused && RefusedRequest(result.error)) {
            // A kernel without UDP socket dumps: the TCP table is no less whole for it.
            withUdp_ = false;
            break;
        }
        AfterFailure(result);
        return false;
    }
    lastError_ = 0;
    return true;
}

std::optional<std::vector<DiagSocket>> CKernelTableSource::DumpSockets() {
    std::vector<DiagSocket> sockets;
    const bool ok = DumpAll([&sockets](const DiagSocket& socket) { sockets.push_back(socket); },
                            [&sockets] { sockets.clear(); });
    if (!ok) {
        return std::nullopt;
    }
    return sockets;
}

std::optional<std::vector<TcpRow>> CKernelTableSource::TcpRows() {
    // Each socket becomes its row as it is read: the dump is never held as sockets as well.
    std::vector<TcpRow> rows;
    rows.reserve(lastRows_ + lastRows_ / 8);
    const bool ok = DumpAll(
        [&rows](const DiagSocket& socket) {
            if (auto row = ToRow(socket, false)) {
                rows.push_back(*row);
            }
        },
        [&rows] { rows.clear(); });
    if (!ok) {
        return std::nullopt;
    }
    lastRows_ = rows.size();
    return rows;
}

std::unique_ptr<ITableSource> OpenKernelTableSource(int byteCountPeriod) {
    auto source = CKernelTableSource::Create();
    source->SetByteCountPeriod(byteCountPeriod);
    return source;
}

}  // namespace tarvik
