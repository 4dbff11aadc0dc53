#include <benchmark/benchmark.h>

#include "app/EcsEvent.h"
#include "app/EventStream.h"

// What one event line costs in each format: the native line is made on the tracker's thread,
// its ECS form from it on the writer's thread of --events and of the events file.
namespace tarvik {
namespace {

CConnectionRecord ClosedConnection() {
    CConnectionRecord record;
    record.state = TcpState::TimeWait;
    record.category = Category::Outbound;
    record.interfaceText = "192.0.2.10";
    record.localPort = 51000;
    record.ipAddress = "198.51.100.7";
    record.remotePort = 443;
    record.hostName = "www.example.org";
    record.serviceText = "https";
    record.openTime = 1061553787;
    record.closeTime = 1061553799;
    record.cookie = 123456789;
    record.uid = 1000;
    record.pid = 4242;
    record.command = "curl";
    record.user = "ann";
    return record;
}

void NativeLine(benchmark::State& state) {
    const CConnectionRecord record = ClosedConnection();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ConnectionEventLine("close", record, record.closeTime));
    }
}
BENCHMARK(NativeLine);

void EcsLineFromNative(benchmark::State& state) {
    const CConnectionRecord record = ClosedConnection();
    const std::string native = ConnectionEventLine("close", record, record.closeTime);
    for (auto _ : state) {
        benchmark::DoNotOptimize(EcsEventLine(native, "host1"));
    }
}
BENCHMARK(EcsLineFromNative);

}  // namespace
}  // namespace tarvik

BENCHMARK_MAIN();
