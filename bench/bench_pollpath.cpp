// Per poll, in one run: the kernel's bare sock_diag dump beside the whole path of each
// acquisition back-end as tarvikd runs it, at growing numbers of loopback connections, with the
// ratio of their CPU times; then tarvikd's resident set per live connection.
// Usage: bench_pollpath [--sizes 1000,50000] [--runs 9] [--tarvikd PATH] [--settle S]
//                       [--tarvikd-seconds S] [--udp N] [--out FILE]
//          (--udp N: each size measured again with N UDP sockets open as well; --runs: polls
//           per path, up to whole groups of four, each figure the median of the groups' means)
//        bench_pollpath --tarvikd PATH --modes events,destroy,poll [--sizes 1000,50000]
//                       [--settle S] [--tarvikd-seconds S] [--churn-rate N] [--churn-seconds S]
//                       [--out FILE]
//          (per mode: tarvikd's CPU and memory over the idle table beside the bare dump, then
//           N short connections a second for S seconds and how many of their sides it logged)
//        bench_pollpath --sizes N --hold S   (holds N connections open for S seconds)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AcquisitionModes.h"
#include "BenchRigs.h"
#include "LoopbackPool.h"
#include "ScratchTarvikd.h"
#include "TableCell.h"
#include "base/UniqueFd.h"

namespace tarvik::bench {
namespace {

constexpr double kPollPeriodMs = 750;  // tarvikd's refresh period

struct Options {
    std::string out;
    int runs = 9;
    std::vector<int> sizes = {1000, 50000};
    std::string tarvikd;
    int settleSeconds = 10;
    int tarvikdSeconds = 30;
    int udpSockets = 0;   // UDP sockets opened beside each size for a second measure
    int holdSeconds = 0;  // only hold the first size's connections open this long, for a look
    std::vector<std::string> modes;  // tarvikd per acquisition mode instead of the poll path
    ChurnLoad churn;
};

std::vector<std::string> SplitList(const std::string& value) {
    std::vector<std::string> items;
    std::stringstream list(value);
    for (std::string item; std::getline(list, item, ',');) {
        items.push_back(item);
    }
    return items;
}

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
        } else if (name == "--settle") {
            options.settleSeconds = std::max(1, std::stoi(value));
        } else if (name == "--udp") {
            options.udpSockets = std::max(0, std::stoi(value));
        } else if (name == "--hold") {
            options.holdSeconds = std::max(1, std::stoi(value));
        } else if (name == "--tarvikd-seconds") {
            options.tarvikdSeconds = std::max(1, std::stoi(value));
        } else if (name == "--sizes") {
            options.sizes.clear();
            for (const std::string& item : SplitList(value)) {
                options.sizes.push_back(std::stoi(item));
            }
        } else if (name == "--modes") {
            options.modes = SplitList(value);
        } else if (name == "--churn-rate") {
            options.churn.perSecond = std::max(1, std::stoi(value));
        } else if (name == "--churn-seconds") {
            options.churn.seconds = std::max(1, std::stoi(value));
        }
    }
    return options;
}

// One poll of a back-end over a rig it keeps between polls; empty when it cannot run here.
using CycleFunction = std::function<Timing()>;

// The kernel table read afresh each poll, as the poller does by default, with byte counts on
// every `byteCountPeriod`-th dump.
CycleFunction OpenPollPath(int byteCountPeriod) {
    auto path = std::make_shared<PollPath>(byteCountPeriod);
    if (!path->Ready()) {
        return {};
    }
    return [path] { return path->Cycle(); };
}

// Counts with each dump: the window, and tarvikd where dumps alone tell the ends.
CycleFunction OpenPollBackend() {
    return OpenPollPath(1);
}

// tarvikd with destroy notices, which carry each end's counts.
CycleFunction OpenPollEveryFourth() {
    return OpenPollPath(4);
}

