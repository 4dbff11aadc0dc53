#include "ChurnTraffic.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace tarvik::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kServer = "127.0.3.1";
constexpr const char* kClient = "127.0.4.1";

sockaddr_in Address(const char* host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, host, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

struct Live {
    UniqueFd client;
    UniqueFd accepted;
    Clock::time_point closeAt;
    ChurnTraffic::Life* life = nullptr;
};

void End(Live& live) {
    live.life->ended = Clock::now();
    const linger reset{1, 0};
    setsockopt(live.client.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    live.client.Reset();
    live.accepted.Reset();
}

}  // namespace

ChurnTraffic::ChurnTraffic() {
    listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Address(kServer, 0);
    socklen_t length = sizeof address;
    if (!listener_ ||
        bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), 1024) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "bench_pollpath: churn listener: %s\n", std::strerror(errno));
        listener_.Reset();
        return;
    }
    port_ = ntohs(address.sin_port);
}

int ChurnTraffic::Run(int perSecond, int seconds, int lifeMillis) {
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / std::max(1, perSecond));
    const auto life = std::chrono::milliseconds(lifeMillis);
    const long total = static_cast<long>(perSecond) * seconds;
    const sockaddr_in server = Address(kServer, static_cast<std::uint16_t>(port_));
    const sockaddr_in source = Address(kClient, 0);
    std::deque<Live> live;
    lives_.reserve(lives_.size() + static_cast<std::size_t>(total));  // Live points into it
    int opened = 0;
    const auto start = Clock::now();
    for (long i = 0; i < total; ++i) {
        std::this_thread::sleep_until(start + i * period);
        while (!live.empty() && live.front().closeAt <= Clock::now()) {
            End(live.front());
            live.pop_front();
        }
        Live next;
        const auto opening = Clock::now();
        next.client.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int noPort = 1;
        setsockopt(next.client.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort, sizeof noPort);
        if (!next.client ||
            bind(next.client.Get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) !=
                0 ||
            connect(next.client.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) !=
                0) {
            std::fprintf(stderr, "bench_pollpath: churn connect: %s\n", std::strerror(errno));
            break;
        }
        next.accepted.Reset(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!next.accepted) {
            std::fprintf(stderr, "bench_pollpath: churn accept: %s\n", std::strerror(errno));
            break;
        }
        const int clientPort = LocalPort(next.client.Get());
        order_.push_back({kServer, port_, kClient, clientPort});  // the client's side
        order_.push_back({kClient, clientPort, kServer, port_});  // the accepted side
        ++opened_[order_[order_.size() - 2]];
        ++opened_[order_.back()];
        ++opened;
        lives_.push_back({clientPort, opening, {}});
        next.life = &lives_.back();
        next.closeAt = Clock::now() + life;
        live.push_back(std::move(next));
    }
    for (Live& last : live) {
        std::this_thread::sleep_until(last.closeAt);
        End(last);
    }
    return opened;
}

int ChurnTraffic::SidesLogged(const std::filesystem::path& folder) const {
    // start,end,remote name,remote address,remote port,local address,local port,category
    std::map<Side, int> logged;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::stringstream split(line);
            for (std::string field; std::getline(split, field, ',');) {
                fields.push_back(field);
            }
            if (fields.size() == 8) {
                ++logged[{fields[3], std::atoi(fields[4].c_str()), fields[5],
                          std::atoi(fields[6].c_str())}];
            }
        }
    }
    int sides = 0;
    int named = 0;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const auto it = logged.find(order_[i]);
        if (it != logged.end() && it->second > 0) {
            --it->second;
            ++sides;
        } else if (named++ < 20) {
            std::fprintf(stderr,
                         "bench_pollpath: not logged: connection %zu (%s side, %s:%d, that side "
                         "opened %d times)\n",
                         i / 2, i % 2 == 0 ? "client's" : "accepted",
                         std::get<2>(order_[i]).c_str(), std::get<3>(order_[i]),
                         opened_.at(order_[i]));
        }
    }
    return sides;
}

}  // namespace tarvik::bench
