#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "base/WaitSet.h"
#include "scan/ScanEvents.h"
#include "tracking/Events.h"

namespace tarvik {

class CWorkerHub;

// What one line of tarvikd's `follow` stream says, as a viewer takes it.
struct DaemonLoss {};  // lines or notices were dropped: the live set is to be read again
struct DaemonJunk {    // not an event this viewer can read
    std::string reason;
};
struct DaemonOther {};  // an event of a kind this viewer has no use for
using DaemonEvent =
    std::variant<ConnectionEvent, ScanAlertEvent, DaemonLoss, DaemonJunk, DaemonOther>;

DaemonEvent DecodeDaemonEvent(std::string_view line);
// The rows of a `list` answer; rows that are not connections are left out. Nullopt with the
// reason when the line is no list at all.
std::optional<std::vector<CConnectionRecord>> DecodeDaemonList(std::string_view line,
                                                               std::string* error);
// "tarvikd (events)" from a `status` answer; nullopt with the reason when it is none.
std::optional<std::string> DecodeDaemonStatus(std::string_view line, std::string* error);

// Asks the daemon at `socket` for its status within `timeout`: the status bar's text when it
// answers, nullopt when nothing usable listens there (no socket, refused, no answer).
std::optional<std::string> ProbeDaemon(const std::filesystem::path& socket,
                                       std::chrono::milliseconds timeout);

// Feeds the hub from a running tarvikd, as the poller does from the kernel: the daemon's live
// set as a Snapshot when attached, again every kRelistInterval and after a loss, and its
// events between them as ConnectionNotices; its alerts as ScanAlertEvent and the balloon. So
// the tracker, the row model, its sorting and filters work as they do over the kernel.
//
// One thread of its own. When the daemon goes away or sends what cannot be read, the status
// says so and the feed tries again every kRetryPause until it is back or stopped.
class CDaemonFeed {
public:
    static constexpr std::size_t kEventLineLimit = std::size_t{1} << 20;
    static constexpr std::size_t kListLineLimit = std::size_t{512} << 20;
    static constexpr std::chrono::seconds kRelistInterval{30};
    static constexpr std::chrono::seconds kAnswerTimeout{20};
    static constexpr std::chrono::seconds kRetryPause{2};

    CDaemonFeed(CWorkerHub& hub, std::filesystem::path socket);
    // Stops the thread and waits for it.
    ~CDaemonFeed();
    CDaemonFeed(const CDaemonFeed&) = delete;
    CDaemonFeed& operator=(const CDaemonFeed&) = delete;

    // `changed` is called on the feed's thread each time StatusText changes.
    void Start(std::function<void()> changed);
    // Asks the daemon for its whole list again as soon as the feed is attached (the user's
    // "Refresh Now"); any thread.
    void RelistSoon();
    // Ends the thread; any thread, returns at once. Join waits for it.
    void Stop() { waits_.Stop(); }
    void Join();

    // "tarvikd (events)" while attached, else what keeps it from being. Any thread.
    std::string StatusText() const;

private:
    class Connection;
    void Run();
    void Session();
    bool Relist(Connection& commands);
    // Hands on the events of the lines read (after reading once more when `read`); false when
    // the session is to end.
    bool TakeEvents(Connection& follow, Connection& commands, bool read);
    void SetStatus(std::string text);

    CWorkerHub& hub_;
    const std::filesystem::path socket_;
    CWaitSet waits_;
    std::function<void()> changed_;  // set before the thread starts
    // The feed's thread only: the two connections' keys and the relist timer.
    WaitKey followKey_{};
    WaitKey commandKey_{};
    WaitKey relistTimer_{};
    std::string attachedText_;     // the feed's thread only
    std::uint64_t junkLines_ = 0;  // the feed's thread only
    std::atomic<bool> relistAsked_{false};
    mutable std::mutex mutex_;
    std::string status_;  // under mutex_
    std::thread thread_;
};

}  // namespace tarvik
