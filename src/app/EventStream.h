#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "acquisition/ConnectionRecord.h"
#include "base/WaitSet.h"
#include "scan/ScanEvents.h"

namespace tarvik {

// One JSON Lines object for an opened ("open"), changed ("update") or ended ("close") connection:
// the members of the --list JSON plus "event", "version", "time" and, when it ended, "closeTime".
std::string ConnectionEventLine(std::string_view event, const CConnectionRecord& record,
                                std::time_t time);
// One JSON Lines object for a scan alert.
std::string AlertEventLine(const ScanAlertEvent& alert);
// One JSON Lines object for the alerts held back by the alert-line cap: how many hosts and the
// first few of them.
std::string SuppressedEventLine(const ScanAlertsSuppressed& suppressed);
// The line that tells a reader how many lines before it were dropped.
std::string LossEventLine(std::uint64_t lost, std::time_t time);
// The kernel dropped connection notices ("source": "kernel"): ends of connections that began
// and ended then may be missing.
std::string KernelLossEventLine(std::time_t time);

// Whole lines to a descriptor (standard output) from a writer thread of its own. Offer never
// waits for the reader: when `capacity` lines wait already, the line is dropped and counted,
// and the next line that finds room is preceded by a "lost" event saying how many went.
class CEventStream {
public:
    // Rewrites a line on the writer's thread just before it goes out (another event format).
    using LineFormat = std::function<std::string(std::string_view line)>;
    CEventStream(int fd, std::size_t capacity,
                 std::chrono::milliseconds drainLimit = std::chrono::seconds(2),
                 LineFormat format = {});
    // Writes what waits, giving up after the drain limit on a reader that takes nothing.
    ~CEventStream();

    CEventStream(const CEventStream&) = delete;
    CEventStream& operator=(const CEventStream&) = delete;

    // Queues one line (without its line end). False when it was dropped.
    bool Offer(std::string line);

    // Lines dropped because the queue was full or the descriptor failed.
    std::uint64_t Lost() const { return lost_.load(); }

private:
    void Run();
    // Writes the whole line and its line end; false on an error or, when finishing, the
    // drain deadline.
    bool WriteLine(const std::string& line, WaitKey out);
    bool WriteText(std::string_view text, WaitKey out);
    // How long the writer may still wait for the reader: no limit until the destructor runs.
    std::optional<std::chrono::milliseconds> DrainTimeLeft();

    int fd_;
    std::size_t capacity_;
    std::chrono::milliseconds drainLimit_;
    LineFormat format_;  // empty: lines go out as offered
    std::atomic<std::uint64_t> lost_{0};

    std::mutex mutex_;
    std::deque<std::string> queue_;  // under mutex_
    std::uint64_t unreported_ = 0;   // drops not yet told in a "lost" line; under mutex_
    bool broken_ = false;            // the descriptor failed; under mutex_
    bool finishing_ = false;         // the destructor runs; under mutex_
    std::chrono::steady_clock::time_point drainDeadline_{};  // set with finishing_; under mutex_
    CWaitSet waits_;  // the descriptor, and a wake for a line queued or the finish
    std::thread writer_;
};

}  // namespace tarvik
