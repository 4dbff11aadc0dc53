#pragma once

#include <linux/if_packet.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "base/WaitSet.h"
#include "scan/ProbePacket.h"

namespace tarvik {

// The probes read and not yet taken by the owner: at most kMaxQueued wait, the rest are dropped
// and counted, so that a flood the owner cannot keep up with costs no unbounded memory.
class CProbeQueue {
public:
    static constexpr std::size_t kMaxQueued = 16384;

    // Appends what fits of `batch` and empties it. True when probes now wait and none waited
    // before: the owner is to be woken, once until it takes them. Any thread.
    bool Add(std::vector<Probe>& batch);
    // The probes waiting, oldest first; the queue is empty afterwards. Any thread.
    std::vector<Probe> Take();
    std::uint64_t Dropped() const { return dropped_.load(); }

private:
    std::mutex mutex_;
    std::vector<Probe> queue_;  // under mutex_
    std::atomic<std::uint64_t> dropped_{0};
};

// Sees the TCP probes that never become a connection (SYN, FIN, NULL and Xmas segments
// addressed to this host, IPv4 and IPv6) through a packet socket whose classic BPF filter drops
// everything else in the kernel. Needs CAP_NET_RAW. Probes wait in a bounded queue
// (CProbeQueue) until the owner takes them.
class CProbeSensor {
public:
    using WakeFn = std::function<void()>;
    // Reads one packet from `fd` into `buffer` as recvfrom(2) on the packet socket does, with
    // its link-layer address in `from`. A seam: tests stand a socket pair in for the socket.
    using ReceiveFn =
        std::function<ssize_t(int fd, std::span<std::uint8_t> buffer, sockaddr_ll& from)>;

    CProbeSensor() = default;
    ~CProbeSensor();
    CProbeSensor(const CProbeSensor&) = delete;
    CProbeSensor& operator=(const CProbeSensor&) = delete;

    // Opens the socket and attaches the filter. Returns an empty text, or why probes will not
    // be seen (with the errno text).
    std::string Open();
    // Reads `fd` through `receive` instead of a packet socket of its own.
    std::string OpenOn(UniqueFd fd, ReceiveFn receive);
    // Reads on its own thread; `wake` is called (from that thread) when probes wait while none
    // waited before. Call once, after a successful Open.
    void Start(WakeFn wake);
    // Ends the thread and waits for it; a thread waiting for packets ends at once.
    void Stop();

    // The probes waiting, oldest first; the queue is empty afterwards. Any thread.
    std::vector<Probe> Take() { return queue_.Take(); }
    std::uint64_t Dropped() const { return queue_.Dropped(); }

private:
    enum class DrainResult { Emptied, MoreWaiting, Failed };

    void Run();
    // Reads what the socket holds now, up to one round; Failed on an error that ends the reading.
    DrainResult Drain(std::vector<Probe>& batch);
    void Publish(std::vector<Probe>& batch);

    UniqueFd fd_;
    ReceiveFn receive_;
    WakeFn wake_;
    CProbeQueue queue_;
    CWaitSet waits_;
    std::thread thread_;
};

}  // namespace tarvik
