// tarvikd's scan detection under load, on loopback with forged 127.x sources sent through a raw
// socket: how late the alert comes after the probe that reaches the threshold, how many alerts
// ordinary traffic raises, and its CPU and memory under a flood of forged probes, beside
// scanlogd over the same flood where it is installed. Needs root (raw socket, probe sensing).
// Usage: bench_scanflood --tarvikd PATH [--out FILE] [--rate N] [--seconds N] [--runs N]
//        [--suppressed-wait SECONDS]   (how long to wait for the "suppressed" line; 100)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchRigs.h"
#include "EventLatency.h"
#include "ScratchTarvikd.h"
#include "base/UniqueFd.h"

namespace tarvik::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kThreshold = 7;
constexpr int kFirstClosedPort = 61000;  // above the usual ephemeral range: nothing listens

std::uint16_t Checksum(const std::uint8_t* data, std::size_t length, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
    }
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

// The TCP flags of each probe kind a port scanner sends.
struct ProbeFlags {
    const char* kind;
    std::uint8_t flags;
};
constexpr ProbeFlags kProbeKinds[] = {
    {"SYN", 0x02}, {"FIN", 0x01}, {"NULL", 0x00}, {"Xmas", 0x29}, {"ACK", 0x10}, {"Maimon", 0x11},
};

