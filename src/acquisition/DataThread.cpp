#include "acquisition/DataThread.h"

#include "acquisition/ConnectionTableWalk.h"
#include "settings/SettingsStore.h"

#include <vector>

namespace tarvik {

CDataThread::CDataThread(CSettingsStore& settings)
    : CDataThread(settings, LoadKernelAgent(), CServicesDatabase::Shared()) {}

CDataThread::CDataThread(CSettingsStore& settings, std::unique_ptr<CMibAgent> agent,
                         std::shared_ptr<const CServicesDatabase> services)
    : CWorkerThread("CDataThread"),
      settings_(settings),
      agent_(agent ? std::move(agent) : std::make_unique<CMibAgent>(nullptr)),
      services_(services ? std::move(services) : std::make_shared<const CServicesDatabase>()) {
    On(kMsgPoll, [this](Message&) { Poll(); });
    // A walk slower than the tick (a huge table, a loaded machine) must not queue up ticks.
    CoalesceQueued(kMsgPoll);
}

CDataThread::~CDataThread() {
    Stop();
}

bool CDataThread::InitInstance() {
    agent_->Init();
    return true;
}

void CDataThread::Poll() {
    settings_.Broadcast(kMsgSnapshotBegin);
    // The entries go out together after the walk: the tracker is woken once, and frees the
    // records while this thread no longer allocates, rather than both contending for the
    // allocator on every row.
    std::vector<Payload> entries;
    WalkConnectionTable(
        *agent_, *services_,
        [&entries](CConnectionRecord record) {
            entries.push_back(Payload::Record(std::move(record)));
        },
        [this](std::string_view text) { settings_.Trace(text); });
    settings_.Registry().BroadcastEach(kMsgSnapshotEntry, entries);
    settings_.Broadcast(kMsgSnapshotEnd);
}

}  // namespace tarvik
