#include "lookup/ReverseLookupThread.h"

#include <utility>

#include "settings/SettingsStore.h"
#include "tracking/WorkerHub.h"

namespace tarvik {
namespace {

// Posted by the resolver thread to this worker alone when answers are ready; never broadcast.
constexpr int kMsgLookupAnswered = 6054;

}  // namespace

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub)
    : CReverseLookupThread(settings, hub, std::make_unique<CSystemNameResolver>()) {}

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings, CWorkerHub& hub,
                                           std::unique_ptr<INameResolver> resolver)
    : CWorkerThread("ReverseLookup"),
      settings_(settings),
      hub_(hub),
      cache_(nullptr),
      resolver_(std::move(resolver), [this] {
          Post(Message{kMsgLookupAnswered, {}, {}});
      }) {
    On(kMsgResolveHost, [this](Message& message) { OnResolve(message); });
    On(kMsgLookupAnswered, [this](Message&) { OnAnswers(); });
    // Names are of no use once the program ends: a quit does not wait for them.
    DropQueuedAtQuit(kMsgResolveHost);
    DropQueuedAtQuit(kMsgLookupAnswered);
}

CReverseLookupThread::~CReverseLookupThread() {
    // First, so that the resolver thread never posts to a worker that is going away.
    resolver_.Abandon();
    Stop();
}

void CReverseLookupThread::OnQuit() {
    resolver_.Abandon();
}

void CReverseLookupThread::OnResolve(Message& message) {
    auto address = message.wParam.TakeText();
    auto request = message.lParam.TakeRecord();
    if (!address) {
        return;
    }
    hub_.Trace("ReverseLookup, " + *address);
    if (*address == "n/a") {
        return;  // a listening port has no remote host
    }
    if (auto cached = cache_.Find(*address)) {
        Answer(std::move(*cached), std::move(request), *address);
        return;
    }
    if (pending_.contains(*address)) {
        return;  // the answer under way is applied to every connection with the address
    }
    pending_.emplace(*address, std::move(request));
    resolver_.Request(*address);
}

void CReverseLookupThread::OnAnswers() {
    for (CBackgroundResolver::Answer& answer : resolver_.TakeAnswers()) {
        std::unique_ptr<CConnectionRecord> request;
        if (auto waiting = pending_.find(answer.address); waiting != pending_.end()) {
            request = std::move(waiting->second);
            pending_.erase(waiting);
        }
        if (auto name = cache_.Store(answer.address, std::move(answer.name))) {
            Answer(std::move(*name), std::move(request), answer.address);
        }
    }
}

void CReverseLookupThread::Answer(std::string name, std::unique_ptr<CConnectionRecord> request,
                                  const std::string& address) {
    if (!request) {
        // The tracker matches the answer by the request's address, so rebuild a request that
        // carries it.
        request = std::make_unique<CConnectionRecord>();
        request->ipAddress = address;
    }
    hub_.Broadcast(kMsgHostResolved, Payload::Text(std::move(name)),
                   Payload::Record(std::move(request)));
}

}  // namespace tarvik
