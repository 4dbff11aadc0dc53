#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Address.h"

namespace tarvik {

enum class Transport : std::uint8_t { Tcp, Udp };

// A TCP segment or UDP datagram addressed to this host that no socket took, as the kernel saw
// it after reassembling fragments. Stray segments of connections that ended lately and late
// replies to UDP sockets closed lately are already left out.
struct UnansweredPacket {
    AddressFamily family = AddressFamily::Ipv4;
    AddressBytes remote{};
    int remotePort = 0;
    int localPort = 0;
    Transport transport = Transport::Tcp;
    std::uint8_t tcpFlags = 0;     // TCP only
    unsigned tcpHeaderLength = 0;  // in bytes, TCP only
};

// A connect() of this host that the peer refused or the network could not reach.
struct RefusedConnect {
    AddressFamily family = AddressFamily::Ipv4;
    AddressBytes remote{};
    int remotePort = 0;
    int error = 0;          // the errno connect() got
    std::uint32_t pid = 0;  // 0 when the process is not known
    std::string command;
    std::uint32_t uid = 0;
};

struct NoSocketBatch {
    std::vector<UnansweredPacket> packets;
    std::vector<RefusedConnect> refused;
    bool Empty() const { return packets.empty() && refused.empty(); }
};

// The kernel's verdicts that nothing listens, read on a thread of its own into a bounded
// queue. Needs CAP_BPF and CAP_PERFMON and a kernel with BTF.
class INoSocketSource {
public:
    using WakeFn = std::function<void()>;
    virtual ~INoSocketSource() = default;
    // Reads on its own thread; `wake` is called (from it) when something waits while nothing
    // waited before. Once.
    virtual void Start(WakeFn wake) = 0;
    // Ends the thread and waits for it.
    virtual void Stop() = 0;
    // What waits, oldest first; the queue is empty afterwards. Any thread.
    virtual NoSocketBatch Take() = 0;
    // Verdicts the queue or the kernel's ring had no room for, so far.
    virtual std::uint64_t Lost() const = 0;
};

// The kernel program loaded and attached to this network namespace, or null with the reason.
std::unique_ptr<INoSocketSource> OpenNoSocketSource(std::string& reason);

}  // namespace tarvik
