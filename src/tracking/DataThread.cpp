#include "tracking/DataThread.h"

#include <ctime>
#include <system_error>

#include "acquisition/KernelTableSource.h"
#include "settings/SettingsStore.h"
#include "tracking/SnapshotKept.h"

namespace tarvik {

CDataThread::CDataThread(CSettingsStore& settings)
    : CDataThread(settings, OpenKernelTableSource(), CServicesDatabase::Shared(),
                  std::make_unique<CProcessTable>()) {}

CDataThread::CDataThread(CSettingsStore& settings, std::unique_ptr<ITableSource> source,
                         std::shared_ptr<const CServicesDatabase> services,
                         std::unique_ptr<CProcessTable> processes)
    : CWorkerThread("CDataThread"),
      settings_(settings),
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

struct CDataThread::Split {
    std::unique_ptr<SnapshotKept> kept;
    std::vector<CConnectionRecord> records;  // of the new and changed rows, in table order
};

void CDataThread::Poll() {
    if (gate_ && !gate_->TryEnter()) {
        settings_.Trace("poll skipped: tracker busy");
        return;
    }
    auto rows = source_ ? source_->TcpRows() : std::nullopt;
    if (!rows) {
        // Part of a table would end every connection it lacks: send none.
        if (gate_) {
            gate_->Leave();
        }
        Tell(failures_.Failed(FailureReason(), std::time(nullptr)));
        return;
    }
    Split split = SplitByChange(std::move(*rows));
    // The entries go out together: the tracker is woken once, and frees the records while
    // this thread no longer allocates, rather than both contending for the allocator per row.
    std::vector<Payload> entries;
    entries.reserve(split.records.size() + 1);
    if (!split.kept->positions.empty()) {
        entries.push_back(Payload::Kept(std::move(split.kept)));
    }
    for (CConnectionRecord& record : split.records) {
        entries.push_back(Payload::Record(std::move(record)));
    }
    Tell(failures_.Succeeded());
    settings_.Broadcast(kMsgSnapshotBegin);
    settings_.Registry().BroadcastEach(kMsgSnapshotEntry, entries);
    settings_.Broadcast(kMsgSnapshotEnd);
}

CDataThread::Split CDataThread::SplitByChange(std::vector<TcpRow> rows) {
    auto listening = std::make_shared<const CListeningPorts>(ListeningPortsOf(rows));
    Split split;
    split.kept = std::make_unique<SnapshotKept>();
    std::vector<TcpRow> changed;
    std::vector<bool> settled(rows.size(), true);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        // A listener that came or went on its local port may change the row's category.
        const int port = rows[i].localPort;
        if (sent_.Unchanged(rows[i]) &&
            listening->Contains(port) == sentListening_.Contains(port)) {
            split.kept->positions.push_back(static_cast<std::uint32_t>(i));
        } else {
            changed.push_back(rows[i]);
            settled[i] = false;
        }
    }
    split.records = ClassifiedRecords(changed, *services_, *listening);
    if (processes_) {
        processes_->Fill(split.records, rows);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            settled[i] = settled[i] || processes_->Settled(rows[i].inode);
        }
    } else {
        settled.assign(rows.size(), true);
    }
    sentListening_ = *listening;
    split.kept->services = services_;
    split.kept->listening = std::move(listening);
    auto table = std::make_shared<const std::vector<TcpRow>>(std::move(rows));
    split.kept->table = table;
    sent_.Remember(std::move(table), std::move(settled));
    return split;
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
        settings_.Trace(notice.text);
        if (notice.audience == PollNotice::Audience::UserAndTrace) {
            settings_.NotifyUser(notice.text);
        }
    }
}

}  // namespace tarvik
