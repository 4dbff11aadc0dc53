#pragma once

#include <map>
#include <memory>
#include <string>

#include "lookup/BackgroundResolver.h"
#include "lookup/HostNameCache.h"
#include "lookup/NameResolver.h"
#include "tracking/WorkerThread.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// Resolves the remote addresses of new connections in the background and sends each name back
// to the tracker, so that neither the tracker nor the list waits for the name service. The
// blocking lookups run on a resolver thread of their own, so a quit never waits for one.
class CReverseLookupThread : public CWorkerThread {
public:
    explicit CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub);
    CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub,
                         std::unique_ptr<INameResolver> resolver);
    ~CReverseLookupThread() override;

protected:
    void OnQuit() override;

private:
    void OnResolve(Message& message);
    void OnAnswers();
    void Answer(std::string name, std::unique_ptr<CConnectionRecord> request,
                const std::string& address);

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    CHostNameCache cache_;
    // Addresses out for lookup, each with the first request's record; later requests for one
    // of them wait for the same answer instead of queueing another lookup.
    std::map<std::string, std::unique_ptr<CConnectionRecord>> pending_;
    CBackgroundResolver resolver_;
};

}  // namespace tarvik