// The same without each socket's byte counts: what they cost is the difference.
CycleFunction OpenPollWithoutBytes() {
    return OpenPollPath(0);
}

// The bare dump without them: how much of that difference is the kernel's.
CycleFunction OpenDumpWithoutBytes() {
    auto floor = std::make_shared<KernelFloor>(false);
    return [floor] {
        std::size_t sockets = 0;
        return floor->Dump(sockets);
    };
}

struct Backend {
    const char* name;
    std::function<CycleFunction()> open;
};

// Every back-end is measured beside the dump in the same loop; another one is one more line.
std::vector<Backend> Backends() {
    return {
        {"poll", OpenPollBackend},
        {"poll, counts every 4th dump (tarvikd, destroy)", OpenPollEveryFourth},
        {"poll without byte counts", OpenPollWithoutBytes},
        {"dump without byte counts", OpenDumpWithoutBytes},
    };
}

constexpr int kLongestPeriod = 4;

// The median of the means of consecutive runs of the longest period: a path that pays for its
// counts on one poll in four is measured with that poll.
Timing MedianOfMeans(const std::vector<Timing>& timings) {
    std::vector<Timing> means;
    for (std::size_t first = 0; first + kLongestPeriod <= timings.size(); first += kLongestPeriod) {
        Timing mean{0, 0};
        for (std::size_t i = first; i < first + kLongestPeriod; ++i) {
            mean.wall += timings[i].wall / kLongestPeriod;
            mean.cpu += timings[i].cpu / kLongestPeriod;
        }
        means.push_back(mean);
    }
    return Median(std::move(means));
}

struct Line {
    int connections = 0;
    std::size_t rows = 0;
    std::string path;
    Timing timing;
    double dumpCpu = -1;
};

// Dump, then each back-end, `runs` times in turn; "+ 1% churn" closes and opens 1% of the
// connections before each round.
std::vector<Line> MeasureSize(LoopbackPool& pool, int runs, bool churn) {
    KernelFloor floor;
    const std::vector<Backend> backends = Backends();
    std::vector<CycleFunction> cycles;
    for (const Backend& backend : backends) {
        cycles.push_back(backend.open());
        if (cycles.back()) {
            cycles.back()();  // the first poll fills the tracker
        }
    }
    std::vector<std::vector<Timing>> timings(backends.size() + 1);
    std::size_t rows = 0;
    // Whole rounds of the longest byte-count period, so that each mean holds its one dump
    // with counts.
    const int rounds = (runs + kLongestPeriod - 1) / kLongestPeriod * kLongestPeriod;
    for (int run = 0; run < rounds; ++run) {
        if (churn && !pool.Churn(10)) {
            break;
        }
        timings[0].push_back(floor.Dump(rows));
        // Each in turn goes first: the first after a pause meets the kernel's tables cold.
        for (std::size_t k = 0; k < cycles.size(); ++k) {
            const std::size_t i = (k + static_cast<std::size_t>(run)) % cycles.size();
            if (cycles[i]) {
                timings[i + 1].push_back(cycles[i]());
            }
        }
    }
    const std::string suffix = churn ? ", 1% churn" : "";
    std::vector<Line> lines;
    const Timing dump = MedianOfMeans(timings[0]);
    lines.push_back({pool.Connections(), rows, "dump" + suffix, dump, dump.cpu});
    for (std::size_t i = 0; i < backends.size(); ++i) {
        lines.push_back({pool.Connections(), rows, backends[i].name + suffix,
                         MedianOfMeans(timings[i + 1]), dump.cpu});
    }
    return lines;
}

