// Measures Tarvik's poll cycle, window updates, memory and idle cost against the kernel's own
// dump of the connection table, at growing numbers of loopback connections, and prints one
// table. Usage: bench_scale [--out FILE] [--runs N] [--sizes 1000,10000,50000]
//                           [--tarvikd PATH] [--tarvikd-seconds S]
//        bench_scale --gui-rows N   (the window alone, synthetic 1% churn, no sockets)
//        bench_scale --tarvikd PATH --under-load N   (tarvikd's memory at N connections while
//                                                     other threads saturate every core)
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchRigs.h"
#include "LoopbackPool.h"
#include "ScratchTarvikd.h"
#include "TableCell.h"

#ifdef TARVIK_BENCH_GUI
#include <QApplication>
#endif

namespace tarvik::bench {
namespace {

struct Options {
    std::string out;
    int runs = 7;
    std::vector<int> sizes = {1000, 10000, 50000};
    std::string tarvikd;
    int tarvikdSeconds = 60;
    int backlogRows = 0;  // only the backlog measure, at this many rows
    int guiRows = 0;      // only the window, with synthetic churn at this many rows
    int loadRows = 0;     // only tarvikd's memory under CPU load, at this many connections
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--out") {
            options.out = value;
        } else if (name == "--runs") {
            options.runs = std::max(1, std::stoi(value));
        } else if (name == "--tarvikd") {
            options.tarvikd = value;
        } else if (name == "--tarvikd-seconds") {
            options.tarvikdSeconds = std::max(1, std::stoi(value));
        } else if (name == "--under-load") {
            options.loadRows = std::max(1, std::stoi(value));
        } else if (name == "--gui-rows") {
            options.guiRows = std::stoi(value);
        } else if (name == "--backlog") {
            options.backlogRows = std::max(1, std::stoi(value));
        } else if (name == "--sizes") {
            options.sizes.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                options.sizes.push_back(std::stoi(item));
            }
        }
    }
    return options;
}

// `ss -tan` on the same table, output discarded: wall and CPU time of the child.
Timing TimeSs() {
    const auto start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        execlp("ss", "ss", "-tan", static_cast<char*>(nullptr));
        _exit(127);
    }
    rusage usage{};
    int status = 0;
    if (child < 0 || wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return {-1, -1};
    }
    return {Millis(Clock::now() - start), CpuMillis(usage)};
}

