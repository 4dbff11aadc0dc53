#include "scan/AlertRateLimiter.h"

namespace tarvik {

void CAlertRateLimiter::StartPeriodIfOver(Clock::time_point now) {
    if (!periodStart_ || now - *periodStart_ >= kPeriod) {
        periodStart_ = now;
        admitted_ = 0;
    }
}

bool CAlertRateLimiter::Admit(const std::string& host, int perMinute, Clock::time_point now,
                              bool proven) {
    StartPeriodIfOver(now);
    if (proven || admitted_ < perMinute) {
        ++admitted_;
        return true;
    }
    HoldBack(host, now);
    return false;
}

void CAlertRateLimiter::HoldBack(const std::string& host, Clock::time_point now) {
    StartPeriodIfOver(now);
    ++heldBack_.hosts;
    if (heldBack_.named.size() < kNamed) {
        heldBack_.named.push_back(host);
    }
}

std::optional<CAlertRateLimiter::HeldBack> CAlertRateLimiter::TakeHeldBack(Clock::time_point now) {
    if (heldBack_.hosts == 0 || (periodStart_ && now - *periodStart_ < kPeriod)) {
        return std::nullopt;
    }
    HeldBack taken = std::move(heldBack_);
    heldBack_ = {};
    // The summary is this minute's one extra record; the next minute starts now.
    periodStart_ = now;
    admitted_ = 0;
    return taken;
}

std::optional<std::string> CAlertRateLimiter::TakeSummary(Clock::time_point now) {
    const std::optional<HeldBack> held = TakeHeldBack(now);
    if (!held) {
        return std::nullopt;
    }
    return AlertSummaryText(held->hosts, held->named);
}

std::string AlertSummaryText(std::size_t hosts, const std::vector<std::string>& named) {
    return std::to_string(hosts) +
           (hosts == 1 ? " more host reached the threshold" : " more hosts reached the threshold") +
           NamedHostsText(hosts, named);
}

std::string NamedHostsText(std::size_t hosts, const std::vector<std::string>& named) {
    std::string text;
    for (std::size_t i = 0; i < named.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + named[i];
    }
    if (hosts > named.size() && !named.empty()) {
        text += ", ...";
    }
    return text;
}

}  // namespace tarvik
