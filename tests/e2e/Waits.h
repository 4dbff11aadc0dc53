#pragma once

// Waits of the end-to-end tests: each returns as soon as what it waits for has happened, and
// gives up only after a deadline long enough for a loaded two-core machine.
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>

namespace tarvik::test {

// Long enough that only a fault, not a slow machine, reaches it.
constexpr std::chrono::seconds kEventDeadline{30};

// Checks `done` every `interval` until it holds; false when it still does not at the deadline.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds deadline = kEventDeadline,
               std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

// Whether `line` is a --events line of `kind` ("open", "close") for the socket at `localPort`
// talking to `remotePort` (null for a listener).
inline bool IsConnectionEvent(const std::string& line, std::string_view kind, int localPort,
                              const nlohmann::json& remotePort) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    return !event.is_discarded() && event.is_object() && event.value("event", "") == kind &&
           event.value("localPort", -1) == localPort && event.contains("remotePort") &&
           event.at("remotePort") == remotePort;
}

}  // namespace tarvik::test
