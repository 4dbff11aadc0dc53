#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace tarvik {

// What one poll outcome tells the user and the trace.
struct PollNotice {
    enum class Audience { Trace, UserAndTrace };
    Audience audience = Audience::Trace;
    std::string text;

    bool operator==(const PollNotice&) const = default;
};

// Turns poll outcomes into notices without flooding the user: the first failure is told with
// its reason, later ones are only counted in the trace, a run of kBlindAfter failures tells the
// user that connections are no longer seen, and the first success after a failure the user was
// told of says so once. After a blind spell ends, the next failure is news again.
class CPollFailureReport {
public:
    static constexpr int kBlindAfter = 10;

    std::vector<PollNotice> Failed(const std::string& reason, std::time_t now);
    std::vector<PollNotice> Succeeded();

    int ConsecutiveFailures() const { return consecutive_; }

private:
    int failures_ = 0;  // since firstFailure_
    int consecutive_ = 0;
    std::time_t firstFailure_ = 0;
    bool userToldOfFailure_ = false;
    bool userToldOfRecovery_ = false;
};

}  // namespace tarvik
