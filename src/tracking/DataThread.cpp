#include "tracking/DataThread.h"

#include <ctime>
#include <iterator>
#include <system_error>
#include <unordered_set>

#include "acquisition/KernelTableSource.h"
#include "base/Allocator.h"
#include "settings/SettingsStore.h"
#include "workers/WorkerHub.h"

namespace tarvik {

namespace {

ConnectionEvent::Kind KindOf(TcpEvent::Kind kind) {
    switch (kind) {
        case TcpEvent::Kind::Ended:
            return ConnectionEvent::Kind::Ended;
        case TcpEvent::Kind::Owner:
            return ConnectionEvent::Kind::Owner;
        case TcpEvent::Kind::Changed:
            break;
    }
    return ConnectionEvent::Kind::Changed;
}

}  // namespace

CDataThread::CDataThread(CSettingsStore& settings, CWorkerHub& hub, int byteCountPeriod)
    : CDataThread(settings, hub, OpenKernelTableSource(byteCountPeriod),
                  CServicesDatabase::Shared(), std::make_unique<CProcessTable>()) {}

CDataThread::CDataThread(CSettingsStore& settings, CWorkerHub& hub,
                         std::unique_ptr<ITableSource> source,
                         std::shared_ptr<const CServicesDatabase> services,
                         std::unique_ptr<CProcessTable> processes)
    : CWorker("CDataThread"),
      settings_(settings),
      hub_(hub),
      source_(std::move(source)),
      services_(services ? std::move(services) : std::make_shared<const CServicesDatabase>()),
      processes_(std::move(processes)) {
    Subscribe<tarvik::Poll>();
    // A poll slower than the tick (a huge table, a loaded machine) must not queue up ticks,
    // nor a burst of notices one wake-up each.
    Coalesce<tarvik::Poll>();
    Coalesce<NoticesReady>();
}

void CDataThread::Handle(PollerInbox& message) {
    if (std::holds_alternative<tarvik::Poll>(message)) {
        Poll();
    } else {
        HandOnNotices();
    }
}

CDataThread::~CDataThread() {
    if (events_) {
        events_->SetReadySignal({});
    }
    Stop();
}

void CDataThread::SetEventSource(std::unique_ptr<IEventSource> events, SteadyClock clock) {
    events_ = std::move(events);
    clock_ =
        clock ? std::move(clock) : SteadyClock([] { return std::chrono::steady_clock::now(); });
    if (events_) {
        events_->SetReadySignal([this] { Post(NoticesReady{}); });
    }
}

struct CDataThread::Split {
    SnapshotKept kept;
    std::vector<CConnectionRecord> records;  // of the new and changed rows, in table order
};

void CDataThread::Poll() {
    if (!inFlight_.expired()) {
        // The notices wait in the source meanwhile; a source that overflows asks for a dump.
        hub_.Trace("poll skipped: tracker busy");
        return;
    }
    ReturnMemoryAfterDump();
    const auto now = events_ ? clock_() : std::chrono::steady_clock::time_point();
    // The notices first: a dump after them decides what they left open.
    const bool lost = events_ && SendEvents();
    if (lost) {
        hub_.Trace("resync after lost events");
        TellOfLoss(now);
        resyncPending_ = true;
    }
    if (!DumpDue(lost, now) || !Dump()) {
        return;
    }
    if (events_) {
        lastDump_ = now;
        resyncPending_ = false;
    }
}

void CDataThread::TellOfLoss(std::chrono::steady_clock::time_point now) {
    // Once, and again only after an hour: a busy machine may lose notices every few seconds.
    if (lossToldAt_ && now - *lossToldAt_ < std::chrono::hours(1)) {
        return;
    }
    lossToldAt_ = now;
    hub_.NotifyUser(
        "The kernel dropped connection notices (the system was busy): the whole table is read "
        "again, but a connection that began and ended in that moment may be missing from the "
        "logs.");
}

void CDataThread::HandOnNotices() {
    // The kernel's notices go on as they come, not at the next tick: the tracker, the logs and
    // event readers hear of a connection within the source's gathering pause. A loss makes the
    // next tick read the whole table.
    if (events_ && SendEvents()) {
        hub_.Trace("resync after lost events");
        TellOfLoss(clock_());
        resyncPending_ = true;
    }
}

void CDataThread::OnQuit() {
    if (!events_) {
        return;
    }
    SendEvents();
    // A last read: an end no notice told (the kernel ran no program for some changes of a
    // socket, seen under heavy load) would otherwise wait for a reconciliation that never comes.
    if (inFlight_.expired()) {
        Dump();
    }
}

bool CDataThread::SendEvents() {
    const bool lost = events_->TakeLoss();
    std::vector<TcpEvent> drained = events_->Drain();
    if (drained.empty() && aborted_.Waiting() == 0 && !lost) {
        return lost;
    }
    for (const TcpEvent& event : drained) {
        if (event.kind == TcpEvent::Kind::Changed && event.row.state == TcpState::Listen) {
            listening_.Add(event.row.localPort, event.row.protocol);
        }
    }
    // The half-blank end as it came serves a socket the tracker knows; the one rebuilt from
    // its peer serves a connection no dump saw. The tracker logs each socket once.
    std::vector<TcpEvent> rebuilt = aborted_.Pair(drained, listening_, std::time(nullptr));
    std::move(rebuilt.begin(), rebuilt.end(), std::back_inserter(drained));
    if (drained.empty() && !lost) {
        return lost;
    }
    ConnectionEvents batch;
    batch.reserve(drained.size() + 1);
    if (lost) {
        ConnectionEvent notice;
        notice.kind = ConnectionEvent::Kind::NoticesLost;
        notice.time = std::time(nullptr);
        batch.push_back(std::move(notice));
    }
    for (const TcpEvent& event : drained) {
        ConnectionEvent classified;
        classified.kind = KindOf(event.kind);
        classified.record = RecordFromRow(event.row);
        classified.record.pid = event.pid;
        classified.record.command = event.command;
        // An ended socket is inbound when its local port had a listener at the last dump.
        ClassifyConnection(classified.record, *services_, listening_);
        classified.time = event.time;
        batch.push_back(std::move(classified));
    }
    FillOwners(batch);
    hub_.Publish(ConnectionNotices{std::move(batch)});
    return lost;
}

void CDataThread::FillOwners(ConnectionEvents& batch) {
    // The eBPF notices carry the socket's inode, so a new connection can show its process at
    // once rather than at the next reconciliation dump.
    if (!processes_) {
        return;
    }
    // A socket that also ended in this batch is gone from every process: looking for it would
    // cost a whole pass over /proc for nothing, and short connections come by the thousand.
    std::unordered_set<std::uint64_t> ended;
    for (const ConnectionEvent& event : batch) {
        if (event.kind == ConnectionEvent::Kind::Ended && event.record.cookie != 0) {
            ended.insert(event.record.cookie);
        }
        if (event.kind == ConnectionEvent::Kind::Owner) {
            // The accepting process, known before any event of the batch looks for it.
            processes_->Learn(event.record.inode, event.record.pid, event.record.command);
        }
    }
    std::vector<CConnectionRecord> records;
    std::vector<std::size_t> from;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        CConnectionRecord& record = batch[i].record;
        if (batch[i].kind != ConnectionEvent::Kind::Changed || record.inode == 0 ||
            ended.contains(record.cookie)) {
            // As a lookup would: a socket no process held (or holds yet) has no user.
            if (record.inode != 0 || record.pid != 0) {
                record.user = processes_->UserName(record.uid);
            }
            continue;
        }
        // The notice named the process that connected or accepted: no need to search for it.
        processes_->Learn(record.inode, record.pid, record.command);
        records.push_back(std::move(record));
        from.push_back(i);
    }
    if (records.empty()) {
        return;
    }
    processes_->FillMore(records);
    for (std::size_t i = 0; i < records.size(); ++i) {
        batch[from[i]].record = std::move(records[i]);
    }
}

