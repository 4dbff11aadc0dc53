#pragma once

#include <memory>

#include "acquisition/MibAgent.h"
#include "acquisition/ServicesDatabase.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;

// The poller: on each kMsgPoll it walks the TCP connection table and broadcasts the snapshot
// as kMsgSnapshotBegin, one kMsgSnapshotEntry per connection, kMsgSnapshotEnd.
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

protected:
    bool InitInstance() override;

private:
    CSettingsStore& settings_;
    std::unique_ptr<CMibAgent> agent_;
    std::shared_ptr<const CServicesDatabase> services_;
};

}  // namespace tarvik
