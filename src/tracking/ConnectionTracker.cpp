#include "tracking/ConnectionTracker.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <unordered_set>
#include <utility>

#include "acquisition/ConnectionRows.h"

namespace tarvik {
namespace {

std::string LowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

int CategorySwitch(Category category, const ViewFilter& filter) {
    switch (category) {
        case Category::Listening:
            return filter.showListening;
        case Category::Inbound:
            return filter.showInbound;
        case Category::Outbound:
            return filter.showOutbound;
        case Category::Unknown:
            return filter.showUnknown;
        default:
            return 1;  // other categories are not filtered
    }
}

// How far a socket is on its way from open to gone: it only ever moves on.
int StateProgress(TcpState state) {
    switch (state) {
        case TcpState::Listen:
            return 0;
        case TcpState::SynSent:
        case TcpState::SynReceived:
            return 1;
        case TcpState::Established:
            return 2;
        case TcpState::FinWait1:
        case TcpState::CloseWait:
            return 3;
        case TcpState::FinWait2:
        case TcpState::Closing:
        case TcpState::LastAck:
            return 4;
        case TcpState::TimeWait:
            return 5;
        case TcpState::Closed:
        case TcpState::DeleteTcb:
            return 6;
    }
    return 0;
}

}  // namespace

bool StateMovesOn(TcpState from, TcpState to) {
    return StateProgress(to) > StateProgress(from);
}

void CConnectionTracker::NoteForScan(const CConnectionRecord& record) {
    // UDP has no handshake to count: its scans are sensed from the datagrams themselves.
    if (record.category == Category::Inbound && record.protocol == Protocol::Tcp) {
        newInbound_.push_back(
            {record.ipAddress, record.localPort, record.state != TcpState::SynReceived});
    }
}

std::size_t CConnectionTracker::Hash(const KeyView& key) {
    if (key.cookie != 0) {
        return std::hash<std::uint64_t>{}(key.cookie);
    }
    std::size_t hash = std::hash<std::string_view>{}(key.ipAddress);
    hash = hash * 31 + std::hash<std::string_view>{}(key.interfaceText);
    hash = hash * 31 + static_cast<std::size_t>(key.localPort);
    return hash * 31 + static_cast<std::size_t>(key.remotePort);
}

CConnectionTracker::Slot& CConnectionTracker::FindSlot(const KeyView& key, std::size_t hash) {
    const std::size_t mask = index_.size() - 1;
    // Spread the low bits: the ports enter the hash last, almost unmixed.
    for (std::size_t i = (hash ^ (hash >> 17) ^ (hash >> 31)) & mask;; i = (i + 1) & mask) {
        Slot& slot = index_[i];
        if (slot.head == kEmpty) {
            return slot;
        }
        if (slot.head != kGone && slot.hash == static_cast<std::uint32_t>(hash) &&
            ViewOf(current_[where_[slot.head]]) == key) {
            return slot;
        }
    }
}

CConnectionTracker::KeyView CConnectionTracker::ViewOf(const CConnectionRecord& record) {
    return {record.cookie, record.ipAddress, record.interfaceText, record.localPort,
            record.remotePort};
}

CConnectionTracker::CConnectionTracker(ITrackerHost& host, IConnectionList& list)
    : host_(host), list_(list) {}

void CConnectionTracker::MergeSnapshot(Snapshot snapshot) {
    BeginSnapshot();
    MakeRoom(snapshot.rows.size());
    inFlight_ = std::move(snapshot.inFlight);
    AddKept(snapshot.kept);
    for (CConnectionRecord& row : snapshot.rows) {
        AddEntry(std::move(row));
    }
    EndSnapshot();
}

void CConnectionTracker::MakeRoom(std::size_t more) {
    // While a merge runs, the set holds the last set's records and the new ones, and only
    // the rows of a snapshot can be new (the kept ones are known). Grown by doubling, the set
    // of a first read of a large table would be held in the old and the doubled buffer at
    // once, and doubled again by the few new connections of the next read. Room is made for
    // what can come with a sixteenth to spare, so that growing holds the set about twice, not
    // three times; a small set gets a few dozen places, so that it is not copied for each.
    const std::size_t needed = current_.size() + more;
    if (needed > current_.capacity()) {
        current_.reserve(needed + std::max<std::size_t>(needed / 16, 64));
    }
}

LiveRecord& CConnectionTracker::Append(LiveRecord record) {
    MakeRoom(1);
    return current_.emplace_back(std::move(record));
}

void CConnectionTracker::BeginSnapshot() {
    if (inSnapshot_) {
        // The last snapshot was never closed: its unmatched connections have ended, just as
        // after a walk that stopped early.
        host_.Trace("Filter, snapshot begins before the last one ended");
        EndSnapshot();
    }
    // The merge is made in place: a record of the last set keeps its number (its position at
    // the begin) while it moves, and the set is never held twice.
    where_.resize(current_.size());
    for (std::size_t i = 0; i < where_.size(); ++i) {
        where_[i] = static_cast<std::uint32_t>(i);
    }
    numberAt_ = where_;
    placed_ = 0;
    snapshotTime_ = 0;
    rowsByAddress_ = {};
    rowsByAddressValid_ = false;
    BuildIndex();
    inSnapshot_ = true;
}

void CConnectionTracker::BuildIndex() {
    const std::size_t count = where_.size();
    matched_.assign(count, false);
    nextSameKey_.assign(count, kEmpty);
    // At most two thirds full, so that probes stay short; never full, so that they end.
    index_.assign(std::bit_ceil(count + count / 2 + 2), Slot{});
    for (std::size_t i = 0; i < count; ++i) {
        const KeyView key = ViewOf(current_[i]);
        const std::size_t hash = Hash(key);
        Slot& slot = FindSlot(key, hash);
        const auto position = static_cast<std::uint32_t>(i);
        if (slot.head == kEmpty) {
            slot = Slot{static_cast<std::uint32_t>(hash), position, position};
        } else {
            nextSameKey_[slot.tail] = position;
            slot.tail = position;
        }
    }
}

std::size_t CConnectionTracker::TakeMatch(const KeyView& key) {
    if (index_.empty()) {
        return kNone;
    }
    Slot& slot = FindSlot(key, Hash(key));
    const std::uint32_t index = slot.head;
    if (index == kEmpty) {
        return kNone;
    }
    slot.head = nextSameKey_[index] == kEmpty ? kGone : nextSameKey_[index];
    return index;
}

bool CConnectionTracker::IsVisible(const CConnectionRecord& record,
                                   const ViewFilter& filter) const {
    if (filter.netIf != -1) {
        // An index outside the interface list matches no interface, so the entry is hidden.
        const bool inRange = filter.interfaces && filter.netIf >= 0 &&
                             static_cast<std::size_t>(filter.netIf) < filter.interfaces->size();
        if (!inRange || (*filter.interfaces)[filter.netIf] != record.interfaceText) {
            return false;
        }
    }
    return CategorySwitch(record.category, filter) == 1;
}

void CConnectionTracker::AddEntry(CConnectionRecord entry) {
    if (!inSnapshot_) {
        // Without a begin there is no previous set to match against; matching against nothing
        // would duplicate every known connection.
        host_.Trace("Filter, entry outside a snapshot dropped");
        return;
    }
    if (snapshotTime_ == 0) {
        snapshotTime_ = entry.openTime;  // the poller's read time, where it gave one
    }
    if (EndedByEvent(entry)) {
        return;
    }
    const ViewFilter filter = host_.ReadFilter();
    const std::size_t match = TakeMatch(ViewOf(entry));
    if (match == kNone) {
        if (TakeRemains(entry, filter)) {
            return;
        }
        const std::time_t openTime = entry.openTime != 0 ? entry.openTime : SnapshotTime();
        AddNew(std::move(entry), filter, openTime);
    } else {
        CarryOver(match, entry, IsVisible(entry, filter));
    }
}

void CConnectionTracker::AddKept(const SnapshotKept& kept) {
    if (!inSnapshot_) {
        host_.Trace("Filter, entry outside a snapshot dropped");
        return;
    }
    if (kept.readTime != 0) {
        snapshotTime_ = kept.readTime;
    }
    if (!kept.table || kept.positions.empty()) {
        return;
    }
    const ViewFilter filter = host_.ReadFilter();
    for (const std::uint32_t position : kept.positions) {
        if (position >= kept.table->size()) {
            continue;
        }
        const TcpRow& row = (*kept.table)[position];
        const std::size_t match =
            row.cookie == 0 ? kNone : TakeMatch(KeyView{row.cookie, {}, {}, 0, 0});
        if (match != kNone) {
            KeepOver(match, filter);
            continue;
        }
        // Not known here (the snapshot that brought it was missed, or a notice ended it while
        // the table still shows it): made as the poller would.
        CConnectionRecord entry = RecordFromRow(row);
        if (EndedByEvent(entry)) {
            continue;
        }
        if (kept.services && kept.listening) {
            ClassifyConnection(entry, *kept.services, *kept.listening);
        }
        if (!TakeRemains(entry, filter)) {
            AddNew(std::move(entry), filter, SnapshotTime());
        }
    }
}

LiveRecord& CConnectionTracker::Place(std::size_t number) {
    matched_[number] = true;
    const std::size_t from = where_[number];
    const std::size_t to = placed_++;
    if (from != to) {
        // The record still waiting at `to` takes the place this one leaves.
        std::swap(current_[from], current_[to]);
        const std::uint32_t waiting = numberAt_[to];
        numberAt_[from] = waiting;
        where_[waiting] = static_cast<std::uint32_t>(from);
        numberAt_[to] = static_cast<std::uint32_t>(number);
        where_[number] = static_cast<std::uint32_t>(to);
    }
    return current_[to];
}

LiveRecord& CConnectionTracker::PlaceNew(LiveRecord record) {
    const std::size_t to = placed_++;
    if (to == current_.size()) {
        numberAt_.push_back(kEmpty);
        return Append(std::move(record));
    }
    // A record of the last set still waits here: it moves to the end.
    LiveRecord waiting = std::move(current_[to]);
    const std::uint32_t number = numberAt_[to];
    Append(std::move(waiting));
    numberAt_.push_back(number);
    where_[number] = static_cast<std::uint32_t>(current_.size() - 1);
    current_[to] = std::move(record);
    numberAt_[to] = kEmpty;
    return current_[to];
}

LiveRecord& CConnectionTracker::Admit(CConnectionRecord record, bool visible) {
    // Between snapshots (a notice) the live set is a plain vector; within one the new record
    // takes the next place of the set being made.
    LiveRecord live{std::move(record), visible};
    return inSnapshot_ ? PlaceNew(std::move(live)) : Append(std::move(live));
}

void CConnectionTracker::KeepOver(std::size_t index, const ViewFilter& filter) {
    LiveRecord& known = Place(index);
    const bool visible = IsVisible(known, filter);
    if (visible != known.visible) {
        known.visible = visible;
        host_.Trace("Filter, updating old connection" + known.ipAddress);
        Emit(RowOp::Kind::Update, known);
    }
}

void CConnectionTracker::CarryOver(std::size_t index, const CConnectionRecord& entry,
                                   bool visible) {
    LiveRecord& known = Place(index);
    // The owning process may be found a few polls after the connection (a long process list).
    const bool ownerFound = known.pid == 0 && entry.pid != 0;
    if (ownerFound) {
        known.pid = entry.pid;
        known.command = entry.command;
        known.user = entry.user;
    }
    // A read is older than the notices handled since it was made, and a kernel socket never
    // goes back: a row that shows an earlier state than the record's is stale.
    const bool stateChanged =
        entry.state != known.state && (known.cookie == 0 || StateMovesOn(known.state, entry.state));
    const bool bytesChanged = TakeCounts(known, entry);
    if (ownerFound || visible != known.visible || stateChanged || bytesChanged) {
        const bool wasHalfOpen = known.state == TcpState::SynReceived;
        known.visible = visible;
        if (stateChanged && entry.state == TcpState::TimeWait) {
            EnterTimeWait(known, SnapshotTime());
        } else if (stateChanged) {
            known.state = entry.state;
        }
        // The handshake completed since the first sight: the scan count learns the source is
        // real (the pair itself counts once).
        if (wasHalfOpen && stateChanged) {
            NoteForScan(known);
        }
        host_.Trace("Filter, updating old connection" + known.ipAddress);
        if (ownerFound || stateChanged) {
            EmitChanged(known);
        } else {
            Emit(RowOp::Kind::Update, known);
        }
    }
    NoteClosedHere(known, entry);
}

bool CConnectionTracker::TakeCounts(CConnectionRecord& known, const CConnectionRecord& read) {
    const ByteCounts before = known.bytes;
    known.bytes.TakeLarger(read.bytes);
    return known.bytes != before;
}

void CConnectionTracker::AddNew(CConnectionRecord entry, const ViewFilter& filter,
                                std::time_t openTime) {
    host_.Trace("Filter, new connection " + entry.ipAddress);
    entry.id = nextId_++;
    entry.openTime = openTime;
    const bool visible = IsVisible(entry, filter);
    LiveRecord& added = Admit(std::move(entry), visible);
    AddressInfo* address = nullptr;
    if (filter.reverseLookup != 0 || !addresses_.empty()) {
        const auto found = addresses_.find(added.ipAddress);
        if (found != addresses_.end()) {
            address = &found->second;
        } else if (filter.reverseLookup != 0) {
            address = &addresses_[added.ipAddress];
        }
    }
    if (address && address->name) {
        added.hostName = *address->name;  // the answer came already
    }
    if (added.visible) {
        Emit(RowOp::Kind::Insert, added);
    }
    const FirstSight sight = FirstSightOf(added);
    if (sight != FirstSight::EndedBeforeStart) {
        list_.Opened(added);
    }
    NoteForScan(added);
    // One request per address: its answer names every connection from it.
    if (filter.reverseLookup != 0 && !address->asked) {
        address->asked = true;
        host_.Publish(ResolveHost{added.ipAddress});
    }
    NoteFirstSight(added, sight, openTime);
    SupersedeHalfOpen(added);
}

void CConnectionTracker::EndSnapshot() {
    if (!inSnapshot_) {
        host_.Trace("Filter, snapshot end without a begin ignored");
        return;
    }
    inSnapshot_ = false;
    // The ended records are told in the order of the last set.
    for (std::size_t i = 0; i < matched_.size(); ++i) {
        if (matched_[i]) {
            continue;
        }
        LiveRecord& ended = current_[where_[i]];
        NoteEndedBySnapshot(ended.cookie);
        Emit(RowOp::Kind::Delete, ended);
        const bool logged = EndLogged(ended);
        loggedLive_.erase(ended.cookie);
        closedAtStart_.erase(ended.cookie);
        if (!logged) {
            LogEndOfDump(std::move(ended), SnapshotTime());
        }
    }
    ++dumps_;
    LogOverdueEnds(0);
    AgeRecentEnds();
    NoteHalfOpen();
    current_.erase(current_.begin() + static_cast<std::ptrdiff_t>(placed_), current_.end());
    // Between snapshots only the live set is kept: the merge's buffers are as large as the
    // table and are made again at the next begin anyway.
    where_ = {};
    numberAt_ = {};
    matched_ = {};
    nextSameKey_ = {};
    index_ = {};
    AfterSnapshotForEvents();
    ApplyNamesOfSnapshot();
    ForgetEndedAddresses();
    Flush();
    // The list has the merge: the poller may read the next table.
    inFlight_.reset();
    list_.LiveCount(current_.size());
}

void CConnectionTracker::ApplyNamesOfSnapshot() {
    if (answeredInSnapshot_.empty()) {
        return;
    }
    std::unordered_map<std::string_view, const std::string*> names;
    for (const std::string& ipAddress : answeredInSnapshot_) {
        if (auto known = addresses_.find(ipAddress);
            known != addresses_.end() && known->second.name) {
            names.emplace(known->first, &*known->second.name);
        }
    }
    answeredInSnapshot_.clear();
    for (LiveRecord& record : current_) {
        const auto name = names.find(record.ipAddress);
        if (name != names.end() && record.hostName != *name->second) {
            record.hostName = *name->second;
            EmitChanged(record);
        }
    }
}

void CConnectionTracker::ForgetEndedAddresses() {
    // Pruned only when it has doubled, so the pass over the live set is paid for by the
    // growth; an address that comes back after that is asked for again (the lookup worker
    // answers from its cache).
    if (addresses_.size() <= 2 * addressesAfterForget_ + 64) {
        return;
    }
    std::unordered_map<std::string_view, bool> live;
    for (const CConnectionRecord& record : current_) {
        live.emplace(record.ipAddress, true);
    }
    std::erase_if(addresses_, [&](const auto& entry) { return !live.contains(entry.first); });
    addressesAfterForget_ = addresses_.size();
}

const std::vector<std::size_t>& CConnectionTracker::RowsOf(const std::string& ipAddress) {
    if (!rowsByAddressValid_) {
        rowsByAddress_.clear();
        for (std::size_t i = 0; i < current_.size(); ++i) {
            rowsByAddress_[current_[i].ipAddress].push_back(i);
        }
        rowsByAddressValid_ = true;
    }
    static const std::vector<std::size_t> kNoRows;
    const auto rows = rowsByAddress_.find(ipAddress);
    return rows == rowsByAddress_.end() ? kNoRows : rows->second;
}

void CConnectionTracker::ApplyHostName(std::string name, const std::string& ipAddress) {
    AddressInfo& address = addresses_[ipAddress];
    address.asked = true;
    address.name = LowerCase(std::move(name));
    if (inSnapshot_) {
        // The live set is still being built: named in one pass at its end (in the snapshot's
        // batch, so the list sees every change in order), and at insertion for new connections.
        answeredInSnapshot_.push_back(ipAddress);
        return;
    }
    for (std::size_t row : RowsOf(ipAddress)) {
        LiveRecord& record = current_[row];
        if (record.hostName != *address.name) {
            record.hostName = *address.name;
            EmitChanged(record);
        }
    }
    Flush();
}

void CConnectionTracker::Emit(RowOp::Kind kind, const LiveRecord& record) {
    if (!list_.TakesRows()) {
        return;
    }
    pending_.push_back(RowOp{kind, record, record.visible});
}

void CConnectionTracker::EmitChanged(const LiveRecord& record) {
    Emit(RowOp::Kind::Update, record);
    if (batchingUpdates_ && record.cookie != 0) {
        updatedInBatch_.push_back(record.cookie);
    } else if (record.state != TcpState::TimeWait) {
        list_.Updated(record);
    }
}

void CConnectionTracker::TellUpdatesOfBatch() {
    batchingUpdates_ = false;
    std::unordered_set<std::uint64_t> told;
    for (std::uint64_t cookie : updatedInBatch_) {
        const auto live = liveIndex_.find(cookie);
        if (live != liveIndex_.end() && told.insert(cookie).second &&
            current_[live->second].state != TcpState::TimeWait) {
            list_.Updated(current_[live->second]);
        }
    }
    updatedInBatch_.clear();
}

void CConnectionTracker::Flush() {
    if (!newInbound_.empty()) {
        host_.Publish(NewInbound{std::exchange(newInbound_, {})});
    }
    host_.EndOfBatch();
    if (pending_.empty()) {
        return;
    }
    std::vector<RowOp> ops;
    ops.swap(pending_);
    list_.Apply(std::move(ops));
}

}  // namespace tarvik
