// One poll of 10,000 loopback connections (20,000 table rows): the bare kernel dump beside the
// whole walk through the agent with classification. Helper processes hold the sockets, since
// one process may not hold 20,000 descriptors; they exit when this process closes their pipe
// or dies.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "acquisition/KernelTableSource.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "app/ListCommand.h"
#include "base/UniqueFd.h"

namespace {

using tarvik::UniqueFd;

constexpr int kHelpers = 4;
constexpr int kConnectionsPerHelper = 2500;

UniqueFd LoopbackListener() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd.Get(), 128) != 0) {
        return {};
    }
    return fd;
}

// Opens `count` loopback connections and keeps them (both ends) in `held`.
bool OpenConnections(int count, std::vector<UniqueFd>& held) {
    UniqueFd listener = LoopbackListener();
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (!listener ||
        getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!client ||
            connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return false;
        }
        UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!server) {
            return false;
        }
        // Reset rather than close at exit, so no TIME_WAIT sockets outlive the run.
        const linger reset{1, 0};
        setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        setsockopt(server.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        held.push_back(std::move(client));
        held.push_back(std::move(server));
    }
    return true;
}

[[noreturn]] void RunHelper(pid_t parent, int readyFd, int holdFd) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(1);
    }
    std::vector<UniqueFd> held;
    const char ready = OpenConnections(kConnectionsPerHelper, held) ? 'y' : 'n';
    if (write(readyFd, &ready, 1) != 1) {
        _exit(1);
    }
    char byte = 0;
    while (read(holdFd, &byte, 1) > 0) {
    }
    _exit(0);
}

class HelperPool {
public:
    bool Start() {
        int hold[2];
        if (pipe2(hold, O_CLOEXEC) != 0) {
            return false;
        }
        UniqueFd holdRead(hold[0]);
        hold_.Reset(hold[1]);
        const pid_t self = getpid();
        for (int i = 0; i < kHelpers; ++i) {
            int ready[2];
            if (pipe2(ready, O_CLOEXEC) != 0) {
                return false;
            }
            UniqueFd readyRead(ready[0]);
            UniqueFd readyWrite(ready[1]);
            const pid_t child = fork();
            if (child < 0) {
                return false;
            }
            if (child == 0) {
                hold_.Reset();
                RunHelper(self, readyWrite.Get(), holdRead.Get());
            }
            children_.push_back(child);
            readyWrite.Reset();
            char answer = 0;
            if (read(readyRead.Get(), &answer, 1) != 1 || answer != 'y') {
                return false;
            }
        }
        return true;
    }

    ~HelperPool() {
        hold_.Reset();  // the helpers see end of file and exit
        for (pid_t child : children_) {
            waitpid(child, nullptr, 0);
        }
    }

private:
    UniqueFd hold_;
    std::vector<pid_t> children_;
};

bool g_helpersReady = false;

void BM_KernelDump(benchmark::State& state, tarvik::CKernelTableSource::Mode mode) {
    auto source = tarvik::CKernelTableSource::Open(mode);
    if (!g_helpersReady || !source) {
        state.SkipWithError("no helpers or no sock_diag socket");
        return;
    }
    std::size_t sockets = 0;
    for (auto _ : state) {
        auto dump = source->DumpSockets();
        if (!dump) {
            state.SkipWithError("dump failed");
            return;
        }
        sockets = dump->size();
        benchmark::DoNotOptimize(dump->data());
    }
    state.counters["sockets"] = static_cast<double>(sockets);
    state.counters["per_socket"] = benchmark::Counter(
        static_cast<double>(sockets),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel(source->CurrentMode() == tarvik::CKernelTableSource::Mode::BothFamilies
                       ? "one request"
                       : "one request per family");
}

// One dump and its classified records; with the owners after the first poll has found them.
void BM_KernelPoll(benchmark::State& state, bool owners) {
    auto source = tarvik::CKernelTableSource::Open();
    const auto services = tarvik::CServicesDatabase::Shared();
    if (!g_helpersReady || !source) {
        state.SkipWithError("no helpers or no sock_diag socket");
        return;
    }
    tarvik::CProcessTable processes;
    tarvik::CProcessTable* table = owners ? &processes : nullptr;
    std::size_t rows = 0;
    for (auto _ : state) {
        const auto listing = tarvik::CollectConnections(*source, *services, table);
        rows = listing.records.size();
        benchmark::DoNotOptimize(listing.records.data());
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(rows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Classification alone, over a fixture: shows how a poll grows with rows.
void BM_FixturePoll(benchmark::State& state) {
    std::vector<tarvik::TcpRow> rows;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        tarvik::TcpRow row;
        row.localAddress = {127, 0, 0, 1};
        row.localPort = static_cast<std::uint16_t>(1024 + i % 60000);
        row.remoteAddress = {10, 0, static_cast<std::uint8_t>(i / 60000), 1};
        row.remotePort = static_cast<std::uint16_t>(80 + i % 3);
        row.state = tarvik::TcpState::Established;
        rows.push_back(row);
    }
    tarvik::CFixtureTableSource source(std::move(rows));
    const auto services = tarvik::CServicesDatabase::Shared();
    for (auto _ : state) {
        const auto listing = tarvik::CollectConnections(source, *services);
        benchmark::DoNotOptimize(listing.records.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK_CAPTURE(BM_KernelDump, both_families, tarvik::CKernelTableSource::Mode::BothFamilies)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_KernelDump, per_family, tarvik::CKernelTableSource::Mode::PerFamily)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_KernelPoll, rows, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_KernelPoll, with_owners, true)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FixturePoll)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    HelperPool helpers;
    g_helpersReady = helpers.Start();
    if (!g_helpersReady) {
        std::fprintf(stderr, "bench_poll: could not open %d loopback connections\n",
                     kHelpers * kConnectionsPerHelper);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