std::string PollTable(const std::vector<Line>& lines) {
    std::ostringstream out;
    out << "| connections | rows | path | ms (cpu) | cpu / dump cpu | % of a core at one poll per "
           "750 ms |\n|---:|---:|---|---:|---:|---:|\n";
    for (const Line& line : lines) {
        const double ratio =
            line.dumpCpu > 0 && line.timing.cpu >= 0 ? line.timing.cpu / line.dumpCpu : -1;
        const double core = line.timing.cpu >= 0 ? 100.0 * line.timing.cpu / kPollPeriodMs : -1;
        out << "| " << line.connections << " | " << line.rows << " | " << line.path << " | "
            << Cell(line.timing.wall) << " (" << Cell(line.timing.cpu) << ") | " << Cell(ratio)
            << " | " << Cell(core, 3) << " |\n";
    }
    return out.str();
}

struct Resident {
    int connections = 0;
    std::size_t rows = 0;
    double megabytes = -1;  // the median of one sample a second over ten seconds
    double peak = -1;       // VmHWM at the end
};

// tarvikd's resident set over the table as it is now, sampled after `settle` seconds of polls.
Resident TarvikdResident(const std::string& program, int connections, int settle) {
    Resident resident;
    resident.connections = connections;
    KernelFloor floor;
    floor.Dump(resident.rows);
    ScratchTarvikd tarvikd(program);
    std::this_thread::sleep_for(std::chrono::seconds(settle));
    std::vector<double> samples;
    for (int second = 0; second < 10; ++second) {
        samples.push_back(ResidentMegabytes(tarvikd.Pid()));
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::nth_element(samples.begin(), samples.begin() + 5, samples.end());
    resident.megabytes = samples[5];
    resident.peak = PeakResidentMegabytes(tarvikd.Pid());
    return resident;
}

std::string ResidentTable(const Resident& base, const std::vector<Resident>& sizes) {
    std::ostringstream out;
    out << "\n| connections | rows | tarvikd resident MiB | bytes per row above " << base.rows
        << " rows (" << Cell(base.megabytes, 1)
        << " MiB) | peak MiB (VmHWM) |\n|---:|---:|---:|---:|---:|\n";
    for (const Resident& r : sizes) {
        const double extraRows = static_cast<double>(r.rows) - static_cast<double>(base.rows);
        const double perRow = r.megabytes > 0 && base.megabytes > 0 && extraRows > 0
                                  ? (r.megabytes - base.megabytes) * 1024 * 1024 / extraRows
                                  : -1;
        out << "| " << r.connections << " | " << r.rows << " | " << Cell(r.megabytes, 1) << " | "
            << Cell(perRow, 0) << " | " << Cell(r.peak, 1) << " |\n";
    }
    return out.str();
}

// UDP sockets on 127.0.0.1: every second one bound alone (a listener), the others connected
// to the first (a connection). Fewer when descriptors run out.
std::vector<UniqueFd> OpenUdpSockets(int count) {
    std::vector<UniqueFd> sockets;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in first = address;
    for (int i = 0; i < count; ++i) {
        UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        socklen_t length = sizeof address;
        if (!fd || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
            break;
        }
        if (i == 0) {
            getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&first), &length);
        } else if (i % 2 == 1) {
            connect(fd.Get(), reinterpret_cast<sockaddr*>(&first), sizeof first);
        }
        sockets.push_back(std::move(fd));
    }
    return sockets;
}

// Opens connections up to `size`; says so on standard error when it cannot.
bool Grow(LoopbackPool& pool, int size) {
    if (pool.GrowTo(size)) {
        return true;
    }
    std::fprintf(stderr, "bench_pollpath: could not open %d loopback connections\n", size);
    return false;
}

