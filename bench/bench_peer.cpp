// tarvikd's cost per connection beside a bpftrace script on the same TCP state tracepoint, both
// running over the same loopback churn in the same run, and how late tarvikd's --events lines
// come after the kernel's notices, at each rate asked.
// Usage: bench_peer --tarvikd PATH [--rates 1000,5000] [--seconds 10] [--life-ms 0]
//                   [--bpftrace bpftrace] [--script FILE] [--out FILE]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchRigs.h"
#include "ChurnTraffic.h"
#include "EventLatency.h"
#include "PeerTrace.h"
#include "ScratchTarvikd.h"
#include "TableCell.h"

namespace tarvik::bench {
namespace {

// Other processes' CPU during a run above which it is measured again.
constexpr double kBusyOthersPercent = 30;

struct Options {
    std::string tarvikd;
    std::vector<int> rates = {1000, 5000};
    int seconds = 10;
    int lifeMillis = 0;
    std::string bpftrace = "bpftrace";
    std::string script = TARVIK_PEER_SCRIPT;
    std::string out;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--tarvikd") {
            options.tarvikd = value;
        } else if (name == "--rates") {
            options.rates.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                options.rates.push_back(std::max(1, std::stoi(item)));
            }
        } else if (name == "--seconds") {
            options.seconds = std::clamp(std::stoi(value), 1, 120);
        } else if (name == "--life-ms") {
            options.lifeMillis = std::clamp(std::stoi(value), 0, 1000);
        } else if (name == "--bpftrace") {
            options.bpftrace = value;
        } else if (name == "--script") {
            options.script = value;
        } else if (name == "--out") {
            options.out = value;
        }
    }
    return options;
}

// Busy and total jiffies of the whole machine, from the first line of /proc/stat.
struct MachineTicks {
    long long busy = 0;
    long long total = 0;
};

MachineTicks ReadMachineTicks() {
    std::ifstream stat("/proc/stat");
    std::string cpu;
    stat >> cpu;
    MachineTicks ticks;
    long long value = 0;
    for (int field = 0; field < 10 && stat >> value; ++field) {
        ticks.total += value;
        if (field != 3 && field != 4) {  // idle, iowait
            ticks.busy += value;
        }
    }
    return ticks;
}

// CPU of one process over a window, as % of one core.
class CoreShare {
public:
    explicit CoreShare(pid_t pid) : pid_(pid), before_(ProcessTicks(pid)) {}
    double Percent(double seconds) const {
        const long after = ProcessTicks(pid_);
        if (before_ < 0 || after < before_ || seconds <= 0) {
            return -1;
        }
        return 100.0 * static_cast<double>(after - before_) /
               static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
    }

private:
    pid_t pid_;
    long before_;
};

