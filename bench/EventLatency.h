#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ChurnTraffic.h"

namespace tarvik::bench {

// tarvikd's --events lines as they arrive on a pipe, each with the moment it was read.
class EventLines {
public:
    struct Line {
        ChurnTraffic::Clock::time_point at;
        std::string text;
    };

    // Reads `fd` on a thread of its own until the writer closes it.
    explicit EventLines(int fd);
    // Waits for the end of the stream: stop the writer first.
    std::vector<Line> Take();

private:
    std::vector<Line> lines_;  // the reader thread's until it is joined
    std::jthread reader_;
};

struct LatencySummary {
    std::vector<double> openMs;   // per side seen opened, from the bench's connect
    std::vector<double> closeMs;  // per side seen ended, from the bench's close
};

// Matches the "open" and "close" lines of the churn's two sides to the connections it made (in
// order per client port: ports come back) and measures how late each line was.
LatencySummary MatchLatency(const std::vector<EventLines::Line>& lines,
                            const ChurnTraffic& traffic);

// The value below which `fraction` of `values` lie (nearest rank); -1 when empty.
double Percentile(std::vector<double> values, double fraction);

}  // namespace tarvik::bench
