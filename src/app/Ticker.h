#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

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

    void Start();
    void Stop();

private:
    void Run(std::stop_token stop);

    std::vector<Tick> ticks_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace tarvik
