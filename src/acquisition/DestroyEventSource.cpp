#include "acquisition/DestroyEventSource.h"

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <span>
#include <system_error>

#include "acquisition/NetlinkDiag.h"
#include "acquisition/UdpDiag.h"
#include "base/ReceiveBuffer.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

// Room for a burst of ends between two reads of the thread.
constexpr int kSocketBufferBytes = 8 * 1024 * 1024;
constexpr std::size_t kDatagramBytes = 64 * 1024;
// After a read the thread lets notices gather this long before it waits again, so a burst of
// ends costs one wake-up per pause instead of one per datagram. Short, because an unprivileged
// socket buffer holds only a few hundred notices and each is stamped when read.
constexpr std::chrono::milliseconds kGather{10};

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

constexpr std::uint32_t GroupBit(unsigned group) {
    return 1u << (group - 1);
}

std::vector<TcpEvent> EventsOf(std::span<const std::byte> datagram, bool& malformed) {
    std::vector<DiagSocket> sockets;
    // Notices carry sequence number 0.
    const DiagParseResult result = ParseDiagDatagram(datagram, 0, sockets);
    malformed = result.status == DiagParseResult::Malformed;
    const std::time_t now = std::time(nullptr);
    std::vector<TcpEvent> events;
    events.reserve(sockets.size());
    for (const DiagSocket& socket : sockets) {
        // The kernel names each notice's protocol; UDP ends share this socket with TCP ones.
        if (const auto row = ToRow(socket, true)) {
            events.push_back(TcpEvent{TcpEvent::Kind::Ended, *row, now});
        }
    }
    return events;
}

}  // namespace

std::unique_ptr<CDestroyEventSource> CDestroyEventSource::Open(std::string* error,
                                                               std::size_t queueLimit) {
    auto fail = [error](const char* what) -> std::unique_ptr<CDestroyEventSource> {
        if (error) {
            *error = std::string(what) + ": " + ErrnoText(errno);
        }
        return nullptr;
    };
    UniqueFd socket(
        ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG));
    if (!socket) {
        return fail("sock_diag socket");
    }
    RaiseReceiveBuffer(socket.Get(), kSocketBufferBytes);
    // Joined at bind, before anything is read, so that no end falls between two calls.
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = GroupBit(SKNLGRP_INET_TCP_DESTROY) | GroupBit(SKNLGRP_INET6_TCP_DESTROY) |
                        GroupBit(SKNLGRP_INET_UDP_DESTROY) | GroupBit(SKNLGRP_INET6_UDP_DESTROY);
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail("joining the socket-end notices");
    }
    return std::unique_ptr<CDestroyEventSource>(
        new CDestroyEventSource(std::move(socket), queueLimit));
}

CDestroyEventSource::CDestroyEventSource(UniqueFd socket, std::size_t queueLimit)
    : socket_(std::move(socket)), queueLimit_(queueLimit), reader_([this] { Run(); }) {}

CDestroyEventSource::~CDestroyEventSource() {
    waits_.Stop();
    if (reader_.joinable()) {
        reader_.join();
    }
}

std::vector<TcpEvent> CDestroyEventSource::Drain() {
    std::lock_guard lock(mutex_);
    return std::exchange(queue_, {});
}

bool CDestroyEventSource::TakeLoss() {
    std::lock_guard lock(mutex_);
    return std::exchange(lost_, false);
}

void CDestroyEventSource::Run() {
    NameThisThread("destroy reader");
    std::vector<std::byte> buffer(kDatagramBytes);
    const WaitKey socket = waits_.Watch(socket_.Get(), POLLIN);
    for (;;) {
        const CWaitSet::Result& woke = waits_.Wait();
        if (woke.stopped) {
            return;
        }
        if (woke.failed || (woke.Has(socket) && !ReadWaiting(buffer))) {
            Queue({}, true);  // no more notices: only the dumps tell of ends now
            return;
        }
        if (woke.Has(socket) && waits_.PauseUnlessStopped(kGather)) {
            return;
        }
    }
}

bool CDestroyEventSource::ReadWaiting(std::vector<std::byte>& buffer) {
    for (;;) {
        const ssize_t got = ::recv(socket_.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            switch (errno) {
                case EINTR:
                    continue;
                case EAGAIN:
                    return true;
                case ENOBUFS:  // the kernel dropped notices: the socket buffer was full
                    Queue({}, true);
                    continue;
                default:
                    return false;
            }
        }
        bool malformed = false;
        std::vector<TcpEvent> events =
            EventsOf(std::span(buffer.data(), static_cast<std::size_t>(got)), malformed);
        Queue(std::move(events), malformed);
    }
}

void CDestroyEventSource::Queue(std::vector<TcpEvent> events, bool lost) {
    {
        std::lock_guard lock(mutex_);
        lost_ = lost_ || lost;
        for (TcpEvent& event : events) {
            if (queue_.size() >= queueLimit_) {
                lost_ = true;  // a tick that never comes must not grow the queue without end
                break;
            }
            queue_.push_back(std::move(event));
        }
    }
    ready_.Fire();
}

void CDestroyEventSource::SetReadySignal(std::function<void()> ready) {
    ready_.Set(std::move(ready));
}

}  // namespace tarvik
