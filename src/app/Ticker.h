#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "base/WaitSet.h"

namespace tarvik {

// Fires a set of periodic ticks on one thread: each tick runs once at Start() and then every
// period, until Stop(). The headless monitor's stand-in for the window's timers.
class CTicker {
public:
    struct Tick {
        std::chrono::milliseconds period;
        std::function<void()> action;
    };

    explicit CTicker(std::vector<Tick> ticks);
    ~CTicker();

    CTicker(const CTicker&) = delete;
    CTicker& operator=(const CTicker&) = delete;

    // Call at most once.
    void Start();
    // Ends the thread at once, also in the middle of a long period, and waits for it.
    void Stop();

private:
    void Run();

    std::vector<Tick> ticks_;
    CWaitSet waits_;
    std::thread thread_;
};

}  // namespace tarvik
