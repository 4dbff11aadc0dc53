#pragma once

#include <memory>

#include "acquisition/MibAgent.h"
#include "acquisition/PollFailureReport.h"
#include "acquisition/ServicesDatabase.h"
#include "tracking/SnapshotGate.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;

// The poller: on each kMsgPoll it walks the TCP connection table and broadcasts the snapshot
// as kMsgSnapshotBegin, one kMsgSnapshotEntry per connection, kMsgSnapshotEnd. A walk that
// fails sends nothing, so the tracker keeps the connections it knows instead of ending them
// all; the failure is reported (see CPollFailureReport).
class CDataThread : public CWorkerThread {
public:
    // Over the kernel's tables and the shared services database.
    explicit CDataThread(CSettingsStore& settings);
    CDataThread(CSettingsStore& settings, std::unique_ptr<CMibAgent> agent,
                std::shared_ptr<const CServicesDatabase> services);
    ~CDataThread() override;

    // One complete snapshot. Runs on the worker's thread; tests may call it on a worker that
    // was never started.
    void Poll();

    // With a gate, a poll is skipped while the tracker still holds the last snapshot; the
    // tracker leaves the gate after merging it. Call before Start().
    void SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate);

protected:
    bool InitInstance() override;

private:
    std::string FailureReason() const;
    void Tell(const std::vector<PollNotice>& notices);

    CSettingsStore& settings_;
    std::unique_ptr<CMibAgent> agent_;
    std::shared_ptr<const CServicesDatabase> services_;
    std::shared_ptr<CSnapshotGate> gate_;
    CPollFailureReport failures_;  // the worker's thread only
};

}  // namespace tarvik
