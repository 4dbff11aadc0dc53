#include "tracking/FilterThread.h"

#include <utility>

#include "settings/SettingsStore.h"
#include "tracking/WorkerHub.h"

namespace tarvik {

CFilterThread::CFilterThread(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                             Clock clock)
    : CWorkerThread("Filter"),
      settings_(settings),
      hub_(hub),
      clock_(clock ? std::move(clock) : Clock([] { return std::time(nullptr); })),
      tracker_(*this, list) {
    On(kMsgSnapshotBegin, [this](Message&) { tracker_.BeginSnapshot(); });
    On(kMsgSnapshotEntry, [this](Message& message) { OnEntry(message); });
    On(kMsgSnapshotEnd, [this](Message&) { OnSnapshotEnd(); });
    On(kMsgConnectionEvents, [this](Message& message) {
        if (auto events = message.wParam.TakeEvents()) {
            tracker_.ApplyEvents(std::move(*events));
        }
    });
    On(kMsgHostResolved, [this](Message& message) { OnHostResolved(message); });
    On(kMsgReverseLookupOn, [](Message&) {});
}

CFilterThread::~CFilterThread() {
    Stop();
}

void CFilterThread::SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate) {
    gate_ = std::move(gate);
}

void CFilterThread::OnSnapshotEnd() {
    tracker_.EndSnapshot();
    if (gate_) {
        gate_->Leave();
    }
}

void CFilterThread::OnEntry(Message& message) {
    if (auto record = message.wParam.TakeRecord()) {
        tracker_.AddEntry(std::move(*record));
    } else if (auto kept = message.wParam.TakeKept()) {
        tracker_.AddKept(*kept);
    }
}

void CFilterThread::OnHostResolved(Message& message) {
    auto name = message.wParam.TakeText();
    auto request = message.lParam.TakeRecord();
    if (name && request) {
        tracker_.ApplyHostName(std::move(*name), request->ipAddress);
    }
}

ViewFilter CFilterThread::ReadFilter() {
    const CSettingsStore::ViewSwitches switches = settings_.GetViewSwitches();
    ViewFilter filter;
    filter.netIf = switches.netIf;
    if (filter.netIf != -1) {
        filter.interfaces = settings_.GetInterfaceAddresses(false);
    }
    filter.showListening = switches.showListening;
    filter.showInbound = switches.showInbound;
    filter.showOutbound = switches.showOutbound;
    filter.showUnknown = switches.showUnknown;
    filter.reverseLookup = switches.reverseLookup;
    return filter;
}

void CFilterThread::Broadcast(int number, Payload wParam, Payload lParam) {
    held_.push_back(Message{number, std::move(wParam), std::move(lParam)});
}

void CFilterThread::EndOfBatch() {
    if (held_.empty()) {
        return;
    }
    hub_.BroadcastAll(held_);
    held_.clear();
}

void CFilterThread::OnInboxDone() {
    EndOfBatch();
}

void CFilterThread::Trace(std::string_view text) {
    hub_.Trace(text);
}

std::time_t CFilterThread::Now() {
    return clock_();
}

}  // namespace tarvik
