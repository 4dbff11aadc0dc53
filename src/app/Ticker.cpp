#include "app/Ticker.h"

#include <algorithm>

#include "base/ThreadName.h"

namespace tarvik {

CTicker::CTicker(std::vector<Tick> ticks) : ticks_(std::move(ticks)) {}

CTicker::~CTicker() {
    Stop();
}

void CTicker::Start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { Run(); });
    }
}

void CTicker::Stop() {
    waits_.Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CTicker::Run() {
    NameThisThread("ticker");
    // Timer i is tick i's; each fires at once first.
    std::vector<WaitKey> timers;
    for (std::size_t i = 0; i < ticks_.size(); ++i) {
        timers.push_back(waits_.AddTimer());
        waits_.Arm(timers.back(), std::chrono::nanoseconds::zero());
    }
    for (;;) {
        const CWaitSet::Result& woke = waits_.Wait();
        if (woke.stopped || woke.failed) {
            return;
        }
        for (const CWaitSet::Ready& ready : woke.ready) {
            const auto i = static_cast<std::size_t>(
                std::find(timers.begin(), timers.end(), ready.key) - timers.begin());
            ticks_[i].action();
            // Re-armed from now, as a window timer is: a slow tick delays, never bunches.
            waits_.Arm(timers[i], ticks_[i].period);
        }
    }
}

}  // namespace tarvik
