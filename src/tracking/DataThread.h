#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "acquisition/AbortedEnds.h"
#include "acquisition/Classification.h"
#include "acquisition/ConnectionRows.h"
#include "acquisition/EventSource.h"
#include "acquisition/PollFailureReport.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// The event source queued notices: posted by the source to the poller alone, never published.
struct NoticesReady {};

using PollerInbox = std::variant<Poll, NoticesReady>;

// The poller: on each Poll it reads the TCP table once and publishes it as one Snapshot. Rows
// sent last time that are unchanged (same cookie, same row, owner settled, no listener come or
// gone on their local port) go as the snapshot's kept rows, so that their records are neither
// made nor sent again. A read that fails sends nothing, so the tracker keeps the connections it
// knows instead of ending them all; the failure is reported (see CPollFailureReport). While the
// tracker has not merged the last snapshot, a poll reads nothing: only the newest state
// matters, so a busy machine skips polls instead of queueing whole tables.
//
// With an event source, the kernel's notices go on as ConnectionNotices each time the source
// says it queued some (it gathers them for a few milliseconds), and each poll first sends any
// left before it dumps: at every poll when the source needs it, else at the first, every
// minute and after notices were lost.
class CDataThread : public CWorker<PollerInbox> {
public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::seconds kReconcileInterval{60};

    // Over the kernel's table, the shared services database and the owners from /proc; byte
    // counts on every `byteCountPeriod`-th dump.
    explicit CDataThread(CSettingsStore& settings, CWorkerHub& hub, int byteCountPeriod = 1);
    // A null source is a table that cannot be had: every poll fails. Without a process table
    // the records carry no owning process.
    CDataThread(CSettingsStore& settings, CWorkerHub& hub, std::unique_ptr<ITableSource> source,
                std::shared_ptr<const CServicesDatabase> services,
                std::unique_ptr<CProcessTable> processes = nullptr);
    ~CDataThread() override;

    // One complete snapshot. Runs on the worker's thread; tests may call it on a worker that
    // was never started.
    void Poll();

    // The kernel's notices, read at each poll; none: the poll alone. `clock` (tests) defaults
    // to the steady clock. Call before Start().
    void SetEventSource(std::unique_ptr<IEventSource> events, SteadyClock clock = {});

private:
    void Handle(PollerInbox& message) override;
    // Hands on the notices that came since the last poll, then reads the table once more: a
    // connection that ended just before the stop is still logged.
    void OnQuit() override;
    // Sends the notices since the last poll; true when some were lost.
    bool SendEvents();
    void TellOfLoss(std::chrono::steady_clock::time_point now);
    void HandOnNotices();
    void FillOwners(ConnectionEvents& batch);
    bool DumpDue(bool lost, std::chrono::steady_clock::time_point now) const;
    // One dump sent as a snapshot; false when the table could not be read.
    bool Dump();
    struct Split;
    Split SplitByChange(std::vector<TcpRow> rows);
    // After a full dump, once the tracker has merged it: the burst's freed pages go back.
    void ReturnMemoryAfterDump();
    std::string FailureReason() const;
    void Tell(const std::vector<PollNotice>& notices);

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    std::unique_ptr<ITableSource> source_;
    std::shared_ptr<const CServicesDatabase> services_;
    std::unique_ptr<CProcessTable> processes_;
    // The last snapshot sent, until the tracker has merged it; the worker's thread only.
    std::weak_ptr<const SnapshotInFlight> inFlight_;
    CPollFailureReport failures_;  // the worker's thread only

    std::unique_ptr<IEventSource> events_;
    SteadyClock clock_;
    // The worker's thread only: when the live set was last made exact by a dump, whether the
    // notices since then are incomplete, and the listening ports that dump saw.
    std::optional<std::chrono::steady_clock::time_point> lastDump_;
    bool resyncPending_ = false;
    std::optional<std::chrono::steady_clock::time_point> lossToldAt_;
    CListeningPorts listening_;
    CAbortedEndPairing aborted_;
    // The last snapshot sent and its listeners; the worker's thread only.
    CSentRows sent_;
    CListeningPorts sentListening_;
    // The worker's thread only: a dump sent since memory was last given back, and when.
    bool dumpedSinceReturn_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastReturn_;
};

}  // namespace tarvik
