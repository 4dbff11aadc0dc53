// tarvikd's control socket under loopback churn: how late a follower sees each connection, the
// daemon's CPU with 0, 1 and 10 followers that read everything, and its memory with followers
// that ask to follow and never read (the log must still get every side, and a stalled follower
// that reads again must be told what it lost).
// Usage: bench_socket --tarvikd PATH [--rate 1000] [--seconds 10] [--followers 0,1,10]
//                     [--stalled 5] [--out FILE]
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchRigs.h"
#include "ChurnTraffic.h"
#include "EventLatency.h"
#include "ScratchTarvikd.h"
#include "TableCell.h"

namespace tarvik::bench {
namespace {

struct Options {
    std::string tarvikd;
    int rate = 1000;
    int seconds = 10;
    std::vector<int> followers = {0, 1, 10};
    int stalled = 5;
    std::string out;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--tarvikd") {
            options.tarvikd = value;
        } else if (name == "--rate") {
            options.rate = std::clamp(std::stoi(value), 1, 20000);
        } else if (name == "--seconds") {
            options.seconds = std::clamp(std::stoi(value), 1, 120);
        } else if (name == "--followers") {
            options.followers.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');) {
                options.followers.push_back(std::clamp(std::stoi(item), 0, 60));
            }
        } else if (name == "--stalled") {
            options.stalled = std::clamp(std::stoi(value), 0, 60);
        } else if (name == "--out") {
            options.out = value;
        }
    }
    return options;
}

