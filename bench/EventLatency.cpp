#include "EventLatency.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <utility>

namespace tarvik::bench {
namespace {

// The number after `"name": ` in a JSON line, or -1.
int IntField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    const auto at = line.find(key);
    if (at == std::string::npos) {
        return -1;
    }
    return std::atoi(line.c_str() + at + key.size());
}

double MillisBetween(ChurnTraffic::Clock::time_point from, ChurnTraffic::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

EventLines::EventLines(int fd)
    : reader_([this, fd] {
          std::string partial;
          char buffer[65536];
          for (;;) {
              const ssize_t got = ::read(fd, buffer, sizeof buffer);
              if (got < 0 && errno == EINTR) {
                  continue;
              }
              if (got <= 0) {
                  return;
              }
              const auto now = ChurnTraffic::Clock::now();
              partial.append(buffer, static_cast<std::size_t>(got));
              std::size_t begin = 0;
              for (auto end = partial.find('\n'); end != std::string::npos;
                   end = partial.find('\n', begin)) {
                  lines_.push_back({now, partial.substr(begin, end - begin)});
                  begin = end + 1;
              }
              partial.erase(0, begin);
          }
      }) {}

std::vector<EventLines::Line> EventLines::Take() {
    if (reader_.joinable()) {
        reader_.join();
    }
    return std::move(lines_);
}

LatencySummary MatchLatency(const std::vector<EventLines::Line>& lines,
                            const ChurnTraffic& traffic) {
    // Per side (false: the client's, true: the accepted one) and client port, the connections
    // whose open or close line is still to come, oldest first.
    using Key = std::pair<bool, int>;
    std::map<Key, std::deque<std::size_t>> opens;
    std::map<Key, std::deque<std::size_t>> closes;
    const auto& lives = traffic.Lives();
    for (std::size_t i = 0; i < lives.size(); ++i) {
        for (const bool accepted : {false, true}) {
            opens[{accepted, lives[i].clientPort}].push_back(i);
            closes[{accepted, lives[i].clientPort}].push_back(i);
        }
    }
    LatencySummary summary;
    for (const EventLines::Line& line : lines) {
        const bool open = line.text.find("\"event\": \"open\"") != std::string::npos;
        const bool close = line.text.find("\"event\": \"close\"") != std::string::npos;
        const int local = IntField(line.text, "localPort");
        const int remote = IntField(line.text, "remotePort");
        if ((!open && !close) || line.text.find("\"127.0.4.1\"") == std::string::npos ||
            (local != traffic.ServerPort()) == (remote != traffic.ServerPort())) {
            continue;
        }
        const bool accepted = local == traffic.ServerPort();
        auto& waiting = (open ? opens : closes)[{accepted, accepted ? remote : local}];
        if (waiting.empty()) {
            continue;
        }
        const ChurnTraffic::Life& life = lives[waiting.front()];
        waiting.pop_front();
        if (open) {
            summary.openMs.push_back(MillisBetween(life.opened, line.at));
        } else {
            summary.closeMs.push_back(MillisBetween(life.ended, line.at));
        }
    }
    return summary;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return -1;
    }
    const auto rank = static_cast<std::size_t>(
        std::max(1.0, std::ceil(fraction * static_cast<double>(values.size()))));
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace tarvik::bench
