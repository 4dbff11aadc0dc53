#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tracking/ConnectionTracker.h"

namespace tarvik {
namespace {

class NullHost : public ITrackerHost {
public:
    ViewFilter ReadFilter() override { return {}; }
    void Broadcast(int, Payload, Payload) override {}
    void Trace(std::string_view) override {}
    std::time_t Now() override { return 1000; }
};

class NullList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override { benchmark::DoNotOptimize(ops.data()); }
};

// Connection number n: a distinct remote address and port on one of a few local ports.
CConnectionRecord Connection(long n) {
    CConnectionRecord record;
    record.ipAddress = "10." + std::to_string((n >> 16) & 255) + "." +
                       std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
    record.hostName = record.ipAddress;
    record.interfaceText = "192.168.1.5";
    record.localPort = 443 + static_cast<int>(n % 4);
    record.remotePort = 1024 + static_cast<int>(n % 60000);
    record.category = kCategoryInbound;
    record.state = kStateEstablished;
    record.serviceText = "inbound https";
    return record;
}

std::vector<CConnectionRecord> Rows(long first, long count) {
    std::vector<CConnectionRecord> rows;
    rows.reserve(count);
    for (long n = first; n < first + count; ++n) {
        rows.push_back(Connection(n));
    }
    return rows;
}

void Merge(CConnectionTracker& tracker, std::vector<CConnectionRecord> rows) {
    tracker.BeginSnapshot();
    for (auto& row : rows) {
        tracker.AddEntry(std::move(row));
    }
    tracker.EndSnapshot();
}

// One merge of a snapshot of range(0) rows; each snapshot drops the oldest range(1) per mille
// of the connections and brings as many new ones.
void BM_Merge(benchmark::State& state) {
    const long size = state.range(0);
    const long churn = size * state.range(1) / 1000;
    NullHost host;
    NullList list;
    CConnectionTracker tracker(host, list);
    Merge(tracker, Rows(0, size));
    long first = 0;
    for (auto _ : state) {
        state.PauseTiming();
        first += churn;
        std::vector<CConnectionRecord> rows = Rows(first, size);
        state.ResumeTiming();
        Merge(tracker, std::move(rows));
    }
    state.SetItemsProcessed(state.iterations() * size);
}

BENCHMARK(BM_Merge)
    ->ArgNames({"rows", "churn_permille"})
    ->Args({2000, 0})
    ->Args({10000, 0})
    ->Args({50000, 0})
    ->Args({10000, 10})
    ->Args({50000, 10})
    ->Args({100000, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvik

BENCHMARK_MAIN();