// Each mode's tarvikd over the table without the pool, then at each size beside the bare dump,
// then under the churn with the pool closed.
int RunModes(const Options& options, LoopbackPool& pool) {
    const ModeWindow window{options.settleSeconds, options.tarvikdSeconds};
    const ModeWindow shortWindow{options.settleSeconds, std::min(10, options.tarvikdSeconds)};
    std::vector<IdleRun> empty;
    std::vector<IdleRun> idle;
    KernelFloor floor;
    for (const std::string& mode :
         options.sizes.empty() ? std::vector<std::string>{} : options.modes) {
        empty.push_back(MeasureIdle(options.tarvikd, mode, shortWindow));
        floor.Dump(empty.back().rows);
    }
    bool complete = true;
    for (const int size : options.sizes) {
        if (!Grow(pool, size)) {
            complete = false;
            break;
        }
        std::vector<Timing> dumps;
        std::size_t rows = 0;
        for (int run = 0; run < options.runs; ++run) {
            dumps.push_back(floor.Dump(rows));
        }
        for (const std::string& mode : options.modes) {
            IdleRun run = MeasureIdle(options.tarvikd, mode, window);
            run.connections = size;
            run.rows = rows;
            run.dump = Median(dumps);
            idle.push_back(std::move(run));
            std::fprintf(stderr, "bench_pollpath: %s at %d connections measured\n", mode.c_str(),
                         size);
        }
    }
    pool.Close();
    std::vector<ChurnRun> churn;
    for (const std::string& mode : options.modes) {
        churn.push_back(MeasureChurn(options.tarvikd, mode, options.churn, 5));
        std::fprintf(stderr, "bench_pollpath: %s under churn measured\n", mode.c_str());
    }
    const std::string table = IdleTable(idle, empty) + ChurnTable(churn, options.churn);
    std::cout << table;
    if (!options.out.empty()) {
        std::ofstream(options.out) << table;
    }
    return complete ? 0 : 1;
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    using namespace tarvik::bench;
    const Options options = ParseOptions(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    LoopbackPool pool;
    if (options.holdSeconds > 0) {
        const bool open = pool.GrowTo(options.sizes.front());
        std::fprintf(stderr, "bench_pollpath: %d connections %s\n", pool.Connections(),
                     open ? "open" : "(not all could be opened)");
        std::this_thread::sleep_for(std::chrono::seconds(options.holdSeconds));
        return open ? 0 : 1;
    }
    if (!options.modes.empty()) {
        if (options.tarvikd.empty()) {
            std::fprintf(stderr, "bench_pollpath: --modes needs --tarvikd PATH\n");
            return 2;
        }
        return RunModes(options, pool);
    }
    std::vector<Line> lines;
    std::vector<Resident> residents;
    Resident base;
    double tarvikdPercent = -1;
    if (!options.tarvikd.empty()) {
        base = TarvikdResident(options.tarvikd, 0, options.settleSeconds);
    }
    bool complete = true;
    for (const int size : options.sizes) {
        if (!Grow(pool, size)) {
            complete = false;
            break;
        }
        for (const bool churn : {false, true}) {
            for (Line& line : MeasureSize(pool, options.runs, churn)) {
                lines.push_back(std::move(line));
            }
        }
        if (options.udpSockets > 0) {
            const std::vector<tarvik::UniqueFd> udp = OpenUdpSockets(options.udpSockets);
            for (Line& line : MeasureSize(pool, options.runs, false)) {
                line.path += ", " + std::to_string(udp.size()) + " UDP sockets";
                lines.push_back(std::move(line));
            }
        }
        if (!options.tarvikd.empty()) {
            residents.push_back(TarvikdResident(options.tarvikd, size, options.settleSeconds));
            if (size == options.sizes.front()) {
                tarvikdPercent = TarvikdCpuPercent(options.tarvikd, options.tarvikdSeconds);
            }
        }
        std::fprintf(stderr, "bench_pollpath: %d connections measured\n", size);
    }
    pool.Close();
    std::string table = PollTable(lines);
    if (!options.tarvikd.empty()) {
        table += ResidentTable(base, residents);
        table += "\ntarvikd at " + std::to_string(options.sizes.front()) +
                 " connections, steady state: " + Cell(tarvikdPercent, 3) + "% of one core\n";
    }
    std::cout << table;
    if (!options.out.empty()) {
        std::ofstream(options.out) << table;
    }
    return complete ? 0 : 1;
}