bool CDataThread::DumpDue(bool lost, std::chrono::steady_clock::time_point now) const {
    if (!events_ || events_->NeedsDumpEveryTick() || lost || resyncPending_ || !lastDump_) {
        return true;
    }
    return now - *lastDump_ >= kReconcileInterval;
}

bool CDataThread::Dump() {
    // The moment the kernel told what the table holds: when new rows opened and missing ones
    // ended, whenever the tracker comes to merge them.
    const std::time_t readTime = std::time(nullptr);
    auto rows = source_ ? source_->TcpRows() : std::nullopt;
    if (!rows) {
        // Part of a table would end every connection it lacks: send none.
        Tell(failures_.Failed(FailureReason(), std::time(nullptr)));
        return false;
    }
    Split split = SplitByChange(std::move(*rows));
    split.kept.readTime = readTime;
    for (CConnectionRecord& record : split.records) {
        record.openTime = readTime;
    }
    if (events_) {
        listening_ = sentListening_;  // what the notices until the next dump are classified by
    }
    Tell(failures_.Succeeded());
    // One value: the tracker is woken once, and frees the records while this thread no longer
    // allocates, rather than both contending for the allocator per row.
    auto inFlight = std::make_shared<const SnapshotInFlight>();
    inFlight_ = inFlight;
    hub_.Publish(
        tarvik::Snapshot{std::move(split.records), std::move(split.kept), std::move(inFlight)});
    dumpedSinceReturn_ = true;
    return true;
}

