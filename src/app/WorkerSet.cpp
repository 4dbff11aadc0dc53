#include "app/WorkerSet.h"

#include "acquisition/DataThread.h"
#include "logging/LoggingThread.h"
#include "lookup/ReverseLookupThread.h"
#include "scan/ScanWatcherThread.h"
#include "settings/SettingsStore.h"
#include "tracking/FilterThread.h"

namespace tarvik {

CWorkerSet::CWorkerSet(CSettingsStore& settings, IConnectionList& list)
    : settings_(settings),
      poller_(std::make_unique<CDataThread>(settings)),
      tracker_(std::make_unique<CFilterThread>(settings, list)),
      lookup_(std::make_unique<CReverseLookupThread>(settings)),
      logger_(std::make_unique<CLoggingThread>(settings)),
      scanWatcher_(std::make_unique<CScanWatcherThread>(settings)) {
    const std::initializer_list<CWorkerThread*> inOrder = {
        poller_.get(), tracker_.get(), lookup_.get(), logger_.get(), scanWatcher_.get()};
    for (CWorkerThread* worker : inOrder) {
        worker->Start();
    }
    for (CWorkerThread* worker : inOrder) {
        settings_.Register(worker);
    }
}

CWorkerSet::~CWorkerSet() {
    Quit();
    Join();
}

void CWorkerSet::Quit() {
    // An alert's mail exchange would hold the scan watcher, and so the stop, for up to a minute.
    scanWatcher_->CancelPendingMail();
    settings_.Broadcast(kMsgQuit);
    settings_.Clear();
}

void CWorkerSet::Join() {
    // The logger ends after every line queued before the quit is written.
    for (CWorkerThread* worker :
         {static_cast<CWorkerThread*>(poller_.get()), static_cast<CWorkerThread*>(tracker_.get()),
          static_cast<CWorkerThread*>(lookup_.get()), static_cast<CWorkerThread*>(logger_.get()),
          static_cast<CWorkerThread*>(scanWatcher_.get())}) {
        worker->Join();
    }
}

}  // namespace tarvik