// A bare probe (as a scanner sends it: MSS option only) from `source` to 127.0.0.1:`port`.
void SendProbe(int raw, std::uint32_t source, int port, std::uint8_t flags) {
    std::uint8_t packet[44] = {};
    packet[0] = 0x45;
    packet[3] = sizeof packet;
    packet[8] = 64;
    packet[9] = IPPROTO_TCP;
    const std::uint32_t from = htonl(source);
    const std::uint32_t to = htonl(INADDR_LOOPBACK);
    std::memcpy(&packet[12], &from, 4);
    std::memcpy(&packet[16], &to, 4);
    std::uint8_t* tcp = &packet[20];
    tcp[0] = 0x9c;
    tcp[1] = 0x40;
    tcp[2] = static_cast<std::uint8_t>(port >> 8);
    tcp[3] = static_cast<std::uint8_t>(port);
    tcp[12] = 0x60;  // 24-byte header
    tcp[13] = flags;
    tcp[14] = 0x04;
    const std::uint8_t mss[4] = {2, 4, 0x05, 0xb4};
    std::memcpy(&tcp[20], mss, 4);
    std::uint8_t pseudo[12] = {};
    std::memcpy(pseudo, &packet[12], 8);
    pseudo[9] = IPPROTO_TCP;
    pseudo[11] = 24;
    std::uint32_t sum = 0;
    for (int i = 0; i < 12; i += 2) {
        sum += static_cast<std::uint32_t>((pseudo[i] << 8) | pseudo[i + 1]);
    }
    const std::uint16_t check = Checksum(tcp, 24, sum);
    tcp[16] = static_cast<std::uint8_t>(check >> 8);
    tcp[17] = static_cast<std::uint8_t>(check);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = to;
    ::sendto(raw, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

void SendSyn(int raw, std::uint32_t source, int port) {
    SendProbe(raw, source, port, 0x02);
}

std::string Dotted(std::uint32_t address) {
    in_addr value{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

// The --events lines as they come, each with the moment it was read; waits for one kind.
class LiveEvents {
public:
    explicit LiveEvents(int fd) : reader_([this, fd](std::stop_token stop) { Run(fd, stop); }) {}

    // Until an alert naming `host` has been read; the moment it was read, or nothing.
    std::optional<Clock::time_point> WaitForAlert(const std::string& host,
                                                  std::chrono::milliseconds limit) {
        const std::string needle = "\"remoteAddress\": \"" + host + "\"";
        std::unique_lock lock(mutex_);
        std::optional<Clock::time_point> found;
        arrived_.wait_for(lock, limit, [&] {
            for (const Line& line : lines_) {
                if (line.text.find("\"event\": \"alert\"") != std::string::npos &&
                    line.text.find(needle) != std::string::npos) {
                    found = line.at;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // Lines of an event kind read after `since`, and how many hosts they name.
    int Count(const std::string& event, Clock::time_point since, const std::string& prefix = {}) {
        const std::string kind = "\"event\": \"" + event + "\"";
        const std::string host = "\"remoteAddress\": \"" + prefix;
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const Line& line) {
            return line.at >= since && line.text.find(kind) != std::string::npos &&
                   (prefix.empty() || line.text.find(host) != std::string::npos);
        }));
    }
    long Suppressed(Clock::time_point since) {
        std::lock_guard lock(mutex_);
        long total = 0;
        for (const Line& line : lines_) {
            const auto at = line.text.find("\"suppressed\": ");
            if (line.at >= since && at != std::string::npos) {
                total += std::stol(line.text.substr(at + 14));
            }
        }
        return total;
    }

private:
    struct Line {
        Clock::time_point at;
        std::string text;
    };
    void Run(int fd, const std::stop_token& stop) {
        std::string pending;
        char buffer[65536];
        while (!stop.stop_requested()) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0) {
                continue;
            }
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            pending.append(buffer, static_cast<std::size_t>(got));
            const Clock::time_point now = Clock::now();
            std::lock_guard lock(mutex_);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines_.push_back({now, pending.substr(0, end)});
                pending.erase(0, end + 1);
            }
            arrived_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Line> lines_;
    std::jthread reader_;
};

// One scan of `kThreshold` closed ports from `source`; the time from its last probe to the alert.
std::optional<double> AlertDelayMs(int raw, LiveEvents& events, std::uint32_t source,
                                   std::uint8_t flags = 0x02) {
    for (int i = 0; i + 1 < kThreshold; ++i) {
        SendProbe(raw, source, kFirstClosedPort + i, flags);
    }
    std::this_thread::sleep_for(50ms);  // the earlier probes are counted; only the last is timed
    const Clock::time_point sent = Clock::now();
    SendProbe(raw, source, kFirstClosedPort + kThreshold - 1, flags);
    const auto seen = events.WaitForAlert(Dotted(source), 5s);
    if (!seen) {
        return std::nullopt;
    }
    return std::chrono::duration<double, std::milli>(*seen - sent).count();
}

// A listener on 127.0.0.1 that accepts and closes, on a port of its own.
struct Service {
    UniqueFd fd;
    int port = 0;
};
Service Listen() {
    Service service;
    service.fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(service.fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(service.fd.Get(), 512) != 0 ||
        ::getsockname(service.fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {};
    }
    service.port = ntohs(address.sin_port);
    return service;
}

// Completed connections from `client` to each service, `times` over; the caller holds them open
// long enough for the table to show them established.
std::vector<UniqueFd> ConnectFrom(const std::string& client, const std::vector<int>& ports,
                                  int times = 1) {
    std::vector<UniqueFd> open;
    for (int round = 0; round < times; ++round) {
        for (int port : ports) {
            UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, client.c_str(), &from.sin_addr);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<std::uint16_t>(port));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                open.push_back(std::move(fd));
            }
        }
    }
    return open;
}

// Longer than a poll, so that any back-end sees the connections.
void Hold(std::vector<UniqueFd> /*held until the end of the wait*/) {
    std::this_thread::sleep_for(1500ms);
}

void AcceptAll(const std::vector<Service>& services, std::stop_token stop) {
    std::vector<pollfd> waits;
    for (const Service& service : services) {
        waits.push_back({service.fd.Get(), POLLIN, 0});
    }
    while (!stop.stop_requested()) {
        if (::poll(waits.data(), waits.size(), 100) <= 0) {
            continue;
        }
        for (const pollfd& wait : waits) {
            if (wait.revents & POLLIN) {
                UniqueFd(::accept4(wait.fd, nullptr, nullptr, SOCK_CLOEXEC));
            }
        }
    }
}

// scanlogd started here (it goes to the background by itself): its pid, found as the one
// scanlogd process that was not there before.
std::set<pid_t> ScanlogdPids() {
    std::set<pid_t> pids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        const auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
        if (!error && exe.filename() == "scanlogd") {
            pids.insert(std::stoi(entry.path().filename().string()));
        }
    }
    return pids;
}
pid_t StartScanlogd(const std::string& program) {
    const std::set<pid_t> before = ScanlogdPids();
    if (std::system((program + " >/dev/null 2>&1").c_str()) != 0) {
        return -1;
    }
    for (int attempt = 0; attempt < 50; ++attempt) {
        for (pid_t pid : ScanlogdPids()) {
            if (!before.count(pid)) {
                return pid;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

struct Usage {
    long ticks = 0;
    double rssMb = 0;
};
Usage UsageOf(pid_t pid) {
    return {ProcessTicks(pid), ResidentMegabytes(pid)};
}
std::string CostLine(const std::string& name, pid_t pid, const Usage& before, double seconds) {
    const Usage after = UsageOf(pid);
    std::ostringstream line;
    line.precision(3);
    line << name << ": CPU "
         << 100.0 * static_cast<double>(after.ticks - before.ticks) /
                static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds
         << "% of a core, RSS " << before.rssMb << " -> " << after.rssMb << " MiB (+"
         << after.rssMb - before.rssMb << "), peak " << PeakResidentMegabytes(pid) << " MiB";
    return line.str();
}

int Run(const std::string& program, int rate, int seconds, int runs, int suppressedWait,
        std::ostream& out) {
    UniqueFd raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!raw || geteuid() != 0) {
        out << "scan detection: not measured: needs root (a raw socket and probe sensing)\n";
        return 0;
    }
    ScratchTarvikd tarvikd(
        program, {}, true, {},
        "[ScanWatch]\nthreshold=" + std::to_string(kThreshold) + "\neventlog=0\nlistenenabled=0\n");
    LiveEvents events(tarvikd.EventsFd());
    // Ready once a scan is seen: the packet socket is open.
    bool ready = false;
    for (std::uint32_t source = 0x7f030001U; !ready && source < 0x7f030010U; ++source) {
        ready = AlertDelayMs(raw.Get(), events, source).has_value();
    }
    if (!ready) {
        out << "scan detection: tarvikd raised no alert for a SYN scan; stderr: "
            << tarvikd.Errors() << "\n";
        return 1;
    }

    std::vector<double> delays;
    int missed = 0;
    for (int run = 0; run < runs; ++run) {
        const auto delay = AlertDelayMs(raw.Get(), events, 0x7f020001U + run);
        delay ? delays.push_back(*delay) : void(++missed);
    }
    out << "Alert delay after the probe that reaches the threshold (" << kThreshold
        << " closed ports, SYN), " << delays.size() << " scans: median " << Percentile(delays, 0.5)
        << " ms, p95 " << Percentile(delays, 0.95) << " ms, max " << Percentile(delays, 1.0)
        << " ms; no alert: " << missed << "\n";
    // Every kind through the same counting: what differs is how the probe is sensed.
    out << "\n| probe kind | scans | alerted | median ms | p95 ms | max ms "
           "|\n|---|---:|---:|---:|---:|---:|\n";
    std::uint32_t kindSource = 0x7f050001U;
    for (const ProbeFlags& kind : kProbeKinds) {
        std::vector<double> kindDelays;
        const int scans = std::max(3, runs / 4);
        for (int run = 0; run < scans; ++run) {
            if (const auto delay = AlertDelayMs(raw.Get(), events, kindSource++, kind.flags)) {
                kindDelays.push_back(*delay);
            }
        }
        out << "| " << kind.kind << " | " << scans << " | " << kindDelays.size() << " | "
            << Percentile(kindDelays, 0.5) << " | " << Percentile(kindDelays, 0.95) << " | "
            << Percentile(kindDelays, 1.0) << " |\n";
    }

    std::vector<Service> services;
    std::vector<int> ports;
    for (int i = 0; i < kThreshold; ++i) {
        services.push_back(Listen());
        ports.push_back(services.back().port);
    }
    std::jthread acceptor([&](std::stop_token stop) { AcceptAll(services, stop); });

    // Ordinary traffic from 127.4.x: 200 connections to one port, a browser's 30 to one
    // port, and ten clients each using two services.
    const Clock::time_point benignStart = Clock::now();
    std::vector<UniqueFd> benign = ConnectFrom("127.4.0.1", {ports[0]}, 200);
    for (UniqueFd& fd : ConnectFrom("127.4.0.2", {ports[1]}, 30)) {
        benign.push_back(std::move(fd));
    }
    for (int client = 3; client < 13; ++client) {
        for (UniqueFd& fd :
             ConnectFrom("127.4.0." + std::to_string(client), {ports[2], ports[3]})) {
            benign.push_back(std::move(fd));
        }
    }
    Hold(std::move(benign));
    std::this_thread::sleep_for(1s);
    out << "False alerts over ordinary traffic (240 connections from 12 clients): "
        << events.Count("alert", benignStart, "127.4.") << "\n";

    // scanlogd chroots into a folder its service unit would make; made here when missing and
    // removed again at the end.
    const std::filesystem::path scanlogdRun = "/run/scanlogd";
    std::error_code ignored;
    const bool madeRun = std::filesystem::exists("/usr/sbin/scanlogd") &&
                         !std::filesystem::exists(scanlogdRun) &&
                         std::filesystem::create_directories(scanlogdRun / "empty", ignored);
    const pid_t scanlogd =
        std::filesystem::exists("/usr/sbin/scanlogd") ? StartScanlogd("/usr/sbin/scanlogd") : -1;
    const Usage tarvikBefore = UsageOf(tarvikd.Pid());
    const Usage peerBefore = scanlogd > 0 ? UsageOf(scanlogd) : Usage{};
    const Clock::time_point floodStart = Clock::now();
    // Every forged source sends the threshold's worth of ports, so each one alerts: the worst
    // case for the alert channels. A real client completes its handshakes mid-flood.
    std::uint32_t source = 0x7f400001U;
    int sent = 0;
    std::optional<Clock::time_point> realSeen;
    std::jthread realScanner([&] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds) / 2);
        Hold(ConnectFrom("127.9.9.9", ports));
    });
    const auto batch = std::max(1, rate / 100);
    for (auto next = floodStart; next < floodStart + std::chrono::seconds(seconds); next += 10ms) {
        for (int i = 0; i < batch; ++i, ++sent) {
            SendSyn(raw.Get(), source, kFirstClosedPort + sent % kThreshold);
            source += (sent % kThreshold == kThreshold - 1) ? 1 : 0;
        }
        std::this_thread::sleep_until(next + 10ms);
    }
    const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    realScanner.join();
    realSeen = events.WaitForAlert("127.9.9.9", 5s);
    out << "Forged flood: " << sent << " SYNs from " << source - 0x7f400001U << " sources in "
        << floodSeconds << " s (" << static_cast<int>(sent / floodSeconds) << "/s)\n";
    out << "  " << CostLine("tarvikd", tarvikd.Pid(), tarvikBefore, floodSeconds) << "\n";
    if (scanlogd > 0) {
        out << "  " << CostLine("scanlogd", scanlogd, peerBefore, floodSeconds) << "\n";
        ::kill(scanlogd, SIGTERM);
    } else {
        out << "  scanlogd: not installed or would not start (Debian package scanlogd): tarvikd "
               "alone\n";
    }
    if (madeRun) {
        for (int attempt = 0; attempt < 50 && ScanlogdPids().count(scanlogd) != 0; ++attempt) {
            std::this_thread::sleep_for(20ms);
        }
        std::filesystem::remove_all(scanlogdRun, ignored);
    }
    // The held-back hosts are told once their minute is over, at a 30-second check.
    for (int waited = 0; waited < suppressedWait && events.Count("suppressed", floodStart) == 0;
         ++waited) {
        std::this_thread::sleep_for(1s);
    }
    out << "  --events: " << events.Count("alert", floodStart, "127.64.") << " alert lines and "
        << events.Count("suppressed", floodStart) << " suppressed lines ("
        << events.Suppressed(floodStart) << " hosts) in " << suppressedWait
        << " s at most after the flood; the real client mid-flood "
        << (realSeen ? "alerted" : "NOT alerted")
        << " (its connections seen opened: " << events.Count("open", floodStart, "127.9.9.9")
        << ")\n";
    acceptor.request_stop();
    return realSeen ? 0 : 1;
}

}  // namespace
}  // namespace tarvik::bench

int main(int argc, char** argv) {
    std::string program;
    std::string outPath;
    int rate = 20000;
    int seconds = 10;
    int runs = 20;
    int suppressedWait = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--tarvikd") {
            program = value;
        } else if (option == "--out") {
            outPath = value;
        } else if (option == "--rate") {
            rate = std::stoi(value);
        } else if (option == "--seconds") {
            seconds = std::stoi(value);
        } else if (option == "--runs") {
            runs = std::stoi(value);
        } else if (option == "--suppressed-wait") {
            suppressedWait = std::stoi(value);
        }
    }
    if (program.empty()) {
        std::cerr << "usage: bench_scanflood --tarvikd PATH [--out FILE] [--rate N] [--seconds N] "
                     "[--runs N] [--suppressed-wait SECONDS]\n";
        return 2;
    }
    std::ostringstream report;
    const int status = tarvik::bench::Run(program, rate, seconds, runs, suppressedWait, report);
    std::cout << report.str();
    if (!outPath.empty()) {
        std::ofstream(outPath) << report.str();
    }
    return status;
}
