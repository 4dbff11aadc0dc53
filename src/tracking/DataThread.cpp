#include "tracking/DataThread.h"

#include <ctime>
#include <system_error>

#include "acquisition/ConnectionRows.h"
#include "acquisition/KernelTableSource.h"
#include "settings/SettingsStore.h"
#include "tracking/WorkerHub.h"

namespace tarvik {

CDataThread::CDataThread(CSettingsStore& settings, CWorkerHub& hub)
    : CDataThread(settings, hub, OpenKernelTableSource(), CServicesDatabase::Shared(),
                  std::make_unique<CProcessTable>()) {}

CDataThread::CDataThread(CSettingsStore& settings, CWorkerHub& hub,
                         std::unique_ptr<ITableSource> source,
                         std::shared_ptr<const CServicesDatabase> services,
                         std::unique_ptr<CProcessTable> processes)
    : CWorkerThread("CDataThread"),
      settings_(settings),
      hub_(hub),
      source_(std::move(source)),
      services_(services ? std::move(services) : std::make_shared<const CServicesDatabase>()),
      processes_(std::move(processes)) {
    On(kMsgPoll, [this](Message&) { Poll(); });
    // A poll slower than the tick (a huge table, a loaded machine) must not queue up ticks.
    CoalesceQueued(kMsgPoll);
}

CDataThread::~CDataThread() {
    Stop();
}

void CDataThread::SetSnapshotGate(std::shared_ptr<CSnapshotGate> gate) {
    gate_ = std::move(gate);
}

void CDataThread::Poll() {
    if (gate_ && !gate_->TryEnter()) {
        hub_.Trace("poll skipped: tracker busy");
        return;
    }
    const auto rows = source_ ? source_->TcpRows() : std::nullopt;
    if (!rows) {
        // Part of a table would end every connection it lacks: send none.
        if (gate_) {
            gate_->Leave();
        }
        Tell(failures_.Failed(FailureReason(), std::time(nullptr)));
        return;
    }
    std::vector<CConnectionRecord> records = ClassifiedRecords(*rows, *services_);
    if (processes_) {
        processes_->Fill(records);
    }
    // The entries go out together: the tracker is woken once, and frees the records while
    // this thread no longer allocates, rather than both contending for the allocator per row.
    std::vector<Payload> entries;
    entries.reserve(records.size());
    for (CConnectionRecord& record : records) {
        entries.push_back(Payload::Record(std::move(record)));
    }
    Tell(failures_.Succeeded());
    hub_.Broadcast(kMsgSnapshotBegin);
    hub_.BroadcastEach(kMsgSnapshotEntry, entries);
    hub_.Broadcast(kMsgSnapshotEnd);
}

std::string CDataThread::FailureReason() const {
    if (!source_) {
        return "no source for the connection table";
    }
    const int error = source_->LastError();
    if (error == 0) {
        return "the answer was incomplete";
    }
    return std::generic_category().message(error);
}

void CDataThread::Tell(const std::vector<PollNotice>& notices) {
    for (const PollNotice& notice : notices) {
        hub_.Trace(notice.text);
        if (notice.audience == PollNotice::Audience::UserAndTrace) {
            hub_.NotifyUser(notice.text);
        }
    }
}

}  // namespace tarvik
