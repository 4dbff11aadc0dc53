#pragma once

#include <memory>
#include <set>
#include <string>
#include <variant>

#include "lookup/BackgroundResolver.h"
#include "lookup/HostNameCache.h"
#include "lookup/NameResolver.h"
#include "tracking/Events.h"
#include "workers/Worker.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// The resolver thread has answers ready: posted to the lookup worker alone, never published.
struct LookupAnswered {};

using LookupInbox = std::variant<ResolveHost, LookupAnswered>;

// Resolves the remote addresses of new connections in the background and sends each name back
// to the tracker (HostResolved), so that neither the tracker nor the list waits for the name
// service. The blocking lookups run on a resolver thread of their own, so a quit never waits for
// one.
class CReverseLookupThread : public CWorker<LookupInbox> {
public:
    explicit CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub);
    CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub,
                         std::unique_ptr<INameResolver> resolver);
    ~CReverseLookupThread() override;

protected:
    void OnQuit() override;

private:
    void Handle(LookupInbox& message) override;
    void OnResolve(const std::string& address);
    void OnAnswers();
    void Answer(std::string name, const std::string& address);

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    CHostNameCache cache_;
    // Addresses out for lookup; later requests for one of them wait for the same answer instead
    // of queueing another lookup.
    std::set<std::string> pending_;
    CBackgroundResolver resolver_;
};

}  // namespace tarvik
