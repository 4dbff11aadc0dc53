#pragma once

#include <ctime>
#include <functional>
#include <variant>
#include <vector>

#include "tracking/ConnectionTracker.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

using TrackerInbox = std::variant<Snapshot, ConnectionNotices, HostResolved>;

// The connection tracker's worker: merges the poller's snapshots and notices into the live set,
// keeps the shown list in step and tells the other workers about new and ended connections.
class CFilterThread : public CWorker<TrackerInbox>, private ITrackerHost {
public:
    using Clock = std::function<std::time_t()>;

    // `clock` defaults to the wall clock.
    CFilterThread(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                  Clock clock = {});
    ~CFilterThread() override;

private:
    void Handle(TrackerInbox& message) override;
    void Take(Snapshot& snapshot);
    void Take(ConnectionNotices& notices);
    void Take(HostResolved& answer);

    ViewFilter ReadFilter() override;
    void Publish(TrackerNews news) override;
    void Trace(std::string_view text) override;
    std::time_t Now() override;

    // Both send what the tracker published since the last time, each worker woken once for
    // the batch rather than once per connection; the second is the backstop.
    void EndOfBatch() override;
    void OnQuit() override;
    void OnInboxDone() override;

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    Clock clock_;
    CConnectionTracker tracker_;
    std::vector<TrackerNews> held_;  // not yet published; the worker's thread alone
};

}  // namespace tarvik
