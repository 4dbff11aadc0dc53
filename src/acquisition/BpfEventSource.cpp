#include "acquisition/BpfEventSource.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "acquisition/NetlinkDiag.h"
#ifdef TARVIK_HAVE_BPF
#include "acquisition/bpf/BpfTcpStates.h"
#endif

namespace tarvik {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::uint8_t kLinuxTcpClose = 7;

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    const std::int64_t quotient = value / divisor;
    return (value % divisor < 0) ? quotient - 1 : quotient;
}

// Seconds of the wall clock, computed in parts so that no sum can overflow.
std::time_t WallSeconds(std::uint64_t monotonicNs, std::int64_t offsetNs) {
    const auto seconds = static_cast<std::int64_t>(monotonicNs / kNsPerSecond);
    const auto rest = static_cast<std::int64_t>(monotonicNs % kNsPerSecond);
    const std::int64_t offsetSeconds = FloorDiv(offsetNs, kNsPerSecond);
    // The remainder, not offsetNs - offsetSeconds * kNsPerSecond: near INT64_MIN that product
    // is below INT64_MIN.
    const std::int64_t remainder = offsetNs % kNsPerSecond;
    const std::int64_t offsetRest =
        remainder < 0 ? remainder + kNsPerSecond : remainder;  // [0, 1 s)
    return static_cast<std::time_t>(seconds + offsetSeconds + (rest + offsetRest) / kNsPerSecond);
}

std::int64_t ClockNs(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

}  // namespace

std::int64_t RealtimeOffsetNs() {
    return ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC);
}

std::optional<TcpEvent> TcpEventFromSample(const tarvik_tcp_sample& sample,
                                           std::int64_t realtimeOffsetNs) {
    DiagSocket socket;
    socket.family = sample.family;
    socket.state = sample.newstate;
    std::memcpy(socket.source.data(), sample.saddr, socket.source.size());
    std::memcpy(socket.destination.data(), sample.daddr, socket.destination.size());
    if (sample.family == AF_INET) {
        // Only the first four bytes are the address; the rest must not reach the row.
        std::fill(socket.source.begin() + 4, socket.source.end(), 0);
        std::fill(socket.destination.begin() + 4, socket.destination.end(), 0);
    }
    socket.sourcePort = sample.sport;
    socket.destinationPort = sample.dport;
    socket.cookie = sample.cookie;
    socket.uid = sample.uid;
    socket.inode = sample.inode;
    socket.v6Only = sample.v6only != 0;

    const bool ended = sample.newstate == kLinuxTcpClose;
    auto row = ended ? ToEndedRow(socket) : ToTcpRow(socket);
    if (!row) {
        return std::nullopt;
    }
    if (!ended && row->localPort == 0) {
        // A connect's SYN_SENT comes before its local port is chosen; the next change of the
        // socket (established, or closed when the attempt fails) brings the port with it.
        return std::nullopt;
    }
    TcpEvent event;
    event.kind = ended ? TcpEvent::Kind::Ended : TcpEvent::Kind::Changed;
    event.row = *row;
    event.time = WallSeconds(sample.time_ns, realtimeOffsetNs);
    return event;
}

void COpeningProcesses::Note(const tarvik_tcp_sample& sample) {
    if (sample.tgid == 0 || sample.cookie == 0) {
        return;
    }
    if (waiting_.size() >= kMaxWaiting) {
        waiting_.clear();  // only owners are lost: /proc is still searched for them
    }
    const std::size_t length = ::strnlen(sample.comm, sizeof sample.comm);
    waiting_[sample.cookie] =
        Process{static_cast<int>(sample.tgid), std::string(sample.comm, length)};
}

void COpeningProcesses::Attach(TcpEvent& event) {
    const auto found = waiting_.find(event.row.cookie);
    if (found == waiting_.end()) {
        return;
    }
    event.pid = found->second.pid;
    event.command = std::move(found->second.command);
    waiting_.erase(found);
}

std::unique_ptr<IEventSource> OpenBpfEventSource(std::string* reason, const BpfTraceSink& trace) {
    std::string why;
#ifdef TARVIK_HAVE_BPF
    std::unique_ptr<IEventSource> source = OpenBpfTcpStates(why, trace);
#else
    static_cast<void>(trace);
    std::unique_ptr<IEventSource> source;
    why = "not built with eBPF support";
#endif
    if (!source && reason != nullptr) {
        *reason = std::move(why);
    }
    return source;
}

}  // namespace tarvik
