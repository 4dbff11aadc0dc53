#include "logging/CategoryLog.h"

#include <algorithm>
#include <system_error>

#include "logging/ConnectionLogger.h"
#include "logging/LogFileName.h"
#include "logging/LogLine.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

std::string ErrnoText(int error) {
    return std::generic_category().message(error);
}

std::string Capitalised(std::string word) {
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') {
        word[0] = static_cast<char>(word[0] - 'a' + 'A');
    }
    return word;
}

}  // namespace

std::string LogTarget::Path() const {
    if (folder.empty() || folder.ends_with('/')) {
        return folder + name;
    }
    return folder + '/' + name;
}

CCategoryLog::CCategoryLog(CWorkerHub& hub, LogCategory category, LogWriter writer)
    : hub_(hub), category_(category), file_(std::move(writer)) {}

void CCategoryLog::Close(Clock::time_point now) {
    Flush(now);
    file_.Close();
}

const LogTarget* CCategoryLog::CurrentTarget() const {
    if (!gathered_.empty()) {
        return &gatheredTarget_;
    }
    return file_.IsOpen() ? &openTarget_ : nullptr;
}

void CCategoryLog::Gather(const LogTarget& target, std::string_view line, Clock::time_point now) {
    if (!gathered_.empty() && gatheredTarget_ != target) {
        Flush(now);
    }
    // Nothing held back and nothing to tell: the line waits for the next write.
    if (pending_.empty() && !failing_ && lost_ == 0) {
        if (gathered_.empty()) {
            gatheredTarget_ = target;
        }
        gathered_.append(line);
        gathered_ += '\n';
        if (gathered_.size() >= kMaxGatheredBytes) {
            Flush(now);
        }
        return;
    }
    Queue(target, line);
    Retry(now);
}

void CCategoryLog::Flush(Clock::time_point now) {
    if (gathered_.empty()) {
        return;
    }
    Failure failure{FailureKind::Open, {}};
    if (!Write(gatheredTarget_, gathered_, Text::WholeLines, failure)) {
        QueueGathered();
        Fail(gatheredTarget_, failure, now);
    }
    gathered_.clear();
}

void CCategoryLog::QueueGathered() {
    std::string_view rest = gathered_;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        Queue(gatheredTarget_, rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
}

void CCategoryLog::Queue(const LogTarget& target, std::string_view line) {
    if (pending_.size() >= kMaxPendingLines || pendingBytes_ + line.size() > kMaxPendingBytes) {
        ++lost_;
    } else {
        pendingBytes_ += line.size();
        pending_.push_back({target, std::string(line)});
    }
}

void CCategoryLog::Retry(Clock::time_point now) {
    if (pending_.empty() || (failing_ && now < nextTry_)) {
        return;
    }
    Drain(now);
}

void CCategoryLog::Finish(Clock::time_point now) {
    Flush(now);
    if (!pending_.empty()) {
        Drain(now);
    }
    if (!pending_.empty()) {
        lost_ += pending_.size();
        const std::string path = pending_.front().target.Path();
        pending_.clear();
        pendingBytes_ = 0;
        hub_.NotifyUser(LostText("not written before logging stopped") + " (" + path + ")");
        lost_ = 0;
    }
    file_.Close();
}

void CCategoryLog::Drain(Clock::time_point now) {
    while (!pending_.empty()) {
        const PendingLine& line = pending_.front();
        Failure failure{FailureKind::Open, {}};
        if (!Write(line.target, line.text, Text::OneLine, failure)) {
            Fail(line.target, failure, now);
            return;
        }
        pendingBytes_ -= line.text.size();
        const LogTarget written = line.target;
        pending_.pop_front();
        if (pending_.empty() && (failing_ || lost_ > 0)) {
            Recover(written);
        }
    }
}

bool CCategoryLog::Write(const LogTarget& target, std::string_view text, Text kind,
                         Failure& failure) {
    if (!EnsureOpen(target, failure)) {
        return false;
    }
    int error = 0;
    const bool written =
        kind == Text::OneLine ? file_.WriteLine(text, &error) : file_.WriteLines(text, &error);
    if (!written) {
        CloseAfterFailedWrite(error, failure);
    }
    return written;
}

void CCategoryLog::CloseAfterFailedWrite(int error, Failure& failure) {
    // Reopened at the next try, which also brings back a header cut by the same fault.
    file_.Close();
    failure = {FailureKind::Write, ErrnoText(error)};
}

bool CCategoryLog::EnsureOpen(const LogTarget& target, Failure& failure) {
    if (file_.IsOpen() && openTarget_ == target && !file_.Gone()) {
        return true;
    }
    if (target.name.empty()) {
        failure = {FailureKind::Open, "no file name"};
        return false;
    }
    if (!file_.Open(target.folder, target.name, failure.reason)) {
        failure.kind = FailureKind::Open;
        return false;
    }
    openTarget_ = target;
    int error = 0;
    // An existing but empty file (left by a crash before its header) gets the header too.
    if (file_.IsEmpty() && !file_.WriteLine(LogHeader(target.format), &error)) {
        CloseAfterFailedWrite(error, failure);
        return false;
    }
    return true;
}

void CCategoryLog::Fail(const LogTarget& target, const Failure& failure, Clock::time_point now) {
    hub_.Trace("logger: " + target.Path() + ": " + failure.reason);
    if (failing_) {
        pause_ = std::min<Clock::duration>(pause_ * 2, kLongestRetry);
    } else {
        failing_ = true;
        pause_ = kFirstRetry;
        const std::string where = target.Path() + ": " + failure.reason;
        if (failure.kind == FailureKind::Open) {
            hub_.NotifyUser(CreateFailureMessage(category_, where));
        } else {
            hub_.NotifyUser("Unable to write " + std::string(LogCategoryWord(category_)) +
                            " connection logfile " + where +
                            " (lines are kept and written when it can be)");
        }
    }
    nextTry_ = now + pause_;
}

void CCategoryLog::Recover(const LogTarget& target) {
    std::string text =
        Capitalised(LogCategoryWord(category_)) + " connection logging resumed in " + target.Path();
    if (lost_ > 0) {
        text += "; " + LostText("more than the queue could keep");
    }
    hub_.NotifyUser(text);
    failing_ = false;
    lost_ = 0;
    pause_ = {};
}

std::string CCategoryLog::LostText(std::string_view cause) const {
    return std::to_string(lost_) + " " + LogCategoryWord(category_) +
           (lost_ == 1 ? " line was" : " lines were") + " lost, " + std::string(cause);
}

}  // namespace tarvik
