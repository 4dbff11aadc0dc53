#include "lookup/ReverseLookupThread.h"

#include <utility>

#include "settings/SettingsStore.h"

namespace tarvik {

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings)
    : CReverseLookupThread(settings, std::make_unique<CSystemNameResolver>()) {}

CReverseLookupThread::CReverseLookupThread(CSettingsStore& settings,
                                           std::unique_ptr<INameResolver> resolver)
    : CWorkerThread("ReverseLookup"), settings_(settings), cache_(std::move(resolver)) {
    On(kMsgResolveHost, [this](Message& message) { OnResolve(message); });
}

CReverseLookupThread::~CReverseLookupThread() {
    Stop();
}

void CReverseLookupThread::OnResolve(Message& message) {
    auto address = message.wParam.TakeText();
    auto request = message.lParam.TakeRecord();
    if (!address) {
        return;
    }
    settings_.Trace("ReverseLookup, " + *address);
    auto name = cache_.Lookup(*address);
    if (!name) {
        return;
    }
    if (!request) {
        // The tracker matches the answer by the request's address, so rebuild a request that
        // carries it.
        request = std::make_unique<CConnectionRecord>();
        request->ipAddress = *address;
    }
    settings_.Broadcast(kMsgHostResolved, Payload::Text(std::move(*name)),
                        Payload::Record(std::move(request)));
}

}  // namespace tarvik
