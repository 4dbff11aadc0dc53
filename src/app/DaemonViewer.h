#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/DaemonFeed.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;
class IConnectionList;
class CWorkerThread;

// The window's workers while it shows a running tarvikd: the tracker and the reverse lookup as
// over the kernel, fed by a CDaemonFeed in place of the poller. No poller, logger or scan
// watcher: the daemon reads the kernel, logs and watches for scans.
//
// They stop in the poller's order: the feed first, then the tracker, then the lookup, and only
// then is the hub's list cleared.
class CDaemonViewer {
public:
    CDaemonViewer(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                  std::filesystem::path socket);
    ~CDaemonViewer();
    CDaemonViewer(const CDaemonViewer&) = delete;
    CDaemonViewer& operator=(const CDaemonViewer&) = delete;

    // `changed` runs on the feed's thread each time StatusText changes; call before the first
    // change matters (a missed one is seen at the next status read).
    void SetStatusListener(std::function<void()> changed);
    // Starts the ordered stop and returns at once; later calls do nothing.
    void Quit();
    // Waits until everything has ended and the hub's list is empty.
    void Join();

    std::string StatusText() const { return feed_.StatusText(); }
    // The daemon's whole list again, soon (the user's "Refresh Now").
    void Relist() { feed_.RelistSoon(); }

private:
    void StopInOrder();

    CWorkerHub& hub_;
    std::unique_ptr<CWorkerThread> tracker_;
    std::unique_ptr<CWorkerThread> lookup_;
    CDaemonFeed feed_;
    std::mutex listenerMutex_;
    std::function<void()> listener_;  // under listenerMutex_
    std::mutex startMutex_;           // guards quitStarted_ and the start of stopper_
    std::mutex joinMutex_;            // one joiner at a time
    bool quitStarted_ = false;        // under startMutex_
    std::jthread stopper_;
};

}  // namespace tarvik
