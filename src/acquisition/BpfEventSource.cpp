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

// The name the sample gives its process; a name of the full sixteen bytes has no terminator.
std::string CommandOf(const tarvik_tcp_sample& sample) {
    return std::string(sample.comm, ::strnlen(sample.comm, sizeof sample.comm));
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
    if (sample.kind == TARVIK_SAMPLE_STATE) {
        TcpInfoCounts counts;
        counts.acked = sample.bytes_acked;
        counts.received = sample.bytes_received;
        counts.hasSent = (sample.flags & TARVIK_SAMPLE_HAS_SENT) != 0;
        counts.sent = sample.bytes_sent;
        socket.counts = counts;
        // Before the close a process's own close() shuts the receive side too; only the state
        // then tells whether the peer's FIN came.
        if (sample.newstate == kLinuxTcpClose) {
            socket.finReceived = (sample.flags & TARVIK_SAMPLE_FIN_IN) != 0;
        }
    }

    const bool accepted = sample.kind == TARVIK_SAMPLE_ACCEPTED;
    const bool ended = !accepted && sample.newstate == kLinuxTcpClose;
    auto row = ended ? ToEndedRow(socket) : ToTcpRow(socket);
    if (!row || (accepted && sample.tgid == 0)) {
        return std::nullopt;
    }
    if (!ended && !accepted && row->localPort == 0) {
        // A connect's SYN_SENT comes before its local port is chosen; the next change of the
        // socket (established, or closed when the attempt fails) brings the port with it.
        return std::nullopt;
    }
    TcpEvent event;
    event.kind = accepted ? TcpEvent::Kind::Owner
                          : (ended ? TcpEvent::Kind::Ended : TcpEvent::Kind::Changed);
    event.row = *row;
    event.time = WallSeconds(sample.time_ns, realtimeOffsetNs);
    if (accepted) {
        event.pid = static_cast<int>(sample.tgid);
        event.command = CommandOf(sample);
    }
    return event;
}

void NameAcceptedSockets(std::vector<TcpEvent>& events) {
    std::unordered_map<std::uint64_t, const TcpEvent*> owners;
    for (const TcpEvent& event : events) {
        if (event.kind == TcpEvent::Kind::Owner && event.row.cookie != 0) {
            owners.try_emplace(event.row.cookie, &event);
        }
    }
    if (owners.empty()) {
        return;
    }
    for (TcpEvent& event : events) {
        const auto owner = owners.find(event.row.cookie);
        if (owner != owners.end() && event.pid == 0) {
            event.pid = owner->second->pid;
            event.command = owner->second->command;
        }
    }
}

void COpeningProcesses::Note(const tarvik_tcp_sample& sample) {
    // An accept's sample is an event of its own, with its process.
    if (sample.tgid == 0 || sample.cookie == 0 || sample.kind != TARVIK_SAMPLE_STATE) {
        return;
    }
    if (waiting_.size() >= kMaxWaiting) {
        waiting_.clear();  // only owners are lost: /proc is still searched for them
    }
    waiting_[sample.cookie] = Process{static_cast<int>(sample.tgid), CommandOf(sample)};
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
