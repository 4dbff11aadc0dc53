#pragma once

#include <memory>

#include "lookup/HostNameCache.h"
#include "lookup/NameResolver.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;

// Resolves the remote addresses of new connections in the background and sends each name back
// to the tracker, so that neither the tracker nor the list waits for the name service.
class CReverseLookupThread : public CWorkerThread {
public:
    explicit CReverseLookupThread(CSettingsStore& settings);
    CReverseLookupThread(CSettingsStore& settings, std::unique_ptr<INameResolver> resolver);
    ~CReverseLookupThread() override;

private:
    void OnResolve(Message& message);

    CSettingsStore& settings_;
    CHostNameCache cache_;
};

}  // namespace tarvik
