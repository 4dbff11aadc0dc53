#pragma once

#include <ctime>
#include <functional>
#include <unordered_set>

#include "app/EventStream.h"
#include "app/MetricsFile.h"
#include "tracking/ConnectionList.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

// Sits between the tracker and the list it feeds: passes every operation on, and from them
// counts ended connections and sends an "open" event for the first sight of a connection and a
// "close" event when it ends. The tracker reports a row the view filters hide only once it
// changes, so with filters set in the [View] section such rows are seen late or only at their
// end. Apply runs on the tracker's thread only.
class CServiceListTap : public IConnectionList {
public:
    using Clock = std::function<std::time_t()>;
    // `events` may be null (no --events).
    CServiceListTap(
        IConnectionList& inner, CMonitorCounters& counters, CEventStream* events,
        Clock clock = [] { return std::time(nullptr); });
    void Apply(std::vector<RowOp> ops) override;

private:
    void Note(const RowOp& op);

    IConnectionList& inner_;
    CMonitorCounters& counters_;
    CEventStream* events_;
    Clock clock_;
    std::unordered_set<int> seen_;  // ids of live connections already announced
};

// The worker that hears of scan alerts: counts them and sends an "alert" event. Registered
// after the five workers, so the scan watcher's broadcast reaches it.
class CAlertEventWorker : public CWorkerThread {
public:
    CAlertEventWorker(CMonitorCounters& counters, CEventStream* events);
    ~CAlertEventWorker() override;

private:
    CMonitorCounters& counters_;
    CEventStream* events_;
};

}  // namespace tarvik
