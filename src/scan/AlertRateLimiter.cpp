#include "scan/AlertRateLimiter.h"

namespace tarvik {

void CAlertRateLimiter::StartPeriodIfOver(Clock::time_point now) {
    if (!periodStart_ || now - *periodStart_ >= kPeriod) {
        periodStart_ = now;
        admitted_ = 0;
    }
}

bool CAlertRateLimiter::Admit(const std::string& host, int perMinute, Clock::time_point now) {
    StartPeriodIfOver(now);
    if (admitted_ < perMinute) {
        ++admitted_;
        return true;
    }
    ++heldBack_;
    if (named_.size() < kNamed) {
        named_.push_back(host);
    }
    return false;
}

std::optional<std::string> CAlertRateLimiter::TakeSummary(Clock::time_point now) {
    if (heldBack_ == 0 || (periodStart_ && now - *periodStart_ < kPeriod)) {
        return std::nullopt;
    }
    std::string text = AlertSummaryText(heldBack_, named_);
    heldBack_ = 0;
    named_.clear();
    // The summary is this minute's one extra record; the next minute starts now.
    periodStart_ = now;
    admitted_ = 0;
    return text;
}

std::string AlertSummaryText(std::size_t hosts, const std::vector<std::string>& named) {
    std::string text = std::to_string(hosts) + (hosts == 1 ? " more host reached the threshold"
                                                           : " more hosts reached the threshold");
    for (std::size_t i = 0; i < named.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + named[i];
    }
    if (hosts > named.size() && !named.empty()) {
        text += ", ...";
    }
    return text;
}

}  // namespace tarvik
