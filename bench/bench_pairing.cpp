#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "acquisition/AbortedEnds.h"

// The cost of one notice to the pairing of aborted ends, as the events back-end drains them
// under loopback load: clients of one server port close as usual (both ends wait in case the
// other aborted) while others reset theirs (the two halves pair at once).
namespace tarvik {
namespace {

constexpr std::uint16_t kServerPort = 8080;
constexpr std::uint16_t kFirstClientPort = 32768;
constexpr std::uint16_t kClientPorts = 28232;  // the kernel's default ephemeral range

AddressBytes Loopback() {
    AddressBytes address{};
    address[0] = 127;
    address[3] = 1;
    return address;
}

TcpEvent End(std::uint16_t localPort, std::uint16_t remotePort, std::time_t time) {
    TcpRow row;
    row.localAddress = Loopback();
    row.localPort = localPort;
    row.remoteAddress = Loopback();
    row.remotePort = remotePort;
    row.state = TcpState::Closed;
    return {TcpEvent::Kind::Ended, row, time};
}

// What is left of a client's end after it reset: its local port and the server's address.
TcpEvent AbortedClient(std::uint16_t localPort, std::time_t time) {
    TcpEvent event = End(localPort, 0, time);
    event.row.localAddress = AddressBytes{};
    return event;
}

// One drain: one connection closed as usual (both ends) and one aborted (server end first in
// every other drain), all at `now`.
std::vector<TcpEvent> Drain(std::uint64_t n, std::time_t now) {
    const auto ordinary = static_cast<std::uint16_t>(kFirstClientPort + (2 * n) % kClientPorts);
    const auto aborted = static_cast<std::uint16_t>(kFirstClientPort + (2 * n + 1) % kClientPorts);
    std::vector<TcpEvent> events{End(ordinary, kServerPort, now), End(kServerPort, ordinary, now),
                                 AbortedClient(aborted, now), End(kServerPort, aborted, now)};
    if (n % 2 == 1) {
        std::swap(events[2], events[3]);
    }
    return events;
}

// Arg: connections a second, one drain each. What waits settles near 22 ends per connection a
// second (each end waits 11 s), up to the bound; from about 745 a second the bound is met and
// old ends make room.
void BM_PairDrain(benchmark::State& state) {
    const auto perSecond = static_cast<std::uint64_t>(state.range(0));
    CListeningPorts listening;
    listening.Add(kServerPort);
    const struct mallinfo2 before = ::mallinfo2();
    CAbortedEndPairing pairing;
    std::time_t now = 1000;
    std::uint64_t n = 0;
    const auto drain = [&] {
        if (++n % perSecond == 0) {
            ++now;
        }
        return pairing.Pair(Drain(n, now), listening, now);
    };
    // Until what waits is as it stays.
    for (std::uint64_t i = 0; i < perSecond * (CAbortedEndPairing::kHoldSeconds + 2); ++i) {
        drain();
    }
    const struct mallinfo2 settled = ::mallinfo2();
    state.counters["heap_per_waiting"] =
        static_cast<double>(settled.uordblks - before.uordblks) /
        static_cast<double>(std::max<std::size_t>(1, pairing.Waiting()));
    double waiting = 0;
    for (auto _ : state) {
        const std::vector<TcpEvent> rebuilt = drain();
        if (rebuilt.size() != 1) {
            state.SkipWithError("an aborted end was not paired");
            break;
        }
        benchmark::DoNotOptimize(rebuilt.data());
        waiting += static_cast<double>(pairing.Waiting());
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["waiting"] = waiting / iterations;
    state.counters["per_notice"] = benchmark::Counter(
        iterations * 4, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_PairDrain)
    ->ArgNames({"conn_per_s"})
    ->Arg(45)
    ->Arg(455)
    ->Arg(740)
    ->Arg(5000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarvik

BENCHMARK_MAIN();