// Until tarvikd said which acquisition it took, then a little for its first full read.
bool WaitStarted(const ScratchTarvikd& tarvikd) {
    for (int tenth = 0; tenth < 300; ++tenth) {
        if (tarvikd.Errors().find("tarvikd: started") != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            // "acquisition: events unavailable (...); using destroy" is no events mode.
            const std::string errors = tarvikd.Errors();
            return errors.find("acquisition: events") != std::string::npos &&
                   errors.find("acquisition: events unavailable") == std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct CostRun {
    int rate = 0;
    int opened = 0;
    double seconds = 0;
    double tarvikdPercent = -1;
    int sidesLogged = 0;
    double peerPercent = -1;
    int peerLines = -1;
    double othersPercent = -1;  // the machine's busy cores beyond the bench, tarvikd and the peer
    std::string note;
};

CostRun MeasureCost(const Options& options, int rate, const std::string& peerMissing) {
    CostRun run;
    run.rate = rate;
    ChurnTraffic traffic;
    ScratchTarvikd tarvikd(options.tarvikd, "events");
    if (!traffic.Ready() || !WaitStarted(tarvikd)) {
        run.note = "tarvikd did not start in events mode: " + tarvikd.Errors();
        return run;
    }
    std::unique_ptr<PeerTrace> peer;
    if (peerMissing.empty()) {
        peer = std::make_unique<PeerTrace>(options.bpftrace, options.script);
        if (!peer->WaitReady(std::chrono::seconds(60))) {
            run.note = "bpftrace did not start: " + peer->Errors();
            peer.reset();
        }
    }
    const CoreShare tarvikdShare(tarvikd.Pid());
    const CoreShare peerShare(peer ? peer->Pid() : -1);
    const CoreShare benchShare(::getpid());  // the churn, and the kernel's work for it
    const MachineTicks machineBefore = ReadMachineTicks();
    const auto start = Clock::now();
    run.opened = traffic.Run(rate, options.seconds, options.lifeMillis);
    run.seconds = Millis(Clock::now() - start) / 1000.0;
    run.tarvikdPercent = tarvikdShare.Percent(run.seconds);
    run.peerPercent = peer ? peerShare.Percent(run.seconds) : -1;
    const double benchPercent = benchShare.Percent(run.seconds);
    const MachineTicks machineAfter = ReadMachineTicks();
    if (machineAfter.total > machineBefore.total) {
        const double machine = 100.0 * static_cast<double>(::sysconf(_SC_NPROCESSORS_ONLN)) *
                               static_cast<double>(machineAfter.busy - machineBefore.busy) /
                               static_cast<double>(machineAfter.total - machineBefore.total);
        run.othersPercent = std::max(
            0.0, machine - benchPercent - run.tarvikdPercent - std::max(0.0, run.peerPercent));
    }
    if (peer) {
        // Its output trails the notices by a read of its buffer; bounded.
        for (int tenth = 0; tenth < 50; ++tenth) {
            run.peerLines = peer->LinesBetween("127.0.3.1", traffic.ServerPort(), "127.0.4.1");
            if (run.peerLines >= 2 * run.opened) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!tarvikd.Stop()) {
        run.note += "tarvikd did not stop cleanly. ";
    }
    run.sidesLogged = traffic.SidesLogged(tarvikd.LogFolder());
    return run;
}

struct LatencyRun {
    int rate = 0;
    int opened = 0;
    double tarvikdPercent = -1;  // with --events
    LatencySummary latency;
    std::string note;
};

LatencyRun MeasureLatency(const Options& options, int rate) {
    LatencyRun run;
    run.rate = rate;
    ChurnTraffic traffic;
    ScratchTarvikd tarvikd(options.tarvikd, "events", true);
    if (tarvikd.EventsFd() < 0) {
        run.note = "no pipe for --events";
        return run;
    }
    EventLines lines(tarvikd.EventsFd());
    if (!traffic.Ready() || !WaitStarted(tarvikd)) {
        run.note = "tarvikd did not start in events mode: " + tarvikd.Errors();
        tarvikd.Stop();
        return run;
    }
    const CoreShare share(tarvikd.Pid());
    const auto start = Clock::now();
    run.opened = traffic.Run(rate, options.seconds, options.lifeMillis);
    run.tarvikdPercent = share.Percent(Millis(Clock::now() - start) / 1000.0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (!tarvikd.Stop()) {
        run.note = "tarvikd did not stop cleanly";
    }
    run.latency = MatchLatency(lines.Take(), traffic);
    return run;
}

double MicrosPerConnection(double corePercent, int rate) {
    return corePercent < 0 ? -1 : corePercent / 100.0 * 1e6 / rate;
}

std::string CostTable(const std::vector<CostRun>& runs, const std::string& peerMissing) {
    std::ostringstream out;
    out << "| conn/s asked | connections made | per second | tarvikd % of a core | sides logged "
           "/ made | bpftrace % of a core | bpftrace lines / sides | tarvikd / bpftrace | "
           "CPU µs per connection, tarvikd / bpftrace | others' load, % of a core "
           "|\n|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const CostRun& run : runs) {
        const double ratio = run.tarvikdPercent >= 0 && run.peerPercent > 0
                                 ? run.tarvikdPercent / run.peerPercent
                                 : -1;
        out << "| " << run.rate << " | " << run.opened << " | "
            << Cell(run.seconds > 0 ? run.opened / run.seconds : -1, 0) << " | "
            << Cell(run.tarvikdPercent, 2) << " | " << run.sidesLogged << " / " << 2 * run.opened
            << " | " << Cell(run.peerPercent, 2) << " | "
            << (run.peerLines < 0 ? std::string("n/a") : std::to_string(run.peerLines)) << " / "
            << 2 * run.opened << " | " << Cell(ratio, 2) << " | "
            << Cell(MicrosPerConnection(run.tarvikdPercent, run.rate), 1) << " / "
            << Cell(MicrosPerConnection(run.peerPercent, run.rate), 1) << " | "
            << Cell(run.othersPercent, 0) << " |\n";
    }
    if (!peerMissing.empty()) {
        out << "\nbpftrace beside it: not run: " << peerMissing << "\n";
    }
    for (const CostRun& run : runs) {
        if (!run.note.empty()) {
            out << "\nat " << run.rate << "/s: " << run.note << "\n";
        }
    }
    return out.str();
}

std::string LatencyTable(const std::vector<LatencyRun>& runs) {
    std::ostringstream out;
    out << "\nFrom the bench's connect or close (the kernel's notices of both sides come within "
           "it on loopback) to the --events line read from tarvikd:\n";
    out << "\n| conn/s | event | lines matched / sides | p50 ms | p95 ms | p99 ms | max ms | "
           "tarvikd % of a core with --events |\n|---:|---|---:|---:|---:|---:|---:|---:|\n";
    for (const LatencyRun& run : runs) {
        for (const auto& [name, values] :
             {std::pair{"open", &run.latency.openMs}, std::pair{"close", &run.latency.closeMs}}) {
            out << "| " << run.rate << " | " << name << " | " << values->size() << " / "
                << 2 * run.opened << " | " << Cell(Percentile(*values, 0.50), 1) << " | "
                << Cell(Percentile(*values, 0.95), 1) << " | " << Cell(Percentile(*values, 0.99), 1)
                << " | " << Cell(Percentile(*values, 1.0), 1) << " | "
                << Cell(run.tarvikdPercent, 2) << " |\n";
        }
        if (!run.note.empty()) {
            out << "\nat " << run.rate << "/s: " << run.note << "\n";
        }
    }
    return out.str();
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
    const Options options = ParseOptions(argc, argv);
    if (options.tarvikd.empty()) {
        std::fprintf(stderr, "bench_peer: --tarvikd PATH is needed\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const std::string peerMissing = PeerTrace::Unavailable(options.bpftrace);
    std::vector<CostRun> costs;
    std::vector<LatencyRun> latencies;
    for (const int rate : options.rates) {
        costs.push_back(MeasureCost(options, rate, peerMissing));
        // Other work on the machine takes cores from both: once more, and the quieter run.
        if (costs.back().othersPercent > kBusyOthersPercent) {
            CostRun again = MeasureCost(options, rate, peerMissing);
            if (again.othersPercent >= 0 && again.othersPercent < costs.back().othersPercent) {
                costs.back() = std::move(again);
            }
        }
        latencies.push_back(MeasureLatency(options, rate));
        std::fprintf(stderr, "bench_peer: %d connections a second measured\n", rate);
    }
    const std::string table = CostTable(costs, peerMissing) + LatencyTable(latencies);
    std::cout << table;
    if (!options.out.empty()) {
        std::ofstream(options.out) << table;
    }
    return 0;
}
