#include "acquisition/PollFailureReport.h"

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

namespace {

PollNotice ToUser(std::string text) {
    return {PollNotice::Audience::UserAndTrace, std::move(text)};
}

PollNotice ToTrace(std::string text) {
    return {PollNotice::Audience::Trace, std::move(text)};
}

}  // namespace

std::vector<PollNotice> CPollFailureReport::Failed(const std::string& reason, std::time_t now) {
    if (failures_++ == 0) {
        firstFailure_ = now;
    }
    ++consecutive_;
    std::vector<PollNotice> notices;
    if (!userToldOfFailure_) {
        userToldOfFailure_ = true;
        notices.push_back(ToUser("Unable to read the connection table: " + reason +
                                 ". The connection list is kept as it was."));
    } else {
        notices.push_back(ToTrace("DataThread, reading the connection table failed " +
                                  std::to_string(failures_) + " times since " +
                                  TimeText(firstFailure_) + ": " + reason));
    }
    if (consecutive_ == kBlindAfter) {
        notices.push_back(ToUser("The connection table could not be read " +
                                 std::to_string(kBlindAfter) + " times in a row (" + reason +
                                 "): new and ended connections are not seen until it can."));
    }
    return notices;
}

std::vector<PollNotice> CPollFailureReport::Succeeded() {
    if (consecutive_ == 0) {
        return {};
    }
    const bool wasBlind = consecutive_ >= kBlindAfter;
    const std::string text = "The connection table is read again, after " +
                             std::to_string(consecutive_) +
                             (consecutive_ == 1 ? " failed attempt." : " failed attempts.");
    consecutive_ = 0;
    if (wasBlind) {
        failures_ = 0;
        userToldOfFailure_ = false;
        userToldOfRecovery_ = false;
        return {ToUser(text)};
    }
    if (!userToldOfRecovery_) {
        userToldOfRecovery_ = true;
        return {ToUser(text)};
    }
    return {ToTrace("DataThread, " + text)};
}

}  // namespace tarvik
