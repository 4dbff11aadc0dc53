// The tracker's side of the kernel's notices between snapshots.
#include <utility>

#include "tracking/ConnectionTracker.h"

namespace tarvik {

namespace {

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
    const ViewFilter filter = host_.ReadFilter();
    for (ConnectionEvent& event : events) {
        if (event.kind == ConnectionEvent::Kind::Changed) {
            ApplyChanged(event, filter);
        } else if (event.kind == ConnectionEvent::Kind::Owner) {
            ApplyOwner(event);
        } else {
            ApplyEnded(event);
        }
    }
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
        event.record.visible = IsVisible(event.record, filter);
        AddNew(std::move(event.record), filter, event.time);
        if (cookie != 0) {
            liveIndex_[cookie] = current_.size() - 1;
        }
        rowsByAddressValid_ = false;
        return;
    }
    CConnectionRecord& record = current_[known->second];
    if (record.state == event.record.state) {
        return;
    }
    record.state = event.record.state;
    if (record.state == TcpState::TimeWait) {
        CConnectionRecord logged = record;
        logged.closeTime = event.time;
        list_.Ended(logged);
        host_.Broadcast(kMsgLogConnection, Payload::Record(std::move(logged)), {});
    }
    host_.Trace("Filter, updating old connection" + record.ipAddress);
    Emit(RowOp::Kind::Update, record);
}

// The process that accepted a connection, known after the connection itself: its record and
// row take it, so that its end is logged with it.
void CConnectionTracker::ApplyOwner(const ConnectionEvent& event) {
    const std::uint64_t cookie = event.record.cookie;
    const auto known = cookie != 0 ? liveIndex_.find(cookie) : liveIndex_.end();
    if (known == liveIndex_.end() || event.record.pid == 0) {
        return;  // ended already, or never seen: nothing left to name
    }
    CConnectionRecord& record = current_[known->second];
    if (record.pid != 0) {
        return;  // named already, by a dump or by the event that made it
    }
    record.pid = event.record.pid;
    record.command = event.record.command;
    record.user = event.record.user;
    if (record.inode == 0) {
        record.inode = event.record.inode;
    }
    Emit(RowOp::Kind::Update, record);
}

void CConnectionTracker::ApplyEnded(ConnectionEvent& event) {
    const std::uint64_t cookie = event.record.cookie;
    if (EndedBefore(cookie)) {
        return;
    }
    const auto known = cookie != 0 ? liveIndex_.find(cookie) : liveIndex_.end();
    if (known == liveIndex_.end()) {
        EndUnseen(event);
        return;
    }
    const std::size_t index = known->second;
    CConnectionRecord& ended = current_[index];
    Emit(RowOp::Kind::Delete, ended);
    // A connection in TimeWait was logged when it entered that state.
    if (ended.state != TcpState::TimeWait) {
        CConnectionRecord logged = ended;
        logged.closeTime = event.time;
        list_.Ended(logged);
        host_.Broadcast(kMsgLogConnection, Payload::Record(std::move(logged)), {});
    }
    RememberEndedByEvent(cookie);
    RemoveLive(index);
}

// A connection that began and ended between two dumps.
void CConnectionTracker::EndUnseen(ConnectionEvent& event) {
    CConnectionRecord& record = event.record;
    if (record.remotePort == 0) {
        return;  // a socket that never connected, or a listener never seen: no connection
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
    host_.Broadcast(kMsgNewConnection, Payload::Record(ScanCopy(record)), {});
    list_.Ended(record);
    RememberEndedByEvent(record.cookie);
    host_.Broadcast(kMsgLogConnection, Payload::Record(std::move(record)), {});
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
    return cookie != 0 && (endedByEvent_.contains(cookie) || endedBySnapshot_.contains(cookie) ||
                           endedBySnapshotBefore_.contains(cookie));
}

void CConnectionTracker::RememberEndedByEvent(std::uint64_t cookie) {
    if (cookie == 0) {
        return;
    }
    if (endedByEvent_.size() >= kMaxRememberedEnds) {
        endedByEvent_.clear();
    }
    endedByEvent_.insert(cookie);
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
    }
}

void CConnectionTracker::AfterSnapshotForEvents() {
    liveIndexValid_ = false;
    // A notice read before this dump was of a socket gone before it: a cookie it no longer
    // shows never comes back.
    endedByEvent_ = std::exchange(endedByEventSeen_, {});
    endedBySnapshotBefore_ = std::exchange(endedBySnapshot_, std::exchange(endingInSnapshot_, {}));
}

}  // namespace tarvik
