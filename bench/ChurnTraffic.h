#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "base/UniqueFd.h"

namespace tarvik::bench {

// Short loopback connections from 127.0.4.1 to a listener of its own on 127.0.3.1, each ended
// by a reset of the client (nothing stays in TIME_WAIT for the next run's table), then the
// accepted end is closed. It remembers both sides of every connection it opened.
class ChurnTraffic {
public:
    using Clock = std::chrono::steady_clock;
    // When the bench asked the kernel to open and to end one connection: the kernel's notices
    // of both sides come within those calls on loopback.
    struct Life {
        int clientPort = 0;
        Clock::time_point opened;
        Clock::time_point ended;
    };

    ChurnTraffic();
    bool Ready() const { return static_cast<bool>(listener_); }

    // Opens `perSecond` connections a second for `seconds` seconds, each closed after
    // `lifeMillis`; returns how many were opened.
    int Run(int perSecond, int seconds, int lifeMillis);
    // How many of their sides the log files in `folder` name (each at most as often as opened);
    // the first few missing ones are named on standard error.
    int SidesLogged(const std::filesystem::path& folder) const;

    int ServerPort() const { return port_; }
    // Every connection Run opened, in opening order.
    const std::vector<Life>& Lives() const { return lives_; }

private:
    // Remote address, remote port, local address, local port, as a log line names a side.
    using Side = std::tuple<std::string, int, std::string, int>;

    UniqueFd listener_;
    int port_ = 0;
    std::map<Side, int> opened_;
    std::vector<Side> order_;  // client's side, accepted side, per connection in opening order
    std::vector<Life> lives_;
};

}  // namespace tarvik::bench
