// The tracker's ends: each kernel socket is logged once, whichever of a dump's row, a notice or
// its TIME_WAIT remains tells of its end first, and never with a close before its open.
#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "tracking/ConnectionTracker.h"

namespace tarvik {

namespace {

// Past this many, the oldest remembered ends make room: only a late twin of one of them could
// then be logged again, never a connection lost.
constexpr std::size_t kMaxRecentEnds = 1 << 18;
// A notice and the dump that shows the same connection's remains come within one poll of
// each other; two dumps leave room for a slow one.
constexpr std::uint64_t kRecentEndDumps = 2;

std::size_t HashBytes(const AddressBytes& bytes) {
    std::size_t hash = 0;
    for (const std::uint8_t byte : bytes) {
        hash = hash * 131 + byte;
    }
    return hash;
}

}  // namespace

std::size_t CConnectionTracker::TupleHash::operator()(const Tuple& tuple) const {
    std::size_t hash = HashBytes(tuple.local) * 31 + HashBytes(tuple.remote);
    hash = hash * 31 + static_cast<std::size_t>(tuple.localPort);
    hash = hash * 31 + static_cast<std::size_t>(tuple.remotePort);
    return hash * 2 + static_cast<std::size_t>(tuple.family);
}

CConnectionTracker::Tuple CConnectionTracker::TupleOf(const CConnectionRecord& record) {
    return Tuple{record.family, record.localAddress, record.remoteAddress, record.localPort,
                 record.remotePort};
}

std::time_t CConnectionTracker::SnapshotTime() const {
    return snapshotTime_ != 0 ? snapshotTime_ : host_.Now();
}

bool CConnectionTracker::EndLogged(const CConnectionRecord& record) const {
    return record.state == TcpState::TimeWait ||
           (record.cookie != 0 && loggedLive_.contains(record.cookie));
}

void CConnectionTracker::LogEnd(CConnectionRecord ended, std::time_t when) {
    // Two clocks tell the open and the close (a dump's read, a notice): a close the kernel told
    // before the read that first showed the row is the moment of the row's end all the same.
    ended.closeTime = std::max(when, ended.openTime);
    // One immutable record for the list, the event stream and the logger: none copies it.
    auto shared = std::make_shared<const CConnectionRecord>(std::move(ended));
    list_.Ended(*shared);
    host_.Publish(ConnectionEnded{std::move(shared)});
}

void CConnectionTracker::LogEndOfDump(CConnectionRecord ended, std::time_t when) {
    if (!noticesTellEnds_ || ended.cookie == 0 || ended.protocol != Protocol::Tcp) {
        LogEnd(std::move(ended), when);
        return;
    }
    const std::uint64_t cookie = ended.cookie;
    awaitingNotice_.insert_or_assign(cookie, AwaitedEnd{std::move(ended), when, dumps_});
}

void CConnectionTracker::SettleAwaitedEnd(std::uint64_t cookie, const CConnectionRecord& notice) {
    const auto found = awaitingNotice_.find(cookie);
    if (found == awaitingNotice_.end()) {
        return;
    }
    AwaitedEnd awaited = std::move(found->second);
    awaitingNotice_.erase(found);
    TakeCounts(awaited.record, notice);
    LogEnd(std::move(awaited.record), awaited.when);
}

void CConnectionTracker::LogOverdueEnds(std::time_t noticeTime) {
    // Few: only ends whose dump and notice crossed. Logged in the order they were seen.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> due;  // (dump, cookie)
    for (const auto& [cookie, awaited] : awaitingNotice_) {
        const bool afterNextDump = dumps_ >= awaited.dump + 2;
        const bool longEnough = noticeTime != 0 && noticeTime - awaited.when >= 2;
        if (afterNextDump || longEnough) {
            due.emplace_back(awaited.dump, cookie);
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto& [dump, cookie] : due) {
        const auto found = awaitingNotice_.find(cookie);
        LogEnd(std::move(found->second.record), found->second.when);
        awaitingNotice_.erase(found);
    }
}

void CConnectionTracker::LogAwaitedEnds() {
    LogOverdueEnds(std::numeric_limits<std::time_t>::max());
    Flush();
}

void CConnectionTracker::EnterTimeWait(CConnectionRecord& record, std::time_t when) {
    const bool logged = EndLogged(record);
    record.state = TcpState::TimeWait;
    if (record.cookie != 0) {
        loggedLive_.erase(record.cookie);
        closedAtStart_.erase(record.cookie);
    }
    if (!logged) {
        CConnectionRecord copy = record;
        if (inSnapshot_) {
            LogEndOfDump(std::move(copy), when);
        } else {
            LogEnd(std::move(copy), when);
        }
    }
}

CConnectionTracker::FirstSight CConnectionTracker::FirstSightOf(
    const CConnectionRecord& record) const {
    // What a dump shows of a socket closed on this side: TIME_WAIT, or FIN_WAIT2 once no process
    // holds it (the kernel's TIME_WAIT remains report that state until the peer's FIN comes).
    const bool remainsInFinWait2 = inSnapshot_ && record.state == TcpState::FinWait2 &&
                                   record.inode == 0 && record.cookie != 0;
    if (record.state != TcpState::TimeWait && !remainsInFinWait2) {
        return FirstSight::Open;
    }
    // The first dump's are older than this run, and the run before may have logged them.
    return inSnapshot_ && dumps_ == 0 ? FirstSight::EndedBeforeStart : FirstSight::EndedNow;
}

void CConnectionTracker::NoteFirstSight(const CConnectionRecord& added, FirstSight sight,
                                        std::time_t openTime) {
    if (sight == FirstSight::Open) {
        return;
    }
    if (added.state != TcpState::TimeWait) {
        loggedLive_.insert(added.cookie);
    }
    if (sight == FirstSight::EndedBeforeStart && added.cookie != 0) {
        // Unless a notice tells of its end: then it closed after the notices began (under
        // load the first dump can come before the notices of the first moments are read).
        closedAtStart_.insert(added.cookie);
    }
    if (sight == FirstSight::EndedNow) {
        RememberEnd(added);
        LogEndOfDump(added, openTime);
    }
}

void CConnectionTracker::NoteClosedHere(CConnectionRecord& known, const CConnectionRecord& entry) {
    // No process holds it any more and it waits in FIN_WAIT2: what stays of a socket closed on
    // this side. Its notice may have been lost, and the kernel keeps it up to a minute.
    if (known.cookie == 0 || entry.inode != 0 || entry.state != TcpState::FinWait2 ||
        known.state != TcpState::FinWait2 || EndLogged(known)) {
        return;
    }
    loggedLive_.insert(known.cookie);
    CConnectionRecord copy = known;
    LogEnd(std::move(copy), SnapshotTime());
}

void CConnectionTracker::RememberEnd(const CConnectionRecord& logged) {
    if (logged.remotePort == 0) {
        return;
    }
    if (recentEnds_.size() >= kMaxRecentEnds) {
        recentEnds_.clear();
        recentOrder_.clear();
    }
    const Tuple tuple = TupleOf(logged);
    const bool added =
        recentEnds_
            .insert_or_assign(tuple, RecentEnd{logged.cookie, logged.id, logged.openTime,
                                               std::max(logged.closeTime, logged.openTime), dumps_})
            .second;
    if (added) {
        recentOrder_.push_back(tuple);
    }
}

bool CConnectionTracker::TakeRemains(CConnectionRecord& entry, const ViewFilter& filter) {
    // Only what is left of a socket after its end: no process holds it, its last states.
    if (recentEnds_.empty() || entry.inode != 0 ||
        (entry.state != TcpState::TimeWait && entry.state != TcpState::FinWait2)) {
        return false;
    }
    const auto found = recentEnds_.find(TupleOf(entry));
    if (found == recentEnds_.end() || found->second.cookie == entry.cookie) {
        return false;
    }
    const RecentEnd end = found->second;
    recentEnds_.erase(found);
    entry.id = end.id;
    entry.openTime = end.openTime;
    entry.closeTime = end.closeTime;
    const bool visible = IsVisible(entry, filter);
    if (const auto address = addresses_.find(entry.ipAddress);
        address != addresses_.end() && address->second.name) {
        entry.hostName = *address->second.name;
    }
    if (entry.cookie != 0 && entry.state != TcpState::TimeWait) {
        loggedLive_.insert(entry.cookie);
    }
    LiveRecord& added = Admit(std::move(entry), visible);
    if (added.visible) {
        Emit(RowOp::Kind::Insert, added);
    }
    return true;
}

std::optional<std::uint64_t> CConnectionTracker::EndOfRemains(const CConnectionRecord& ended) {
    if (recentEnds_.empty() || ended.remotePort == 0) {
        return std::nullopt;
    }
    const auto found = recentEnds_.find(TupleOf(ended));
    if (found == recentEnds_.end() || found->second.cookie == ended.cookie) {
        return std::nullopt;
    }
    const std::uint64_t remains = found->second.cookie;
    recentEnds_.erase(found);
    return remains;
}

void CConnectionTracker::SupersedeHalfOpen(const CConnectionRecord& added) {
    if (halfOpen_.empty() || added.state == TcpState::SynReceived) {
        return;
    }
    const auto found = halfOpen_.find(TupleOf(added));
    if (found == halfOpen_.end() || found->second == added.cookie) {
        return;
    }
    loggedLive_.insert(found->second);
    halfOpen_.erase(found);
}

void CConnectionTracker::NoteHalfOpen() {
    halfOpen_.clear();
    for (const CConnectionRecord& record : current_) {
        if (record.state == TcpState::SynReceived && record.inode == 0 && record.cookie != 0 &&
            !loggedLive_.contains(record.cookie)) {
            halfOpen_.emplace(TupleOf(record), record.cookie);
        }
    }
}

void CConnectionTracker::AgeRecentEnds() {
    while (!recentOrder_.empty()) {
        const auto found = recentEnds_.find(recentOrder_.front());
        if (found != recentEnds_.end() && dumps_ - found->second.generation < kRecentEndDumps) {
            return;
        }
        if (found != recentEnds_.end()) {
            recentEnds_.erase(found);
        }
        recentOrder_.pop_front();
    }
}

void CConnectionTracker::ExpireTimeWait(std::time_t now) {
    bool removed = false;
    while (!timeWaitSince_.empty() && now - timeWaitSince_.front().first >= kTimeWaitSeconds) {
        const std::uint64_t cookie = timeWaitSince_.front().second;
        timeWaitSince_.pop_front();
        const auto live = liveIndex_.find(cookie);
        if (live == liveIndex_.end() || current_[live->second].state != TcpState::TimeWait) {
            continue;
        }
        Emit(RowOp::Kind::Delete, current_[live->second]);
        RememberEndedByEvent(cookie, now);
        RemoveLive(live->second);
        removed = true;
    }
    if (removed) {
        list_.LiveCount(current_.size());
    }
}

}  // namespace tarvik
