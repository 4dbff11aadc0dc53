#pragma once

#include <ctime>
#include <functional>
#include <variant>

#include "app/ControlServer.h"
#include "app/EventFile.h"
#include "app/EventStream.h"
#include "app/MetricsFile.h"
#include "scan/ScanEvents.h"
#include "tracking/ConnectionList.h"
#include "workers/Worker.h"

namespace tarvik {

// Where event lines go: --events, the control socket's followers, the events file, all or
// none. Each line is made once and handed to each.
class CEventOutlets {
public:
    CEventOutlets(CEventStream* stream = nullptr, CControlServer* server = nullptr,
                  CEventFile* file = nullptr)
        : stream_(stream), server_(server), file_(file) {}
    bool Any() const { return stream_ != nullptr || server_ != nullptr || file_ != nullptr; }
    void Offer(std::string line) const;

private:
    CEventStream* stream_;
    CControlServer* server_;
    CEventFile* file_;
};

// Sits between the tracker and the list it feeds: passes the rows on, counts ended connections
// and sends an "open" event for every new connection, an "update" when its state, host name or
// process changes and a "close" event when it ends, shown in the list or not. Runs on the tracker's
// thread only.
class CServiceListTap : public IConnectionList {
public:
    using Clock = std::function<std::time_t()>;
    // `events` may be null (no --events).
    CServiceListTap(
        IConnectionList& inner, CMonitorCounters& counters, CEventOutlets events,
        Clock clock = [] { return std::time(nullptr); });
    void Apply(std::vector<RowOp> ops) override;
    bool TakesRows() const override { return inner_.TakesRows(); }
    void Opened(const CConnectionRecord& record) override;
    void Ended(const CConnectionRecord& record) override;
    void Updated(const CConnectionRecord& record) override;
    void LiveCount(std::size_t count) override;
    void NoticesLost(std::time_t time) override;

private:
    IConnectionList& inner_;
    CMonitorCounters& counters_;
    CEventOutlets events_;
    Clock clock_;
};

// The worker that hears of scan alerts: counts them and sends an "alert" event, or one
// "suppressed" event for the alerts the scan watcher held back. Registered after the five
// workers, so the scan watcher's publications reach it.
class CAlertEventWorker : public CWorker<std::variant<ScanAlertEvent, ScanAlertsSuppressed>> {
public:
    CAlertEventWorker(CMonitorCounters& counters, CEventOutlets events);
    ~CAlertEventWorker() override;

private:
    void Handle(std::variant<ScanAlertEvent, ScanAlertsSuppressed>& message) override;

    CMonitorCounters& counters_;
    CEventOutlets events_;
};

}  // namespace tarvik
