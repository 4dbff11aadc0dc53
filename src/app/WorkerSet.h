#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "acquisition/Acquisition.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class IConnectionList;
class CWorkerThread;
class CScanWatcherThread;
class CDataThread;
class IEventSource;

// The five workers of a running Tarvik, in the order every publication reaches them.
struct WorkerParts {
    std::unique_ptr<CWorkerThread> poller;
    std::unique_ptr<CWorkerThread> tracker;
    std::unique_ptr<CWorkerThread> lookup;
    std::unique_ptr<CWorkerThread> logger;
    std::unique_ptr<CScanWatcherThread> scanWatcher;
};

// Sets the poller and the tracker of `parts`, not started. The poller reads the kernel's table
// unless one is given (tests pass one over a fixture table); it reads `events` too when there are
// any.
void AddPollerAndTracker(WorkerParts& parts, CSettingsStore& settings, CWorkerHub& hub,
                         IConnectionList& list, std::unique_ptr<IEventSource> events,
                         std::unique_ptr<CDataThread> poller = nullptr, int byteCountPeriod = 1);

// The back-end asked for on the command line, else by the settings file's "acquisition",
// opened with this program's back-ends. The line saying which one runs goes to the trace;
// the caller shows it where its user looks (AcquisitionChoice::Summary).
AcquisitionChoice ChooseAcquisition(
    const CSettingsStore& settings, std::optional<AcquisitionMode> fromCommandLine,
    const AcquisitionFactories& factories = BuiltInAcquisitionFactories());

// The five workers of a running Tarvik, created, started and registered in the order every
// publication reaches them: poller, tracker, reverse lookup, logger, scan watcher. Shared by the
// window and the headless monitor.
//
// They stop in pipeline order, so that nothing in flight is lost: the poller ends first, then
// the tracker drains its last snapshot (its ended connections still reach the logger and the
// scan watcher), then the others, and only then is the hub's list cleared.
class CWorkerSet {
public:
    // `probesCounted`, when given, receives the number of probes the scan watcher counts.
    // The poller follows the table the way `acquisition` chose (poll when it holds no source).
    CWorkerSet(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
               std::shared_ptr<std::atomic<std::uint64_t>> probesCounted = nullptr,
               AcquisitionChoice acquisition = {});
    // Takes workers made elsewhere (tests); every part must be set.
    CWorkerSet(CWorkerHub& hub, WorkerParts parts, AcquisitionMode mode = AcquisitionMode::Poll);
    // Stops the workers if nobody did and waits for every worker to end.
    ~CWorkerSet();

    CWorkerSet(const CWorkerSet&) = delete;
    CWorkerSet& operator=(const CWorkerSet&) = delete;

    // Starts the ordered stop and returns at once: the window calls it from its GUI thread,
    // which the tracker may be waiting on for a row operation. Later calls do nothing.
    void Quit();
    // Waits until every worker has ended and the hub's list is empty (stops them first
    // when Quit was not called). From any one thread at a time but never a worker's.
    void Join();

    // The way connections are followed: "events", "destroy" or "poll".
    AcquisitionMode Acquisition() const { return mode_; }

private:
    void StopInOrder();

    CWorkerHub& hub_;
    WorkerParts parts_;
    AcquisitionMode mode_;

    std::mutex startMutex_;     // guards quitStarted_ and the start of stopper_
    std::mutex joinMutex_;      // one joiner at a time
    bool quitStarted_ = false;  // under startMutex_
    std::jthread stopper_;      // set once, under startMutex_
};

}  // namespace tarvik
