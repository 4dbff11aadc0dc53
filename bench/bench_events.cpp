#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "acquisition/BpfEventSource.h"
#include "base/UniqueFd.h"

// What the events back-end takes at 1,000 loopback connections a second for 5 s: events
// received and the CPU the process spent beyond the thread making the connections (the
// reader thread, mostly). Needs the privileges the program needs.
namespace tarvik {
namespace {

constexpr int kPerSecond = 1000;
constexpr int kSeconds = 5;

double CpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

UniqueFd Listener(sockaddr_in& address) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 1024) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    return fd;
}

// One short connection, closed by the client first, as most are.
bool OneConnection(int listener, const sockaddr_in& to) {
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client ||
        ::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return false;
    }
    UniqueFd server(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    client.Reset();
    return server.Valid();
}

struct Counts {
    long events = 0;
    long ours = 0;  // on the bench's listener port
    long ended = 0;
};

void Count(IEventSource& source, std::uint16_t port, Counts& counts) {
    for (const auto& event : source.Drain()) {
        ++counts.events;
        if (event.row.localPort == port || event.row.remotePort == port) {
            ++counts.ours;
            counts.ended += event.kind == TcpEvent::Kind::Ended ? 1 : 0;
        }
    }
}

int Run() {
    std::string reason;
    auto source = OpenBpfEventSource(&reason);
    if (!source) {
        std::fprintf(stderr, "bench_events: %s\n", reason.c_str());
        return 1;
    }
    sockaddr_in address{};
    const UniqueFd listener = Listener(address);
    if (!listener) {
        std::perror("bench_events: listener");
        return 1;
    }
    const std::uint16_t port = ntohs(address.sin_port);
    Counts counts;
    int made = 0;
    const double processBefore = CpuSeconds(RUSAGE_SELF);
    const double mainBefore = CpuSeconds(RUSAGE_THREAD);
    const auto start = std::chrono::steady_clock::now();
    auto nextDrain = start + std::chrono::milliseconds(100);
    for (int i = 0; i < kPerSecond * kSeconds; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(i * 1'000'000LL / kPerSecond));
        made += OneConnection(listener.Get(), address) ? 1 : 0;
        if (std::chrono::steady_clock::now() >= nextDrain) {
            Count(*source, port, counts);
            nextDrain += std::chrono::milliseconds(100);
        }
    }
    const double connecting =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Count(*source, port, counts);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double mainCpu = CpuSeconds(RUSAGE_THREAD) - mainBefore;
    const double otherCpu = CpuSeconds(RUSAGE_SELF) - processBefore - mainCpu;

    std::printf("connections made      %d in %.2f s (%.0f/s)\n", made, connecting,
                made / connecting);
    std::printf("events received       %ld (%.0f/s), %ld of the bench's own\n", counts.events,
                counts.events / elapsed, counts.ours);
    std::printf("ended events (own)    %ld of %d sockets\n", counts.ended, 2 * made);
    std::printf("loss reported         %s\n", source->TakeLoss() ? "yes" : "no");
    std::printf("reader CPU            %.3f s (%.1f%% of one core)\n", otherCpu,
                100.0 * otherCpu / elapsed);
    std::printf("connecting thread CPU %.3f s\n", mainCpu);
    return 0;
}

}  // namespace
}  // namespace tarvik

int main() {
    return tarvik::Run();
}
