#pragma once

#include <memory>
#include <string>
#include <vector>

#include "acquisition/ConnectionRows.h"
#include "acquisition/PollFailureReport.h"
#include "acquisition/ProcessTable.h"
#include "acquisition/ServicesDatabase.h"
#include "acquisition/TableSource.h"
#include "tracking/SnapshotGate.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;

// The poller: on each kMsgPoll it reads the TCP table once and broadcasts the snapshot as
// kMsgSnapshotBegin, one kMsgSnapshotEntry per connection, kMsgSnapshotEnd. Rows sent last time
// that are unchanged (same cookie, same row, owner settled, no listener come or gone on their
// local port) go together as one
// kMsgSnapshotEntry holding a SnapshotKept, before the others, so that their records are neither
// made nor sent again. A read that fails
// sends nothing, so the tracker keeps the connections it knows instead of ending them all; the
// failure is reported (see CPollFailureReport).
class CDataThread : public CWorkerThread {
public:
    // Over the kernel's table, the shared services database and the owners from /proc.
    explicit CDataThread(CSettingsStore& settings);
    // A null source is a table that cannot be had: every poll fails. Without a process table
    // the records carry no owning process.
    CDataThread(CSettingsStore& settings, std::unique_ptr<ITableSource> source,
                std::shared_ptr<const CServicesDatabase> services,
                std::unique_ptr<CProcessTable> processes = nullptr);
    ~CDataThread() override;

    // One complete snapshot. Runs on the worker's thread; tests may call it on a worker that
    // was never started.
    void Poll();

    // With a gate, a poll is skipped while the tracker still holds the last snapshot; the
    // tracker leaves the gate after merging it. Call before Start().
    void SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate);

private:
    struct Split;
    Split SplitByChange(std::vector<TcpRow> rows);
    std::string FailureReason() const;
    void Tell(const std::vector<PollNotice>& notices);

    CSettingsStore& settings_;
    std::unique_ptr<ITableSource> source_;
    std::shared_ptr<const CServicesDatabase> services_;
    std::unique_ptr<CProcessTable> processes_;
    std::shared_ptr<CSnapshotGate> gate_;
    CPollFailureReport failures_;  // the worker's thread only
    // The last snapshot sent and its listeners; the worker's thread only.
    CSentRows sent_;
    CListeningPorts sentListening_;
};

}  // namespace tarvik