// tarvikd's memory while busy threads take every core, so that its tracker falls behind the
// poll: the memory must stay flat rather than queue whole snapshots.
int MeasureUnderLoad(const Options& options) {
    LoopbackPool pool;
    if (!pool.GrowTo(options.loadRows)) {
        std::fprintf(stderr, "bench_scale: could not open %d loopback connections\n",
                     options.loadRows);
        return 1;
    }
    std::atomic<bool> busy{true};
    std::vector<std::jthread> hogs;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < 2 * cores; ++i) {
        hogs.emplace_back([&busy] {
            volatile unsigned long spin = 0;
            while (busy.load(std::memory_order_relaxed)) {
                spin = spin + 1;
            }
        });
    }
    double first = -1;
    double peak = -1;
    double last = -1;
    {
        ScratchTarvikd tarvikd(options.tarvikd);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        for (int second = 0; second < options.tarvikdSeconds; ++second) {
            last = ResidentMegabytes(tarvikd.Pid());
            first = first < 0 ? last : first;
            peak = std::max(peak, last);
            if (second % 10 == 0) {
                std::fprintf(stderr, "bench_scale: %d s: %.1f MiB\n", second + 5, last);
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    busy = false;
    hogs.clear();
    pool.Close();
    std::printf(
        "tarvikd under load, %d connections, %u busy threads, %d s: resident %.1f MiB after "
        "5 s, peak %.1f MiB, at the end %.1f MiB\n",
        options.loadRows, 2 * cores, options.tarvikdSeconds, first, peak, last);
    return first > 0 ? 0 : 1;
}

struct SizeResult {
    int connections = 0;
    std::size_t rows = 0;
    Timing dump;
    Timing ss;
    Timing cycleSame;
    Timing cycleChurn;
    double guiChurn = -1;
    double guiUpdate = -1;
    double trackerBytesPerRow = -1;
    double windowBytesPerRow = -1;
};

SizeResult MeasureSize(int connections, int runs) {
    SizeResult result;
    result.connections = connections;
    KernelFloor floor;
    std::vector<Timing> dumps;
    std::vector<Timing> ss;
    for (int i = 0; i < runs; ++i) {
        dumps.push_back(floor.Dump(result.rows));
        ss.push_back(TimeSs());
    }
    result.dump = Median(dumps);
    result.ss = Median(ss);
    CycleResult cycles = MeasureCycles(runs, [] { return true; });
    result.cycleSame = cycles.timing;
    if (result.rows > 0 && cycles.heapBytes >= 0) {
        result.trackerBytesPerRow = cycles.heapBytes / static_cast<double>(result.rows);
    }
    return result;
}

std::string Table(const std::vector<SizeResult>& results, double tarvikdPercent) {
    std::ostringstream out;
    out << "| connections | rows | dump ms (cpu) | ss -tan ms (cpu) | cycle ms, no change (cpu) "
           "| cycle ms, 1% churn (cpu) | cycle/dump cpu | GUI ms, 1% churn | GUI ms, 1% updates "
           "| bytes/row tracker | bytes/row window |\n";
    out << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const SizeResult& r : results) {
        const double ratio =
            r.dump.cpu > 0 ? std::max(r.cycleSame.cpu, r.cycleChurn.cpu) / r.dump.cpu : -1;
        out << "| " << r.connections << " | " << r.rows << " | " << Cell(r.dump.wall) << " ("
            << Cell(r.dump.cpu) << ") | " << Cell(r.ss.wall) << " (" << Cell(r.ss.cpu) << ") | "
            << Cell(r.cycleSame.wall) << " (" << Cell(r.cycleSame.cpu) << ") | "
            << Cell(r.cycleChurn.wall) << " (" << Cell(r.cycleChurn.cpu) << ") | " << Cell(ratio)
            << " | " << Cell(r.guiChurn) << " | " << Cell(r.guiUpdate) << " | "
            << Cell(r.trackerBytesPerRow, 0) << " | " << Cell(r.windowBytesPerRow, 0) << " |\n";
    }
    out << "\ntarvikd at about 2,000 rows, steady state: " << Cell(tarvikdPercent, 3)
        << "% of one core\n";
    return out.str();
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
#ifdef TARVIK_BENCH_GUI
    QApplication app(argc, argv);
#endif
    const Options options = ParseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    if (options.guiRows > 0) {
        const GuiResult gui = MeasureGui(SyntheticChurn(options.guiRows, 2 * options.runs + 1));
        std::printf(
            "GUI, %d rows: 1%% churn %.2f ms, 1%% updates %.2f ms, one search keystroke %.2f ms "
            "(medians)\n",
            options.guiRows, gui.churnMillis, gui.updateMillis, gui.searchMillis);
        return gui.churnMillis >= 0 ? 0 : 1;
    }
    if (options.loadRows > 0 && !options.tarvikd.empty()) {
        return MeasureUnderLoad(options);
    }
    if (options.backlogRows > 0) {
        const BacklogResult backlog = MeasureGuiBacklog(options.backlogRows, 200, 20);
        std::printf(
            "backlog, %d rows, 200 batches of 1%% updates, GUI busy 20 ms per look: "
            "caught up in %.0f ms after %d looks, peak extra heap %.1f MB\n",
            options.backlogRows, backlog.catchUpMillis, backlog.looks, backlog.peakExtraMegabytes);
        return backlog.catchUpMillis >= 0 ? 0 : 1;
    }
    LoopbackPool pool;
    std::vector<SizeResult> results;
    double tarvikdPercent = -1;
    for (const int size : options.sizes) {
        if (!pool.GrowTo(size)) {
            std::fprintf(stderr, "bench_scale: could not open %d loopback connections\n", size);
            break;
        }
        if (size == 1000 && !options.tarvikd.empty()) {
            tarvikdPercent = TarvikdCpuPercent(options.tarvikd, options.tarvikdSeconds);
        }
        SizeResult result = MeasureSize(size, options.runs);
        CycleResult churn = MeasureCycles(options.runs, [&pool] { return pool.Churn(10); });
        result.cycleChurn = churn.timing;
        GuiResult gui = MeasureGui(churn.batches);
        result.guiChurn = gui.churnMillis;
        result.guiUpdate = gui.updateMillis;
        result.windowBytesPerRow = gui.bytesPerRow;
        results.push_back(result);
        std::fprintf(stderr, "bench_scale: %d connections measured\n", size);
    }
    pool.Close();
    const std::string table = Table(results, tarvikdPercent);
    std::cout << table;
    if (!options.out.empty()) {
        std::ofstream(options.out) << table;
    }
    return results.size() == options.sizes.size() ? 0 : 1;
}
