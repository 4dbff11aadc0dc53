#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "logging/LogFile.h"
#include "settings/SettingsStore.h"

namespace tarvik {

class CWorkerHub;

// Where a line goes: the folder and the file name in it.
struct LogTarget {
    std::string folder;
    std::string name;
    LogFormat format = LogFormat::Classic;  // of the lines, and of the header of a new file

    std::string Path() const;
    bool operator==(const LogTarget&) const = default;
};

// One category's log: the open file, the lines gathered for one write, and the lines that could
// not be written yet. Lines are gathered and written together (Flush) so that a burst of records
// costs one write and one check of the file rather than one per line. A failure (a file that
// cannot be opened or is refused, a full disk) keeps the lines in a bounded queue and retries
// with a growing pause; the user is told once when it starts and once when it ends. One thread
// owns it.
class CCategoryLog {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kMaxPendingLines = 10'000;
    static constexpr std::size_t kMaxPendingBytes = 4u << 20;
    static constexpr Clock::duration kFirstRetry = std::chrono::seconds(1);
    static constexpr Clock::duration kLongestRetry = std::chrono::minutes(5);
    // Gathered lines are written once they reach this size, so a long burst needs no more.
    static constexpr std::size_t kMaxGatheredBytes = 64u << 10;

    CCategoryLog(CWorkerHub& hub, LogCategory category, LogWriter writer = {});

    // Gathers `line` for `target`, to be written by the next Flush; lines gathered for another
    // target are written first. When lines are held back the line joins the queue instead,
    // which is written unless a failure's pause still runs.
    void Gather(const LogTarget& target, std::string_view line, Clock::time_point now);
    // Writes the gathered lines with one write, after checking once that the file is still
    // there; when that fails they join the queue.
    void Flush(Clock::time_point now);
    // Writes the queue when a failure's pause has run out.
    void Retry(Clock::time_point now);
    // Writes the gathered lines, then a last try for the queue, whatever the pause; says how
    // many lines are lost when some stay unwritten.
    void Finish(Clock::time_point now);
    // Writes the gathered lines and closes the file.
    void Close(Clock::time_point now);

    // Where the next line goes unless the date changes: the gathered lines' target, else the
    // open file's, else none.
    const LogTarget* CurrentTarget() const;
    bool Failing() const { return failing_; }
    std::size_t PendingLines() const { return pending_.size(); }

private:
    struct PendingLine {
        LogTarget target;
        std::string text;
    };
    enum class FailureKind { Open, Write };
    struct Failure {
        FailureKind kind;
        std::string reason;
    };

    void Queue(const LogTarget& target, std::string_view line);
    // Moves the gathered lines into the queue.
    void QueueGathered();
    void Drain(Clock::time_point now);
    enum class Text {
        OneLine,     // a line without its end
        WholeLines,  // lines, each with its end
    };
    // Writes to the target's file, opening it first when needed; false with the cause in
    // `failure`.
    bool Write(const LogTarget& target, std::string_view text, Text kind, Failure& failure);
    bool EnsureOpen(const LogTarget& target, Failure& failure);
    void CloseAfterFailedWrite(int error, Failure& failure);
    void Fail(const LogTarget& target, const Failure& failure, Clock::time_point now);
    void Recover(const LogTarget& target);
    std::string LostText(std::string_view cause) const;

    CWorkerHub& hub_;
    LogCategory category_;
    CLogFile file_;
    LogTarget openTarget_;

    LogTarget gatheredTarget_;
    std::string gathered_;  // whole lines, each with its line end; capacity kept between writes

    std::deque<PendingLine> pending_;
    std::size_t pendingBytes_ = 0;
    std::uint64_t lost_ = 0;

    bool failing_ = false;
    Clock::duration pause_{};
    Clock::time_point nextTry_{};
};

}  // namespace tarvik
