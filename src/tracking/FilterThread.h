#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <vector>

#include "tracking/ConnectionTracker.h"
#include "tracking/SnapshotGate.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// The connection tracker's worker: merges the poller's snapshots into the live set, keeps the
// shown list in step and tells the other workers about new and ended connections.
class CFilterThread : public CWorkerThread, private ITrackerHost {
public:
    using Clock = std::function<std::time_t()>;

    // `clock` defaults to the wall clock.
    CFilterThread(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                  Clock clock = {});
    ~CFilterThread() override;

    // The gate the poller enters before each snapshot; the tracker leaves it once the snapshot
    // is merged and the list has its changes. Call before Start().
    void SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate);

private:
    ViewFilter ReadFilter() override;
    void Broadcast(int number, Payload wParam, Payload lParam) override;
    void Trace(std::string_view text) override;
    std::time_t Now() override;

    // Both send what the tracker broadcast since the last time, each worker woken once for
    // the batch rather than once per connection; the second is the backstop for a batch left
    // unfinished (a snapshot without its end).
    void EndOfBatch() override;
    void OnInboxDone() override;
    void OnEntry(Message& message);
    void OnHostResolved(Message& message);
    void OnSnapshotEnd();

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    Clock clock_;
    CConnectionTracker tracker_;
    std::shared_ptr<CSnapshotGate> gate_;
    std::vector<Message> held_;  // broadcasts not yet sent; the worker's thread alone
};

}  // namespace tarvik
