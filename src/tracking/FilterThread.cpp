#include "tracking/FilterThread.h"

#include <utility>

#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

CFilterThread::CFilterThread(CSettingsStore& settings, CWorkerHub& hub, IConnectionList& list,
                             Clock clock)
    : CWorker("Filter"),
      settings_(settings),
      hub_(hub),
      clock_(clock ? std::move(clock) : Clock([] { return std::time(nullptr); })),
      tracker_(*this, list) {
    Subscribe<Snapshot>();
    Subscribe<ConnectionNotices>();
    Subscribe<HostResolved>();
}

CFilterThread::~CFilterThread() {
    Stop();
}

void CFilterThread::Handle(TrackerInbox& message) {
    std::visit([this](auto& value) { Take(value); }, message);
}

void CFilterThread::Take(Snapshot& snapshot) {
    tracker_.MergeSnapshot(std::move(snapshot));
}

void CFilterThread::Take(ConnectionNotices& notices) {
    tracker_.ApplyEvents(std::move(notices.events));
}

void CFilterThread::Take(HostResolved& answer) {
    tracker_.ApplyHostName(std::move(answer.name), answer.address);
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

void CFilterThread::Publish(TrackerNews news) {
    held_.push_back(std::move(news));
}

void CFilterThread::EndOfBatch() {
    if (held_.empty()) {
        return;
    }
    hub_.PublishAll(std::exchange(held_, {}));
}

void CFilterThread::OnQuit() {
    tracker_.LogAwaitedEnds();
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