void CDataThread::ReturnMemoryAfterDump() {
    // Here the tracker has merged the last snapshot and this thread has freed its arrays, so
    // the burst is over. At most once a minute: the next dump faults given-back pages in again.
    constexpr auto kEvery = std::chrono::minutes(1);
    const auto now = std::chrono::steady_clock::now();
    if (!dumpedSinceReturn_ || (lastReturn_ && now - *lastReturn_ < kEvery)) {
        return;
    }
    dumpedSinceReturn_ = false;
    lastReturn_.emplace(now);
    ReturnFreedMemory();
}

CDataThread::Split CDataThread::SplitByChange(std::vector<TcpRow> rows) {
    auto listening = std::make_shared<const CListeningPorts>(ListeningPortsOf(rows));
    Split split;
    // The owners first: a row whose owner is still looked for goes again only once it is found.
    if (processes_) {
        processes_->Look(rows);
    }
    std::vector<bool> settled(rows.size(), true);
    std::size_t changed = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        settled[i] = !processes_ || processes_->Settled(rows[i].inode);
        // A listener that came or went on its local port may change the row's category.
        const int port = rows[i].localPort;
        const Protocol protocol = rows[i].protocol;
        if (sent_.Unchanged(rows[i], settled[i]) &&
            listening->Contains(port, protocol) == sentListening_.Contains(port, protocol)) {
            split.kept.positions.push_back(static_cast<std::uint32_t>(i));
        } else {
            ++changed;
        }
    }
    // The records straight from the rows: a first read makes one per row of the table.
    split.records.reserve(changed);
    std::size_t next = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (next < split.kept.positions.size() && split.kept.positions[next] == i) {
            ++next;
            continue;
        }
        CConnectionRecord& record = split.records.emplace_back(RecordFromRow(rows[i]));
        ClassifyConnection(record, *services_, *listening);
        if (processes_) {
            processes_->SetOwner(record);
        }
    }
    sentListening_ = *listening;
    split.kept.services = services_;
    split.kept.listening = std::move(listening);
    auto table = std::make_shared<const std::vector<TcpRow>>(std::move(rows));
    split.kept.table = table;
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
        hub_.Trace(notice.text);
        if (notice.audience == PollNotice::Audience::UserAndTrace) {
            hub_.NotifyUser(notice.text);
        }
    }
}

}  // namespace tarvik
