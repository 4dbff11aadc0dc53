// The tracker's side of the kernel's notices between snapshots.
#include <algorithm>
#include <utility>

#include "tracking/ConnectionTracker.h"

namespace tarvik {

namespace {

// The states a socket closes from when it closed first: what stays of it is in TIME_WAIT.
bool LeavesTimeWait(TcpState state) {
    return state == TcpState::FinWait1 || state == TcpState::FinWait2 ||
           state == TcpState::Closing || state == TcpState::TimeWait;
}

// Past this many remembered ends (dumps failing for a long time), the oldest knowledge is
// dropped rather than memory grown without end.
constexpr std::size_t kMaxRememberedEnds = 1 << 20;

}  // namespace

void CConnectionTracker::ApplyEvents(ConnectionEvents events) {
    if (inSnapshot_) {
        // The live set is only half built: the snapshot is closed as an early end would be.
        host_.Trace("Filter, events within a snapshot");
        EndSnapshot();
    }
    if (events.empty()) {
        return;
    }
    EnsureLiveIndex();
    batchingUpdates_ = true;
    const ViewFilter filter = host_.ReadFilter();
    std::time_t latest = 0;
    for (ConnectionEvent& event : events) {
        latest = std::max(latest, event.time);
        if (event.kind == ConnectionEvent::Kind::Changed) {
            ApplyChanged(event, filter);
        } else if (event.kind == ConnectionEvent::Kind::Owner) {
            ApplyOwner(event);
        } else if (event.kind == ConnectionEvent::Kind::NoticesLost) {
            list_.NoticesLost(event.time);
        } else {
            ApplyEnded(event);
        }
    }
    TellUpdatesOfBatch();
    LogOverdueEnds(latest);
    ExpireTimeWait(latest);
    ForgetEndedBefore(latest);
    Flush();
    list_.LiveCount(current_.size());
}

void CConnectionTracker::EnsureLiveIndex() {
    if (liveIndexValid_) {
        return;
    }
    liveIndex_.clear();
    liveIndex_.reserve(current_.size());
    for (std::size_t i = 0; i < current_.size(); ++i) {
        if (current_[i].cookie != 0) {
            liveIndex_[current_[i].cookie] = i;
        }
    }
    liveIndexValid_ = true;
}

void CConnectionTracker::ApplyChanged(ConnectionEvent& event, const ViewFilter& filter) {
    const std::uint64_t cookie = event.record.cookie;
    if (EndedBefore(cookie)) {
        return;  // a late notice of a socket already ended
    }
    const auto known = cookie != 0 ? liveIndex_.find(cookie) : liveIndex_.end();
    if (known == liveIndex_.end()) {
        AddNew(std::move(event.record), filter, event.time);
        if (cookie != 0) {
            liveIndex_[cookie] = current_.size() - 1;
        }
        rowsByAddressValid_ = false;
        return;
    }
    LiveRecord& record = current_[known->second];
    // A viewer's source (a daemon's "update") may name the process of a known connection.
    const bool ownerFound = record.pid == 0 && event.record.pid != 0;
    if (ownerFound) {
        TakeOwner(record, event.record);
    }
    const bool bytesChanged = TakeCounts(record, event.record);
    if (record.state == event.record.state ||
        (cookie != 0 && !StateMovesOn(record.state, event.record.state))) {
        // Nothing new, or a notice older than the dump that came before it.
        if (ownerFound) {
            EmitChanged(record);
        } else if (bytesChanged) {
            Emit(RowOp::Kind::Update, record);
        }
        return;
    }
    const bool wasHalfOpen = record.state == TcpState::SynReceived;
    if (event.record.state == TcpState::TimeWait) {
        EnterTimeWait(record, event.time);
    } else {
        record.state = event.record.state;
    }
    if (wasHalfOpen) {
        NoteForScan(record);  // the handshake completed: the source is real
    }
    host_.Trace("Filter, updating old connection" + record.ipAddress);
    EmitChanged(record);
}

// The process that accepted a connection, known after the connection itself: its record and
// row take it, so that its end is logged with it.
void CConnectionTracker::ApplyOwner(const ConnectionEvent& event) {
    const std::uint64_t cookie = event.record.cookie;
    const auto known = cookie != 0 ? liveIndex_.find(cookie) : liveIndex_.end();
    if (known == liveIndex_.end() || event.record.pid == 0) {
        return;  // ended already, or never seen: nothing left to name
    }
    LiveRecord& record = current_[known->second];
    if (record.pid != 0) {
        return;  // named already, by a dump or by the event that made it
    }
    TakeOwner(record, event.record);
    EmitChanged(record);
}

void CConnectionTracker::TakeOwner(CConnectionRecord& record, const CConnectionRecord& owner) {
    record.pid = owner.pid;
    record.command = owner.command;
    record.user = owner.user;
    if (record.inode == 0) {
        record.inode = owner.inode;
    }
}

void CConnectionTracker::ApplyEnded(ConnectionEvent& event) {
    const std::uint64_t cookie = event.record.cookie;
    noticesTellEnds_ = true;
    SettleAwaitedEnd(cookie, event.record);
    if (EndedBefore(cookie)) {
        return;
    }
    const auto known = cookie != 0 ? liveIndex_.find(cookie) : liveIndex_.end();
    if (known == liveIndex_.end()) {
        EndUnseen(event);
        return;
    }
    const std::size_t index = known->second;
    LiveRecord& ended = current_[index];
    // The notice's counts are the socket's last: they go to the log with its end.
    const bool bytesChanged = TakeCounts(ended, event.record);
    const bool closedAfterStart = closedAtStart_.erase(cookie) > 0;
    if (closedAfterStart) {
        // The first dump came between its close and this notice: it was open after the start
        // after all, and is announced before its end.
        loggedLive_.erase(cookie);
        list_.Opened(ended);
    }
    if (LeavesTimeWait(ended.state)) {
        // The socket closed first: its TIME_WAIT stays in the table, and in the list, as long
        // as the kernel keeps it. No notice tells its expiry, so a clock or the next dump does.
        if (ended.state != TcpState::TimeWait) {
            EnterTimeWait(ended, event.time);
            Emit(RowOp::Kind::Update, ended);
        } else if (closedAfterStart) {
            CConnectionRecord copy = ended;
            LogEnd(std::move(copy), event.time);
            Emit(RowOp::Kind::Update, ended);
        } else if (bytesChanged) {
            Emit(RowOp::Kind::Update, ended);
        }
        timeWaitSince_.emplace_back(event.time, cookie);
        return;
    }
    Emit(RowOp::Kind::Delete, ended);
    const bool logged = EndLogged(ended);
    loggedLive_.erase(cookie);
    if (!logged) {
        // The record leaves the live set here: it goes to the log as it is, not as a copy. Its
        // cookie, all RemoveLive reads of it, survives the move.
        LogEnd(std::move(ended), event.time);
    }
    RememberEndedByEvent(cookie, event.time);
    RemoveLive(index);
}

// A connection that began and ended between two dumps.
void CConnectionTracker::EndUnseen(ConnectionEvent& event) {
    CConnectionRecord& record = event.record;
    if (record.remotePort == 0) {
        return;  // a socket that never connected, or a listener never seen: no connection
    }
    if (const auto remains = EndOfRemains(record)) {
        // A dump saw its TIME_WAIT remains, which carry another cookie: the end is theirs.
        SettleAwaitedEnd(*remains, record);
        RememberEndedByEvent(record.cookie, event.time);
        return;
    }
    host_.Trace("Filter, short connection " + record.ipAddress);
    record.id = nextId_++;
    record.openTime = event.time;
    record.closeTime = event.time;
    if (const auto address = addresses_.find(record.ipAddress);
        address != addresses_.end() && address->second.name) {
        record.hostName = *address->second.name;
    }
    list_.Opened(record);
    NoteForScan(record);
    RememberEndedByEvent(record.cookie, event.time);
    RememberEnd(record);
    LogEnd(std::move(record), event.time);
}

void CConnectionTracker::RemoveLive(std::size_t index) {
    liveIndex_.erase(current_[index].cookie);
    const std::size_t last = current_.size() - 1;
    if (index != last) {
        current_[index] = std::move(current_[last]);
        if (current_[index].cookie != 0) {
            liveIndex_[current_[index].cookie] = index;
        }
    }
    current_.pop_back();
    rowsByAddressValid_ = false;
}

bool CConnectionTracker::EndedBefore(std::uint64_t cookie) const {
    return cookie != 0 &&
           (endedByEvent_.contains(cookie) || endedBySnapshot_.contains(cookie) ||
            endedBySnapshotBefore_.contains(cookie) || endedLately_.contains(cookie));
}

void CConnectionTracker::RememberEndedByEvent(std::uint64_t cookie, std::time_t when) {
    if (cookie == 0) {
        return;
    }
    if (endedByEvent_.size() >= kMaxRememberedEnds) {
        endedByEvent_.clear();
    }
    endedByEvent_.insert(cookie);
    RememberEndedLately(cookie, when);
}

void CConnectionTracker::RememberEndedLately(std::uint64_t cookie, std::time_t when) {
    if (endedLately_.size() >= kMaxRememberedEnds) {
        endedLately_.clear();
        endedLatelyOrder_.clear();
    }
    if (endedLately_.insert(cookie).second) {
        endedLatelyOrder_.emplace_back(when, cookie);
    }
}

void CConnectionTracker::ForgetEndedBefore(std::time_t now) {
    while (!endedLatelyOrder_.empty() &&
           now - endedLatelyOrder_.front().first > kEndMemorySeconds) {
        endedLately_.erase(endedLatelyOrder_.front().second);
        endedLatelyOrder_.pop_front();
    }
}

std::size_t CConnectionTracker::RememberedEnds() const {
    return endedBySnapshot_.size() + endedBySnapshotBefore_.size() + endingInSnapshot_.size() +
           endedByEvent_.size() + endedByEventSeen_.size() + endedLately_.size();
}

bool CConnectionTracker::EndedByEvent(const CConnectionRecord& entry) {
    if (endedByEvent_.empty() || entry.cookie == 0 || !endedByEvent_.contains(entry.cookie)) {
        return false;
    }
    endedByEventSeen_.insert(entry.cookie);
    return true;
}

void CConnectionTracker::NoteEndedBySnapshot(std::uint64_t cookie) {
    if (cookie != 0) {
        endingInSnapshot_.insert(cookie);
        RememberEndedLately(cookie, SnapshotTime());
    }
}

void CConnectionTracker::AfterSnapshotForEvents() {
    liveIndexValid_ = false;
    // A notice read before this dump was of a socket gone before it: a cookie it no longer
    // shows never comes back.
    endedByEvent_ = std::exchange(endedByEventSeen_, {});
    endedBySnapshotBefore_ = std::exchange(endedBySnapshot_, std::exchange(endingInSnapshot_, {}));
    // Aged here too: polling brings no notices, and every end a dump sees is remembered.
    ForgetEndedBefore(SnapshotTime());
}

}  // namespace tarvik
