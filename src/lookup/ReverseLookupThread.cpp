#include "lookup/ReverseLookupThread.h"

#include <utility>

#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub)
    : CReverseLookupThread(settings, hub, std::make_unique<CSystemNameResolver>()) {}

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub,
                                           std::unique_ptr<INameResolver> resolver)
    : CWorker("ReverseLookup"),
      settings_(settings),
      hub_(hub),
      cache_(nullptr),
      resolver_(std::move(resolver), [this] { Post(LookupAnswered{}); }) {
    Subscribe<ResolveHost>();
    // Names are of no use once the program ends: a quit does not wait for them.
    DropAtQuit<ResolveHost>();
    DropAtQuit<LookupAnswered>();
}

CReverseLookupThread::~CReverseLookupThread() {
    // First, so that the resolver thread never posts to a worker that is going away.
    resolver_.Abandon();
    Stop();
}

void CReverseLookupThread::OnQuit() {
    resolver_.Abandon();
}

void CReverseLookupThread::Handle(LookupInbox& message) {
    if (const auto* request = std::get_if<ResolveHost>(&message)) {
        OnResolve(request->address);
    } else {
        OnAnswers();
    }
}

void CReverseLookupThread::OnResolve(const std::string& address) {
    hub_.Trace("ReverseLookup, " + address);
    if (address == "n/a") {
        return;  // a listening port has no remote host
    }
    if (auto cached = cache_.Find(address)) {
        Answer(std::move(*cached), address);
        return;
    }
    if (!pending_.insert(address).second) {
        return;  // the answer under way is applied to every connection with the address
    }
    resolver_.Request(address);
}

void CReverseLookupThread::OnAnswers() {
    for (CBackgroundResolver::Answer& answer : resolver_.TakeAnswers()) {
        pending_.erase(answer.address);
        if (auto name = cache_.Store(answer.address, std::move(answer.name))) {
            Answer(std::move(*name), answer.address);
        }
    }
}

void CReverseLookupThread::Answer(std::string name, const std::string& address) {
    hub_.Publish(HostResolved{address, std::move(name)});
}

}  // namespace tarvik
