#pragma once

#include <ctime>
#include <functional>

#include "app/EventStream.h"
#include "app/MetricsFile.h"
#include "tracking/ConnectionList.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

// Sits between the tracker and the list it feeds: passes the rows on, counts ended connections
// and sends an "open" event for every new connection and a "close" event when it ends, shown in
// the list or not. Runs on the tracker's thread only.
class CServiceListTap : public IConnectionList {
public:
    using Clock = std::function<std::time_t()>;
    // `events` may be null (no --events).
    CServiceListTap(
        IConnectionList& inner, CMonitorCounters& counters, CEventStream* events,
        Clock clock = [] { return std::time(nullptr); });
    void Apply(std::vector<RowOp> ops) override;
    bool TakesRows() const override { return inner_.TakesRows(); }
    void Opened(const CConnectionRecord& record) override;
    void Ended(const CConnectionRecord& record) override;
    void LiveCount(std::size_t count) override;
    void NoticesLost(std::time_t time) override;

private:
    IConnectionList& inner_;
    CMonitorCounters& counters_;
    CEventStream* events_;
    Clock clock_;
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
