#pragma once

#include <memory>

namespace tarvik {

class CSettingsStore;
class IConnectionList;
class CDataThread;
class CFilterThread;
class CReverseLookupThread;
class CLoggingThread;
class CScanWatcherThread;

// The five workers of a running Tarvik, created, started and registered in the order every
// broadcast reaches them: poller, tracker, reverse lookup, logger, scan watcher. Shared by the
// window and the headless monitor.
class CWorkerSet {
public:
    CWorkerSet(CSettingsStore& settings, IConnectionList& list);
    // Broadcasts quit if nobody did, then waits for every worker to end.
    ~CWorkerSet();

    CWorkerSet(const CWorkerSet&) = delete;
    CWorkerSet& operator=(const CWorkerSet&) = delete;

    // Broadcasts quit (which also empties the broadcast list) and clears the list.
    void Quit();
    // Waits until every worker has handled the quit and ended.
    void Join();

private:
    CSettingsStore& settings_;
    std::unique_ptr<CDataThread> poller_;
    std::unique_ptr<CFilterThread> tracker_;
    std::unique_ptr<CReverseLookupThread> lookup_;
    std::unique_ptr<CLoggingThread> logger_;
    std::unique_ptr<CScanWatcherThread> scanWatcher_;
};

}  // namespace tarvik
