#include "app/WorkerSet.h"

#include "logging/LoggingThread.h"
#include "lookup/ReverseLookupThread.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "tracking/DataThread.h"
#include "tracking/FilterThread.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

WorkerParts MakeWorkers(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                        std::shared_ptr<std::atomic<std::uint64_t>> probesCounted,
                        std::unique_ptr<IEventSource> events, AcquisitionMode mode,
                        int byteCountPeriod) {
    WorkerParts parts;
    AddPollerAndTracker(parts, settings, hub, list, std::move(events), nullptr, byteCountPeriod);
    parts.lookup = std::make_unique<CReverseLookupThread>(settings, hub);
    parts.logger = std::make_unique<CLoggingThread>(settings, hub);
    parts.scanWatcher = std::make_unique<CScanWatcherThread>(settings, hub);
    parts.scanWatcher->CountProbesInto(std::move(probesCounted));
    // Where the kernel's events are read, its verdicts on unanswered packets are read too.
    if (mode == AcquisitionMode::Events) {
        parts.scanWatcher->UseProbeSource(ProbeSource::KernelFirst);
    }
    return parts;
}

}  // namespace

void AddPollerAndTracker(WorkerParts& parts, CSettingsStore& settings, CWorkerHub& hub,
                         IConnectionList& list, std::unique_ptr<IEventSource> events,
                         std::unique_ptr<CDataThread> poller, int byteCountPeriod) {
    if (!poller) {
        poller = std::make_unique<CDataThread>(settings, hub, byteCountPeriod);
    }
    if (events) {
        poller->SetEventSource(std::move(events));
    }
    parts.poller = std::move(poller);
    parts.tracker = std::make_unique<CFilterThread>(settings, hub, list);
}

AcquisitionChoice ChooseAcquisition(const CSettingsStore& settings,
                                    std::optional<AcquisitionMode> fromCommandLine,
                                    const AcquisitionFactories& factories) {
    // A bad value in the file was warned of at load and reads as "auto".
    const AcquisitionMode requested =
        fromCommandLine
            ? *fromCommandLine
            : ParseAcquisitionMode(settings.GetAcquisition()).value_or(AcquisitionMode::Auto);
    return OpenAcquisition(requested, factories);
}

CWorkerSet::CWorkerSet(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                       std::shared_ptr<std::atomic<std::uint64_t>> probesCounted,
                       AcquisitionChoice acquisition)
    : CWorkerSet(
          hub,
          MakeWorkers(settings, hub, list, std::move(probesCounted), std::move(acquisition.source),
                      acquisition.mode, acquisition.byteCountPeriod),
          acquisition.mode) {
    hub_.Trace(acquisition.Summary());
}

CWorkerSet::CWorkerSet(CWorkerHub& hub, WorkerParts parts, AcquisitionMode mode)
    : hub_(hub), parts_(std::move(parts)), mode_(mode) {
    const std::initializer_list<CWorkerThread*> inOrder = {
        parts_.poller.get(), parts_.tracker.get(), parts_.lookup.get(), parts_.logger.get(),
        parts_.scanWatcher.get()};
    for (CWorkerThread* worker : inOrder) {
        worker->Start();
    }
    for (CWorkerThread* worker : inOrder) {
        hub_.Register(worker);
    }
}

CWorkerSet::~CWorkerSet() {
    Join();
}

void CWorkerSet::Quit() {
    // Never waits for a join: a second Quit from the GUI thread while another thread joins
    // must not block the thread the tracker may be waiting on.
    std::lock_guard lock(startMutex_);
    if (quitStarted_) {
        return;
    }
    quitStarted_ = true;
    stopper_ = std::jthread([this] { StopInOrder(); });
}

void CWorkerSet::Join() {
    Quit();  // also makes the stopper visible to this thread
    std::lock_guard lock(joinMutex_);
    if (stopper_.joinable()) {
        stopper_.join();
    }
}

void CWorkerSet::StopInOrder() {
    // Quit goes to each worker directly: quitting them all through the hub would empty its list
    // while the tracker still has ended connections to hand to the logger.
    parts_.poller->PostQuit();
    parts_.poller->Join();

    // The tracker handles what the poller queued before its quit, and what it publishes still
    // reaches the workers behind it.
    parts_.tracker->PostQuit();
    parts_.tracker->Join();

    parts_.lookup->PostQuit();
    parts_.logger->PostQuit();
    // An alert's mail exchange would hold the scan watcher, and so the stop, for up to a minute.
    parts_.scanWatcher->CancelPendingMail();
    parts_.scanWatcher->PostQuit();
    parts_.lookup->Join();
    parts_.logger->Join();
    parts_.scanWatcher->Join();

    hub_.Clear();
}

}  // namespace tarvik
