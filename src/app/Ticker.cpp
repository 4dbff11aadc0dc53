#include "app/Ticker.h"

#include <algorithm>

#include "base/ThreadName.h"

namespace tarvik {

CTicker::CTicker(std::vector<Tick> ticks) : ticks_(std::move(ticks)) {}

CTicker::~CTicker() {
    Stop();
}

void CTicker::Start() {
    thread_ = std::jthread([this](std::stop_token stop) { Run(std::move(stop)); });
}

void CTicker::Stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void CTicker::Run(std::stop_token stop) {
    NameThisThread("ticker");
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    std::vector<Clock::time_point> due(ticks_.size(), start);

    while (!stop.stop_requested()) {
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < ticks_.size(); ++i) {
            if (due[i] <= now) {
                ticks_[i].action();
                // Re-arm from now, as a window timer does: a slow tick delays, never bunches.
                due[i] = Clock::now() + ticks_[i].period;
            }
        }
        const Clock::time_point next = *std::min_element(due.begin(), due.end());
        std::unique_lock lock(mutex_);
        wake_.wait_until(lock, stop, next, [] { return false; });
    }
}

}  // namespace tarvik
