#include "scan/ProbeSensor.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/ReceiveBuffer.h"
#include "base/ThreadName.h"

namespace tarvik {

namespace {

constexpr std::size_t kPacketBytes = 256;  // the filter keeps at most 128
constexpr int kReadsPerRound = 512;        // then the queue is published and the stop checked
// After a round that found probes, the thread lets more gather this long before it waits
// again: a scan or a busy server then costs about twenty wake-ups a second, not one per SYN.
constexpr std::chrono::milliseconds kGather{50};
// Holds what arrives during a pause at several thousand probes a second.
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

std::string ErrorText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

ssize_t ReceivePacket(int fd, std::span<std::uint8_t> buffer, sockaddr_ll& from) {
    socklen_t fromLength = sizeof from;
    return ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                      &fromLength);
}

}  // namespace

CProbeSensor::~CProbeSensor() {
    Stop();
}

std::string CProbeSensor::Open() {
    UniqueFd fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL)));
    if (!fd) {
        const int error = errno;
        if (error == EPERM || error == EACCES) {
            return ErrorText("the packet socket needs CAP_NET_RAW", error);
        }
        return ErrorText("cannot open a packet socket", error);
    }
    std::vector<sock_filter> program = ProbeFilterProgram();
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) {
        return ErrorText("cannot attach the packet filter", errno);
    }
    RaiseReceiveBuffer(fd.Get(), kSocketBufferBytes);
    // Packets queued before the filter was attached were not filtered: drop them.
    std::array<std::uint8_t, kPacketBytes> buffer{};
    while (::recv(fd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
    }
    return OpenOn(std::move(fd), ReceivePacket);
}

std::string CProbeSensor::OpenOn(UniqueFd fd, ReceiveFn receive) {
    if (!waits_.Valid()) {
        return ErrorText("cannot wait for packets", errno);
    }
    fd_ = std::move(fd);
    receive_ = std::move(receive);
    return {};
}

void CProbeSensor::Start(WakeFn wake) {
    if (!fd_ || thread_.joinable()) {
        return;
    }
    wake_ = std::move(wake);
    thread_ = std::thread([this] { Run(); });
}

void CProbeSensor::Stop() {
    if (thread_.joinable()) {
        waits_.Stop();
        thread_.join();
    }
}

void CProbeSensor::Run() {
    NameThisThread("probe sensor");
    const WaitKey socket = waits_.Watch(fd_.Get(), POLLIN);
    std::vector<Probe> batch;
    for (;;) {
        const CWaitSet::Result& woke = waits_.Wait();
        if (woke.stopped || woke.failed) {
            return;
        }
        if (!woke.Has(socket)) {
            continue;
        }
        const DrainResult result = Drain(batch);
        const bool found = !batch.empty();
        Publish(batch);
        if (result == DrainResult::Failed) {
            return;
        }
        // A flood that outruns one round is read on at once; the pause is for what trickles.
        if (found && result == DrainResult::Emptied && waits_.PauseUnlessStopped(kGather)) {
            return;
        }
    }
}

CProbeSensor::DrainResult CProbeSensor::Drain(std::vector<Probe>& batch) {
    std::array<std::uint8_t, kPacketBytes> buffer{};
    for (int i = 0; i < kReadsPerRound; ++i) {
        sockaddr_ll from{};
        const ssize_t length = receive_(fd_.Get(), buffer, from);
        if (length < 0) {
            if (errno == EINTR) {
                return DrainResult::MoreWaiting;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? DrainResult::Emptied
                                                           : DrainResult::Failed;
        }
        // The filter already keeps only packets for this host; checked again for safety.
        if (from.sll_pkttype != PACKET_HOST) {
            continue;
        }
        std::optional<Probe> probe = ParseProbe(
            std::span(buffer.data(), static_cast<std::size_t>(length)), ntohs(from.sll_protocol));
        if (probe) {
            batch.push_back(std::move(*probe));
        }
    }
    return DrainResult::MoreWaiting;
}

bool CProbeQueue::Add(std::vector<Probe>& batch) {
    if (batch.empty()) {
        return false;
    }
    bool wasEmpty = false;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = queue_.empty();
        const std::size_t room = kMaxQueued - std::min(kMaxQueued, queue_.size());
        const std::size_t kept = std::min(room, batch.size());
        dropped_ += batch.size() - kept;
        std::move(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(kept),
                  std::back_inserter(queue_));
    }
    batch.clear();
    return wasEmpty;
}

std::vector<Probe> CProbeQueue::Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(queue_, {});
}

void CProbeSensor::Publish(std::vector<Probe>& batch) {
    if (queue_.Add(batch) && wake_) {
        wake_();
    }
}

}  // namespace tarvik
