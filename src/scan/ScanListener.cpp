#include "scan/ScanListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "base/ThreadName.h"
#include "settings/SettingsStore.h"
#include "tracking/Events.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

constexpr int kBacklog = 3;

std::string DottedAddress(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

constexpr std::uint64_t kDescriptorReserve = 64;
constexpr std::size_t kMostBaitPorts = 4096;

// A listening socket on the port, or an invalid one with the errno of the failure in `error`.
// Ports outside 1..65535 are refused: 0 would bind a random port and larger values would wrap
// to another one.
UniqueFd OpenBaitSocket(const in_addr& address, int port, int& error) {
    if (port < 1 || port > 65535) {
        error = EINVAL;
        return UniqueFd();
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        error = errno;
        return fd;
    }
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr = address;
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(fd.Get(), kBacklog) != 0) {
        error = errno;
        return UniqueFd();
    }
    return fd;
}

std::uint64_t DescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    return limit.rlim_cur;
}

}  // namespace

std::size_t BaitPortCap(std::uint64_t descriptorLimit) {
    if (descriptorLimit <= kDescriptorReserve) {
        return 0;
    }
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(descriptorLimit - kDescriptorReserve, kMostBaitPorts));
}

CScanListener::CScanListener(CSettingsStore& settings, CWorkerHub& hub, std::string bindAddress)
    : settings_(settings), hub_(hub), bindAddress_(std::move(bindAddress)) {}

CScanListener::~CScanListener() {
    Stop();
    Wait();
}

void CScanListener::Start() {
    if (thread_.joinable()) {
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

void CScanListener::Stop() {
    waits_.Stop();
}

void CScanListener::Wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool CScanListener::WaitUntilListening(std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return listening_.wait_for(lock, deadline, [this] { return bound_; });
}

int CScanListener::BindRounds() const {
    std::lock_guard lock(mutex_);
    return bindRounds_;
}

std::vector<int> CScanListener::HeldPorts() const {
    std::lock_guard lock(mutex_);
    return heldPorts_;
}

void CScanListener::RetryUnbound() {
    {
        std::lock_guard lock(mutex_);
        retryRequested_ = true;
    }
    waits_.Wake();
}

bool CScanListener::TakeRetryRequest() {
    std::lock_guard lock(mutex_);
    return std::exchange(retryRequested_, false);
}

void CScanListener::SetListening(const std::vector<BaitPort>& baits) {
    std::vector<int> held;
    for (const BaitPort& bait : baits) {
        if (bait.fd) {
            held.push_back(bait.port);
        }
    }
    {
        std::lock_guard lock(mutex_);
        heldPorts_ = std::move(held);
        bound_ = true;
        ++bindRounds_;
    }
    listening_.notify_all();
}

void CScanListener::Say(const std::string& text) const {
    hub_.Trace(text);
    hub_.NotifyUser(text);
}

void CScanListener::Run() {
    NameThisThread("scan listener");
    std::vector<BaitPort> baits = ConfiguredPorts();
    BindUnbound(baits);
    SetListening(baits);
    Serve(baits);
    // The sockets close here, dropping any connection still pending.
}

std::vector<CScanListener::BaitPort> CScanListener::ConfiguredPorts() {
    PortListPtr ports = settings_.GetListenPorts();
    if (!ports) {
        return {};
    }
    // A port listed twice is watched once: its second socket could never bind, and saying so
    // would report a watched port as not watched.
    std::vector<int> unique;
    std::unordered_set<int> seen;
    for (int port : *ports) {
        if (seen.insert(port).second) {
            unique.push_back(port);
        }
    }
    const std::uint64_t limit = DescriptorLimit();
    const std::size_t cap = BaitPortCap(limit);
    std::vector<BaitPort> baits;
    baits.reserve(std::min(unique.size(), cap));
    for (int port : unique) {
        if (baits.size() == cap) {
            break;
        }
        baits.push_back(BaitPort{port, UniqueFd(), 0, false});
    }
    if (unique.size() > cap) {
        Say("bait ports: " + std::to_string(unique.size() - cap) + " of " +
            std::to_string(unique.size()) +
            " not watched, to stay below the limit of open descriptors (" + std::to_string(limit) +
            ")");
    }
    return baits;
}

bool CScanListener::BindUnbound(std::vector<BaitPort>& baits) {
    in_addr address{};
    if (::inet_pton(AF_INET, bindAddress_.c_str(), &address) != 1) {
        return false;
    }
    bool taken = false;
    for (BaitPort& bait : baits) {
        if (bait.fd) {
            continue;
        }
        int error = 0;
        bait.fd = OpenBaitSocket(address, bait.port, error);
        if (bait.fd) {
            if (bait.lastError != 0) {
                hub_.Trace("bait port " + std::to_string(bait.port) + " watched");
            }
            bait.lastError = 0;
            taken = true;
        } else if (error != bait.lastError) {
            // Once per port and reason: a port that stays taken is not said at every retry.
            bait.lastError = error;
            Say("bait port " + std::to_string(bait.port) + " not watched: " + std::strerror(error));
        }
    }
    return taken;
}

void CScanListener::WatchNew(std::vector<BaitPort>& baits) {
    for (BaitPort& bait : baits) {
        if (bait.fd && !bait.watched) {
            waits_.Watch(bait.fd.Get(), POLLIN);
            bait.watched = true;
        }
    }
}

void CScanListener::Serve(std::vector<BaitPort>& baits) {
    WatchNew(baits);
    for (;;) {
        // With no port held this waits for a retry request or the stop alone.
        const CWaitSet::Result& woke = waits_.Wait();
        if (woke.failed) {
            Say("bait ports not watched: cannot wait for connections");
        }
        if (woke.stopped || woke.failed) {
            return;
        }
        for (const CWaitSet::Ready& ready : woke.ready) {
            AcceptAndReport(ready.fd);
        }
        if (woke.woken && TakeRetryRequest()) {
            BindUnbound(baits);
            SetListening(baits);
            WatchNew(baits);
        }
    }
}

void CScanListener::AcceptAndReport(int listenFd) {
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    UniqueFd connection(
        ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC));
    if (!connection) {
        return;
    }
    connection.Reset();

    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    if (::getsockname(listenFd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        return;
    }
    NewInbound accepted;
    accepted.connections.push_back({DottedAddress(peer.sin_addr), ntohs(local.sin_port)});
    hub_.Publish(std::move(accepted));
}

}  // namespace tarvik
