#include "scan/ScanListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <ctime>
#include <optional>
#include <utility>

#include "acquisition/ConnectionRecord.h"
#include "settings/SettingsStore.h"
#include "tracking/Message.h"

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

// A listening socket on the port, or nothing when the port cannot be taken. Ports outside
// 1..65535 are refused: 0 would bind a random port and larger values would wrap to another one.
std::optional<UniqueFd> OpenBaitSocket(const in_addr& address, int port) {
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return std::nullopt;
    }
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr = address;
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        return std::nullopt;
    }
    if (::listen(fd.Get(), kBacklog) != 0) {
        return std::nullopt;
    }
    return fd;
}

}  // namespace

CScanListener::CScanListener(CSettingsStore& settings, std::string bindAddress)
    : settings_(settings), bindAddress_(std::move(bindAddress)) {}

CScanListener::~CScanListener() {
    Stop();
    Wait();
}

void CScanListener::Start() {
    if (thread_.joinable()) {
        return;
    }
    thread_ = std::jthread([this](std::stop_token stop) { Run(std::move(stop)); });
}

void CScanListener::Stop() {
    thread_.request_stop();
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

std::vector<int> CScanListener::HeldPorts() const {
    std::lock_guard lock(mutex_);
    return heldPorts_;
}

void CScanListener::SetListening(std::vector<int> ports) {
    {
        std::lock_guard lock(mutex_);
        heldPorts_ = std::move(ports);
        bound_ = true;
    }
    listening_.notify_all();
}

void CScanListener::Run(std::stop_token stop) {
    std::vector<UniqueFd> sockets = OpenSockets();
    Serve(sockets, stop);
    // The sockets close here, dropping any connection still pending.
}

std::vector<UniqueFd> CScanListener::OpenSockets() {
    std::vector<UniqueFd> sockets;
    std::vector<int> held;
    in_addr address{};
    PortListPtr ports = settings_.GetListenPorts();
    if (ports && ::inet_pton(AF_INET, bindAddress_.c_str(), &address) == 1) {
        sockets.reserve(ports->size());
        for (int port : *ports) {
            if (auto socket = OpenBaitSocket(address, port)) {
                sockets.push_back(std::move(*socket));
                held.push_back(port);
            }
        }
    }
    SetListening(std::move(held));
    return sockets;
}

void CScanListener::Serve(const std::vector<UniqueFd>& sockets, std::stop_token& stop) {
    if (sockets.empty()) {
        // Nothing to watch: sleep until asked to stop.
        std::mutex idle;
        std::condition_variable_any wake;
        std::unique_lock lock(idle);
        wake.wait(lock, stop, [] { return false; });
        return;
    }
    std::vector<pollfd> watched;
    watched.reserve(sockets.size());
    for (const UniqueFd& socket : sockets) {
        watched.push_back(pollfd{socket.Get(), POLLIN, 0});
    }
    const int timeout = static_cast<int>(kPollPeriod.count());
    while (!stop.stop_requested()) {
        if (::poll(watched.data(), watched.size(), timeout) <= 0) {
            continue;
        }
        for (pollfd& entry : watched) {
            if ((entry.revents & POLLIN) != 0) {
                AcceptAndReport(entry.fd);
            }
            entry.revents = 0;
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
    CConnectionRecord record;
    record.localPort = ntohs(local.sin_port);
    record.interfaceText = DottedAddress(local.sin_addr);
    record.remotePort = ntohs(peer.sin_port);
    record.ipAddress = DottedAddress(peer.sin_addr);
    record.hostName = record.ipAddress;
    record.category = kCategoryInbound;
    record.openTime = std::time(nullptr);
    record.closeTime = record.openTime;
    settings_.Broadcast(kMsgNewConnection, Payload::Record(std::move(record)));
}

}  // namespace tarvik
