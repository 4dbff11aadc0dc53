#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tarvik {

// Caps one alert channel at a number of records a minute. Hosts held back past the cap are
// told in one summary record once their minute is over ("N more hosts reached the threshold",
// naming the first few).
class CAlertRateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kPeriod{60};
    static constexpr std::size_t kNamed = 5;

    // The hosts held back since the last summary: how many, and the first kNamed of them.
    struct HeldBack {
        std::size_t hosts = 0;
        std::vector<std::string> named;
    };

    // True when the host's alert record may go out now; otherwise the host waits for the
    // summary. A `proven` host (one that completed a handshake, so no forged source) always
    // goes out: a flood of forged sources must not hide it in a summary.
    bool Admit(const std::string& host, int perMinute, Clock::time_point now, bool proven = false);
    // Holds the host back for the summary whatever this minute's count (a cap of another kind).
    void HoldBack(const std::string& host, Clock::time_point now);
    // The summary of the hosts held back, once the minute they were held back in is over.
    std::optional<std::string> TakeSummary(Clock::time_point now);
    // The same as numbers and names, for a summary of another wording.
    std::optional<HeldBack> TakeHeldBack(Clock::time_point now);

private:
    void StartPeriodIfOver(Clock::time_point now);

    std::optional<Clock::time_point> periodStart_;
    int admitted_ = 0;
    HeldBack heldBack_;  // at most kNamed named
};

// "3 more hosts reached the threshold: 10.0.0.1, 10.0.0.2, 10.0.0.3"; with more hosts than
// names, the names end in ", ...".
std::string AlertSummaryText(std::size_t hosts, const std::vector<std::string>& named);
// ": 10.0.0.1, 10.0.0.2, ..." (the names, and ", ..." when `hosts` has more); empty for no name.
std::string NamedHostsText(std::size_t hosts, const std::vector<std::string>& named);

}  // namespace tarvik
