#include "app/DaemonViewer.h"

#include "lookup/ReverseLookupThread.h"
#include "tracking/FilterThread.h"
#include "workers/WorkerHub.h"

namespace tarvik {

CDaemonViewer::CDaemonViewer(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                             std::filesystem::path socket)
    : hub_(hub),
      tracker_(std::make_unique<CFilterThread>(settings, hub, list)),
      lookup_(std::make_unique<CReverseLookupThread>(settings, hub)),
      feed_(hub, std::move(socket)) {
    tracker_->Start();
    lookup_->Start();
    hub_.Register(tracker_.get());
    hub_.Register(lookup_.get());
    feed_.Start([this] {
        std::lock_guard lock(listenerMutex_);
        if (listener_) {
            listener_();
        }
    });
}

CDaemonViewer::~CDaemonViewer() {
    Join();
}

void CDaemonViewer::SetStatusListener(std::function<void()> changed) {
    std::lock_guard lock(listenerMutex_);
    listener_ = std::move(changed);
}

void CDaemonViewer::Quit() {
    std::lock_guard lock(startMutex_);
    if (quitStarted_) {
        return;
    }
    quitStarted_ = true;
    feed_.Stop();
    stopper_ = std::jthread([this] { StopInOrder(); });
}

void CDaemonViewer::Join() {
    Quit();
    std::lock_guard lock(joinMutex_);
    if (stopper_.joinable()) {
        stopper_.join();
    }
}

void CDaemonViewer::StopInOrder() {
    feed_.Join();
    tracker_->PostQuit();
    tracker_->Join();
    lookup_->PostQuit();
    lookup_->Join();
    hub_.Clear();
}

}  // namespace tarvik
