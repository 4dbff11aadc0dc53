#include "acquisition/DataThread.h"

#include "acquisition/ConnectionTableWalk.h"
#include "settings/SettingsStore.h"

#include <ctime>
#include <system_error>
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

void CDataThread::SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate) {
    gate_ = std::move(gate);
}

void CDataThread::Poll() {
    if (gate_ && !gate_->TryEnter()) {
        settings_.Trace("poll skipped: tracker busy");
        return;
    }
    // The entries go out together after the walk: the tracker is woken once, and frees the
    // records while this thread no longer allocates, rather than both contending for the
    // allocator on every row.
    std::vector<Payload> entries;
    const WalkEnd end = WalkConnectionTable(
        *agent_, *services_,
        [&entries](CConnectionRecord record) {
            entries.push_back(Payload::Record(std::move(record)));
        },
        [this](std::string_view text) { settings_.Trace(text); });
    if (end != WalkEnd::Complete) {
        // Part of a table would end every connection it lacks: send none.
        if (gate_) {
            gate_->Leave();
        }
        Tell(failures_.Failed(FailureReason(), std::time(nullptr)));
        return;
    }
    Tell(failures_.Succeeded());
    settings_.Broadcast(kMsgSnapshotBegin);
    settings_.Registry().BroadcastEach(kMsgSnapshotEntry, entries);
    settings_.Broadcast(kMsgSnapshotEnd);
}

std::string CDataThread::FailureReason() const {
    if (!agent_->Loaded()) {
        return "no source for the connection table";
    }
    const int error = agent_->LastError();
    if (error == 0) {
        return "the answer was incomplete";
    }
    return std::generic_category().message(error);
}

void CDataThread::Tell(const std::vector<PollNotice>& notices) {
    for (const PollNotice& notice : notices) {
        settings_.Trace(notice.text);
        if (notice.audience == PollNotice::Audience::UserAndTrace) {
            settings_.NotifyUser(notice.text);
        }
    }
}

}  // namespace tarvik
