#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tracking/ConnectionTracker.h"

namespace tarvik {
namespace {

class NullHost : public ITrackerHost {
public:
    ViewFilter ReadFilter() override { return {}; }
    void Publish(TrackerNews) override {}
    void Trace(std::string_view) override {}
    std::time_t Now() override { return 1000; }
};

class NullList : public IConnectionList {
public:
    void Apply(std::vector<RowOp> ops) override {
        benchmark::DoNotOptimize(ops.data());
        rowOps += ops.size();
    }
    std::size_t rowOps = 0;
};

// Reverse lookup on; remembers the addresses the tracker asks names for.
class LookupHost : public NullHost {
public:
    ViewFilter ReadFilter() override {
        ViewFilter filter;
        filter.reverseLookup = 1;
        return filter;
    }
    void Publish(TrackerNews news) override {
        if (auto* request = std::get_if<ResolveHost>(&news)) {
            asked.push_back(std::move(request->address));
        }
    }
    std::vector<std::string> asked;
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
    record.category = Category::Inbound;
    record.state = TcpState::Established;
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

// range(0) connections from one remote host appear in one snapshot; the lookup worker answers
// every request the tracker sent (from its cache after the first), as it does between polls.
void BM_OneHostNames(benchmark::State& state) {
    const long size = state.range(0);
    std::size_t requests = 0;
    std::size_t rowOps = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<CConnectionRecord> rows = Rows(0, size);
        for (auto& row : rows) {
            row.ipAddress = "10.9.8.7";
            row.hostName = row.ipAddress;
        }
        LookupHost host;
        NullList list;
        CConnectionTracker tracker(host, list);
        state.ResumeTiming();
        Merge(tracker, std::move(rows));
        for (const std::string& address : host.asked) {
            tracker.ApplyHostName("Busy.Example.ORG", address);
        }
        requests += host.asked.size();
        rowOps += list.rowOps;
    }
    state.counters["requests"] =
        benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kAvgIterations);
    state.counters["row_ops"] =
        benchmark::Counter(static_cast<double>(rowOps), benchmark::Counter::kAvgIterations);
}

BENCHMARK(BM_OneHostNames)->ArgNames({"rows"})->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

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