// A tarvikd with its socket in a scratch folder of its own: events where this may load the
// program, else whatever the daemon fell back to (it says which on standard error).
class SocketTarvikd {
public:
    explicit SocketTarvikd(const std::string& program) {
        char folder[] = "/tmp/tarvik-sock-XXXXXX";
        if (::mkdtemp(folder) != nullptr) {
            folder_ = folder;
            socket_ = folder_ / "tarvikd.sock";
            tarvikd_ = std::make_unique<ScratchTarvikd>(
                program, "events", false, std::vector<std::string>{"--socket", socket_.string()});
        }
    }
    ~SocketTarvikd() {
        tarvikd_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    SocketTarvikd(const SocketTarvikd&) = delete;
    SocketTarvikd& operator=(const SocketTarvikd&) = delete;

    ScratchTarvikd& Daemon() { return *tarvikd_; }

    // Until it said which acquisition it took and its socket answers; the mode, or empty.
    std::string WaitStarted() {
        for (int tenth = 0; tarvikd_ && tenth < 300; ++tenth) {
            const std::string errors = tarvikd_->Errors();
            if (errors.find("tarvikd: started") != std::string::npos) {
                UniqueFd probe = Connect();
                if (probe) {
                    // A little for its first full read.
                    std::this_thread::sleep_for(std::chrono::seconds(2));
                    return ModeOf(errors);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return {};
    }

    // A connection that asked to follow; invalid when the socket did not take it.
    UniqueFd Follow() const {
        UniqueFd fd = Connect();
        static constexpr char kRequest[] = "{\"method\": \"follow\"}\n";
        if (fd && ::write(fd.Get(), kRequest, sizeof kRequest - 1) !=
                      static_cast<ssize_t>(sizeof kRequest - 1)) {
            fd.Reset();
        }
        return fd;
    }

private:
    UniqueFd Connect() const {
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = socket_.string();
        if (!fd || path.size() >= sizeof address.sun_path) {
            return {};
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return {};
        }
        return fd;
    }

    // "acquisition: events (...)" or "acquisition: events unavailable (...); using destroy".
    static std::string ModeOf(const std::string& errors) {
        const auto line = errors.find("acquisition: ");
        if (line == std::string::npos) {
            return "?";
        }
        const std::string text = errors.substr(line, errors.find('\n', line) - line);
        const auto fallback = text.find("using ");
        const auto from = fallback != std::string::npos ? fallback + 6 : 13;
        return text.substr(from, text.find_first_of(" (;", from) - from);
    }

    std::filesystem::path folder_;
    std::filesystem::path socket_;
    std::unique_ptr<ScratchTarvikd> tarvikd_;
};

double CorePercent(long ticks, double seconds) {
    return ticks < 0 || seconds <= 0 ? -1
                                     : 100.0 * static_cast<double>(ticks) /
                                           static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds;
}

struct FollowRun {
    int followers = 0;
    std::string mode;
    int opened = 0;
    double seconds = 0;
    double tarvikdPercent = -1;
    double peakMegabytes = -1;
    double residentMegabytes = -1;
    int sidesLogged = 0;
    std::size_t fewestLines = 0;    // event lines of the follower that got the fewest
    std::vector<double> latencyMs;  // open and close lines of the first follower
    std::string note;
};

// The connections of one run, tarvikd's share of a core while they came, and its memory a
// second after.
void MakeTraffic(const Options& options, SocketTarvikd& socket, ChurnTraffic& traffic,
                 FollowRun& run) {
    const pid_t pid = socket.Daemon().Pid();
    const long before = ProcessTicks(pid);
    const auto start = Clock::now();
    run.opened = traffic.Run(options.rate, options.seconds, 0);
    run.seconds = Millis(Clock::now() - start) / 1000.0;
    run.tarvikdPercent = CorePercent(ProcessTicks(pid) - before, run.seconds);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    run.peakMegabytes = PeakResidentMegabytes(pid);
    run.residentMegabytes = ResidentMegabytes(pid);
}

FollowRun MeasureFollowers(const Options& options, int followers) {
    FollowRun run;
    run.followers = followers;
    ChurnTraffic traffic;
    SocketTarvikd socket(options.tarvikd);
    run.mode = socket.WaitStarted();
    if (!traffic.Ready() || run.mode.empty()) {
        run.note = "tarvikd did not start with its socket: " + socket.Daemon().Errors();
        return run;
    }
    std::vector<UniqueFd> fds;
    std::vector<std::unique_ptr<EventLines>> readers;
    for (int i = 0; i < followers; ++i) {
        fds.push_back(socket.Follow());
        if (!fds.back()) {
            run.note = "a follower was not taken. ";
            break;
        }
        readers.push_back(std::make_unique<EventLines>(fds.back().Get()));
    }
    MakeTraffic(options, socket, traffic, run);
    if (!socket.Daemon().Stop()) {
        run.note += "tarvikd did not stop cleanly. ";
    }
    run.sidesLogged = traffic.SidesLogged(socket.Daemon().LogFolder());
    run.fewestLines = readers.empty() ? 0 : SIZE_MAX;
    for (std::size_t i = 0; i < readers.size(); ++i) {
        const auto lines = readers[i]->Take();
        const auto events = static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [](const EventLines::Line& line) {
                return line.text.find("\"event\": ") != std::string::npos;
            }));
        run.fewestLines = std::min(run.fewestLines, events);
        if (i == 0) {
            const LatencySummary latency = MatchLatency(lines, traffic);
            run.latencyMs = latency.openMs;
            run.latencyMs.insert(run.latencyMs.end(), latency.closeMs.begin(),
                                 latency.closeMs.end());
        }
    }
    return run;
}

struct StallRun {
    FollowRun load;
    int afterOpened = 0;  // connections made once a stalled follower reads
    // What that follower got: "lost" events, the count they add up to, and other events.
    int lostEvents = 0;
    long long lostInAll = 0;
    int eventLines = 0;
    std::string firstLost;
};

StallRun MeasureStalled(const Options& options) {
    StallRun stall;
    FollowRun& run = stall.load;
    run.followers = options.stalled;
    ChurnTraffic traffic;
    ChurnTraffic after;  // a little more once a stalled follower reads, so events come to it
    SocketTarvikd socket(options.tarvikd);
    run.mode = socket.WaitStarted();
    if (!traffic.Ready() || !after.Ready() || run.mode.empty()) {
        run.note = "tarvikd did not start with its socket: " + socket.Daemon().Errors();
        return stall;
    }
    std::vector<UniqueFd> fds;
    for (int i = 0; i < options.stalled; ++i) {
        fds.push_back(socket.Follow());
    }
    MakeTraffic(options, socket, traffic, run);
    std::unique_ptr<EventLines> reader;
    if (!fds.empty() && fds.front()) {
        reader = std::make_unique<EventLines>(fds.front().Get());
        stall.afterOpened = after.Run(100, 1, 0);
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (!socket.Daemon().Stop()) {
        run.note += "tarvikd did not stop cleanly. ";
    }
    run.sidesLogged = traffic.SidesLogged(socket.Daemon().LogFolder());
    if (reader) {
        static const std::string kLost = "\"lost\": ";
        for (const EventLines::Line& line : reader->Take()) {
            const auto count = line.text.find(kLost);
            if (line.text.find("\"event\": \"lost\"") == std::string::npos ||
                count == std::string::npos) {
                stall.eventLines += line.text.find("\"event\": ") != std::string::npos;
                continue;
            }
            stall.lostInAll += std::atoll(line.text.c_str() + count + kLost.size());
            if (stall.lostEvents++ == 0) {
                stall.firstLost = line.text;
            }
        }
    }
    return stall;
}

std::string Table(const Options& options, const std::vector<FollowRun>& runs,
                  const StallRun& stall) {
    std::ostringstream out;
    out << "tarvikd with --socket, " << options.rate << " connections a second for "
        << options.seconds
        << " s; latency from the bench's connect or close to the line read by the first "
           "follower:\n\n| followers | acquisition | connections made | tarvikd % of a core | "
           "VmHWM MiB | VmRSS MiB | sides logged / made | event lines, fewest per follower | "
           "lines timed / expected | p50 ms | p95 ms | p99 ms "
           "|\n|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    auto row = [&out](const FollowRun& run, const std::string& followers, bool reading) {
        out << "| " << followers << " | " << run.mode << " | " << run.opened << " | "
            << Cell(run.tarvikdPercent, 1) << " | " << Cell(run.peakMegabytes, 1) << " | "
            << Cell(run.residentMegabytes, 1) << " | " << run.sidesLogged << " / " << 2 * run.opened
            << " | "
            << (reading && run.followers > 0 ? std::to_string(run.fewestLines) : std::string("n/a"))
            << " | " << run.latencyMs.size() << " / "
            << (reading && run.followers > 0 ? 4 * run.opened : 0) << " | "
            << Cell(Percentile(run.latencyMs, 0.50), 1) << " | "
            << Cell(Percentile(run.latencyMs, 0.95), 1) << " | "
            << Cell(Percentile(run.latencyMs, 0.99), 1) << " |\n";
    };
    for (const FollowRun& run : runs) {
        row(run, std::to_string(run.followers), true);
    }
    row(stall.load, std::to_string(stall.load.followers) + " stalled", false);
    out << "\nOne stalled follower that reads again, after " << stall.afterOpened
        << " more connections: " << stall.eventLines << " event lines and " << stall.lostEvents
        << " \"lost\" events counting " << stall.lostInAll << " lines, together "
        << stall.eventLines + stall.lostInAll << " of at least "
        << 4 * (stall.load.opened + stall.afterOpened)
        << " made; the first: " << (stall.firstLost.empty() ? std::string("none") : stall.firstLost)
        << "\n";
    if (!stall.load.note.empty()) {
        out << "\nstalled: " << stall.load.note << "\n";
    }
    for (const FollowRun& run : runs) {
        if (!run.note.empty()) {
            out << "\n" << run.followers << " followers: " << run.note << "\n";
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
        std::fprintf(stderr, "bench_socket: --tarvikd PATH is needed\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::vector<FollowRun> runs;
    for (const int followers : options.followers) {
        runs.push_back(MeasureFollowers(options, followers));
        std::fprintf(stderr, "bench_socket: %d followers measured\n", followers);
    }
    const StallRun stall = MeasureStalled(options);
    const std::string table = Table(options, runs, stall);
    std::cout << table;
    if (!options.out.empty()) {
        std::ofstream(options.out) << table;
    }
    return 0;
}
