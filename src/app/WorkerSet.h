#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class IConnectionList;
class CWorkerThread;
class CScanWatcherThread;

// The five workers of a running Tarvik, in the order every broadcast reaches them.
struct WorkerParts {
    std::unique_ptr<CWorkerThread> poller;
    std::unique_ptr<CWorkerThread> tracker;
    std::unique_ptr<CWorkerThread> lookup;
    std::unique_ptr<CWorkerThread> logger;
    std::unique_ptr<CScanWatcherThread> scanWatcher;
};

// The five workers of a running Tarvik, created, started and registered in the order every
// broadcast reaches them: poller, tracker, reverse lookup, logger, scan watcher. Shared by the
// window and the headless monitor.
//
// They stop in pipeline order, so that nothing in flight is lost: the poller ends first, then
// the tracker drains its last snapshot (its ended connections still reach the logger and the
// scan watcher), then the others, and only then is the broadcast list cleared.
class CWorkerSet {
public:
    // `probesCounted`, when given, receives the number of probes the scan watcher counts.
    CWorkerSet(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
               std::shared_ptr<std::atomic<std::uint64_t>> probesCounted = nullptr);
    // Takes workers made elsewhere (tests); every part must be set.
    CWorkerSet(CWorkerHub& hub, WorkerParts parts);
    // Stops the workers if nobody did and waits for every worker to end.
    ~CWorkerSet();

    CWorkerSet(const CWorkerSet&) = delete;
    CWorkerSet& operator=(const CWorkerSet&) = delete;

    // Starts the ordered stop and returns at once: the window calls it from its GUI thread,
    // which the tracker may be waiting on for a row operation. Later calls do nothing.
    void Quit();
    // Waits until every worker has ended and the broadcast list is empty (stops them first
    // when Quit was not called). From any one thread at a time but never a worker's.
    void Join();

private:
    void StopInOrder();

    CWorkerHub& hub_;
    WorkerParts parts_;

    std::mutex startMutex_;     // guards quitStarted_ and the start of stopper_
    std::mutex joinMutex_;      // one joiner at a time
    bool quitStarted_ = false;  // under startMutex_
    std::jthread stopper_;      // set once, under startMutex_
};

}  // namespace tarvik
