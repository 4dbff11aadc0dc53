#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "tracking/ConnectionList.h"
#include "tracking/Events.h"
#include "tracking/SnapshotKept.h"

namespace tarvik {

// The view settings that decide whether a connection is shown, read afresh for every entry.
struct ViewFilter {
    int netIf = -1;  // index into `interfaces`; -1 for all interfaces
    std::shared_ptr<const std::vector<std::string>> interfaces;
    int showListening = 1;
    int showInbound = 1;
    int showOutbound = 1;
    int showUnknown = 1;
    int reverseLookup = 0;
};

// Whether a socket in `from` can later be in `to`: states only move on from open to gone, so a
// read or notice older than what is known never moves a connection back.
bool StateMovesOn(TcpState from, TcpState to);

// A connection of the live set: its record, and whether the view filter lets the list show it.
struct LiveRecord : CConnectionRecord {
    bool visible = false;
};
// The flag sits in the record's tail padding: the live set is as large as the table.
static_assert(sizeof(LiveRecord) == sizeof(CConnectionRecord));

// What the tracker tells the other workers.
using TrackerNews = std::variant<NewInbound, ResolveHost, ConnectionEnded>;

// What the tracker needs from the program around it: settings, publishing, trace and the clock.
class ITrackerHost {
public:
    virtual ~ITrackerHost() = default;
    virtual ViewFilter ReadFilter() = 0;
    virtual void Publish(TrackerNews news) = 0;
    virtual void Trace(std::string_view text) = 0;
    virtual std::time_t Now() = 0;
    // A whole batch is handled (a snapshot, a batch of notices, a name): a host that holds
    // what it publishes sends it now, before the list hears that the batch is done.
    virtual void EndOfBatch() {}
};

// Merges snapshots of the connection table into the live set. Every snapshot entry is matched
// against the previous live set through a key index, so a merge of n rows costs O(n); among
// records with the same key the earliest in the previous order is matched first. The key is the
// kernel's socket cookie where there is one, else address, interface and both ports.
//
// Host names are asked for once per remote address while the address is in the live set, and
// an answer touches only the records of its address whose name it changes; a connection that
// appears after the answer gets the name at once.
class CConnectionTracker {
public:
    CConnectionTracker(ITrackerHost& host, IConnectionList& list);

    // One whole snapshot: its kept rows, then its new and changed rows, then the ends of what it
    // no longer holds. Its in-flight token is released once the list has the merge.
    void MergeSnapshot(Snapshot snapshot);

    // The steps of MergeSnapshot, for tests that feed a snapshot piece by piece.
    void BeginSnapshot();
    void AddEntry(CConnectionRecord entry);
    // Rows the poller sent last time and that are unchanged: their records are carried over by
    // cookie, with the view filter applied afresh. A row not known here is added from the row.
    void AddKept(const SnapshotKept& kept);
    void EndSnapshot();

    // The kernel's notices between two snapshots, oldest first; O(1) each. A notice of a
    // connection the last snapshots or notices ended already is ignored, and a dump's entry for
    // a socket a notice ended (its TIME_WAIT remains) is not taken for a new connection.
    void ApplyEvents(ConnectionEvents events);

    // TIME_WAIT rows the notices made (the kernel sends no notice when one expires) leave the
    // live set this long after their end, unless a dump removes them sooner.
    static constexpr std::time_t kTimeWaitSeconds = 60;

    // Sets the lower-cased name on every current record with that address, and on later new
    // connections from it while it stays in the live set.
    void ApplyHostName(std::string name, const std::string& ipAddress);

    // Logs the ends that wait for their notice as they are (at the quit: nothing is lost).
    void LogAwaitedEnds();
    // Ends a dump saw while the kernel's notice with their last byte counts was still on its way.
    std::size_t AwaitedEnds() const { return awaitingNotice_.size(); }

    // Remote addresses whose request or name the tracker remembers; kept within a small
    // multiple of the live set.
    std::size_t KnownAddresses() const { return addresses_.size(); }
    // Cookies of ended sockets kept to recognise a late notice of them; each is forgotten
    // two dumps and kEndMemorySeconds after its end.
    std::size_t RememberedEnds() const;

    // The live set (between BeginSnapshot and EndSnapshot: the records placed so far, then
    // those of the last set not yet matched).
    const std::vector<LiveRecord>& Current() const { return current_; }
    bool InSnapshot() const { return inSnapshot_; }

private:
    struct KeyView {
        std::uint64_t cookie;  // when non-zero, the whole key
        std::string_view ipAddress;
        std::string_view interfaceText;
        int localPort;
        int remotePort;

        bool operator==(const KeyView& other) const {
            if (cookie != 0 || other.cookie != 0) {
                return cookie == other.cookie;
            }
            return ipAddress == other.ipAddress && interfaceText == other.interfaceText &&
                   localPort == other.localPort && remotePort == other.remotePort;
        }
    };
    // What the tracker knows about one remote address.
    struct AddressInfo {
        bool asked = false;               // a name was requested
        std::optional<std::string> name;  // the lower-cased answer, once it came
    };
    // One key of the index: the not yet matched records of the last set with that key, as a chain
    // in list order from head to tail through nextSameKey_. The index is a flat open-addressing
    // table rebuilt for every snapshot; a key whose chain is used up stays as a tombstone.
    // Positions are 32 bits: the index is rebuilt for every snapshot and is as large as the
    // table, so it is kept small.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    static constexpr std::uint32_t kEmpty = static_cast<std::uint32_t>(-1);
    static constexpr std::uint32_t kGone = kEmpty - 1;
    struct Slot {
        std::uint32_t hash = 0;  // the low bits of the key's hash
        std::uint32_t head = kEmpty;
        std::uint32_t tail = kEmpty;
    };

    // The addresses and ports of a connection: while a socket lives no other has the same. A
    // connection's TIME_WAIT remains may carry another cookie than its full socket did (the
    // kernel makes a cookie when first asked), so its end is recognised by these as well.
    struct Tuple {
        AddressFamily family = AddressFamily::Ipv4;
        AddressBytes local{};
        AddressBytes remote{};
        int localPort = 0;
        int remotePort = 0;
        bool operator==(const Tuple&) const = default;
    };
    struct TupleHash {
        std::size_t operator()(const Tuple& tuple) const;
    };
    // An end logged from one identity of a connection, kept for a few dumps to recognise the
    // other: the remains a dump shows after a notice, or the notice after a dump's remains.
    struct RecentEnd {
        std::uint64_t cookie = 0;
        int id = 0;
        std::time_t openTime = 0;
        std::time_t closeTime = 0;
        std::uint64_t generation = 0;  // the dump count when it was logged
    };

    // Notes a new connection for the scan watcher when it is inbound; sent at the batch's end.
    void NoteForScan(const CConnectionRecord& record);
    static std::size_t Hash(const KeyView& key);
    // The slot of the key, or the empty slot where it would go.
    Slot& FindSlot(const KeyView& key, std::size_t hash);
    static KeyView ViewOf(const CConnectionRecord& record);
    bool IsVisible(const CConnectionRecord& record, const ViewFilter& filter) const;
    std::size_t TakeMatch(const KeyView& key);
    void CarryOver(std::size_t index, const CConnectionRecord& entry, bool visible);
    // The byte counts of a later read of the same socket; true when they changed the record's.
    static bool TakeCounts(CConnectionRecord& known, const CConnectionRecord& read);
    void KeepOver(std::size_t index, const ViewFilter& filter);
    // Makes room in the live set for `more` records; Append adds one at its end.
    void MakeRoom(std::size_t more);
    LiveRecord& Append(LiveRecord record);
    // Moves record `number` of the last set, or a new one, to the next place of the new set.
    LiveRecord& Place(std::size_t number);
    LiveRecord& PlaceNew(LiveRecord record);
    // A new record joins the live set: at the next place within a snapshot, else at its end.
    LiveRecord& Admit(CConnectionRecord record, bool visible);
    void AddNew(CConnectionRecord entry, const ViewFilter& filter, std::time_t openTime);
    // The ends' side (ConnectionTrackerEnds.cpp): every end goes to the list and the logger
    // through LogEnd, at most once per kernel socket, never before its open.
    static Tuple TupleOf(const CConnectionRecord& record);
    void LogEnd(CConnectionRecord ended, std::time_t when);
    // An end a dump saw. Where notices tell ends, the socket's notice, which carries its last
    // byte counts, may be a moment behind the dump: the end waits for it until the next dump
    // (or two seconds of notices), then goes as the dump saw it.
    void LogEndOfDump(CConnectionRecord ended, std::time_t when);
    // The notice of an awaited end: logged now, with the notice's counts.
    void SettleAwaitedEnd(std::uint64_t cookie, const CConnectionRecord& notice);
    // Those that waited long enough.
    void LogOverdueEnds(std::time_t noticeTime);
    // The record enters TIME_WAIT at `when`: its end is logged now, unless it was already.
    void EnterTimeWait(CConnectionRecord& record, std::time_t when);
    bool EndLogged(const CConnectionRecord& record) const;
    // A dump shows a known socket closed on this side, though no notice said so.
    void NoteClosedHere(CConnectionRecord& known, const CConnectionRecord& entry);
    // A new record first seen closed on this side ended since the last read and is logged at
    // once; in the first dump after the start it ended before it, and is neither opened nor
    // logged.
    enum class FirstSight { Open, EndedNow, EndedBeforeStart };
    FirstSight FirstSightOf(const CConnectionRecord& record) const;
    void NoteFirstSight(const CConnectionRecord& added, FirstSight sight, std::time_t openTime);
    void RememberEnd(const CConnectionRecord& logged);
    // A dump's row of a connection whose end a notice logged under another cookie: it joins the
    // live set as that connection's TIME_WAIT remains, neither opened nor logged again.
    bool TakeRemains(CConnectionRecord& entry, const ViewFilter& filter);
    // A notice of an end a dump's remains logged already under another cookie: that cookie.
    std::optional<std::uint64_t> EndOfRemains(const CConnectionRecord& ended);
    void AgeRecentEnds();
    // A new connection whose handshake a dump saw half done under another cookie: that record
    // stands for the same connection and is never logged on its own.
    void SupersedeHalfOpen(const CConnectionRecord& added);
    void NoteHalfOpen();
    void ExpireTimeWait(std::time_t now);
    // The time of the open snapshot's read, or the tracker's clock for a sender that gave none.
    std::time_t SnapshotTime() const;
    // The notices' side: a cookie index of current_, kept in step by the functions below.
    void EnsureLiveIndex();
    void ApplyChanged(ConnectionEvent& event, const ViewFilter& filter);
    void ApplyOwner(const ConnectionEvent& event);
    void ApplyEnded(ConnectionEvent& event);
    static void TakeOwner(CConnectionRecord& record, const CConnectionRecord& owner);
    void EndUnseen(ConnectionEvent& event);
    void RemoveLive(std::size_t index);
    bool EndedBefore(std::uint64_t cookie) const;
    void RememberEndedByEvent(std::uint64_t cookie, std::time_t when);
    void RememberEndedLately(std::uint64_t cookie, std::time_t when);
    void ForgetEndedBefore(std::time_t now);
    // A dump's entry of a socket a notice ended; remembered while dumps still show it.
    bool EndedByEvent(const CConnectionRecord& entry);
    void NoteEndedBySnapshot(std::uint64_t cookie);
    void AfterSnapshotForEvents();
    // Names the records of current_ from their addresses' answers.
    void NameRows(const std::vector<std::size_t>& rows, const std::string& name);
    void ApplyNamesOfSnapshot();
    const std::vector<std::size_t>& RowsOf(const std::string& ipAddress);
    void ForgetEndedAddresses();
    void BuildIndex();
    void Emit(RowOp::Kind kind, const LiveRecord& record);
    // The row's update, and the news of the change for event streams unless the change was the
    // end (TIME_WAIT), which was told as one.
    void EmitChanged(const LiveRecord& record);
    void TellUpdatesOfBatch();
    void Flush();

    ITrackerHost& host_;
    IConnectionList& list_;
    int nextId_ = 1;
    bool inSnapshot_ = false;
    // The merging snapshot's token: the poller reads no table while it lives.
    std::shared_ptr<const SnapshotInFlight> inFlight_;
    // In a snapshot: [0, placed_) the new set in snapshot order, then the records of the last
    // set not yet matched. A record of the last set is known by its number, its position at
    // the begin: where_[number] is its position now, numberAt_[position] the reverse.
    std::vector<LiveRecord> current_;
    std::size_t placed_ = 0;
    std::vector<std::uint32_t> where_;
    std::vector<std::uint32_t> numberAt_;
    std::vector<bool> matched_;
    std::vector<std::uint32_t> nextSameKey_;
    std::vector<Slot> index_;
    std::vector<RowOp> pending_;
    // Within a batch of notices, the cookies of records that changed: told once each at its end,
    // so a short connection's passing states, or its change before an end in the same batch, make
    // no update lines.
    bool batchingUpdates_ = false;
    std::vector<std::uint64_t> updatedInBatch_;
    std::vector<InboundConnection> newInbound_;  // the batch's, for the scan watcher
    std::unordered_map<std::string, AddressInfo> addresses_;
    std::size_t addressesAfterForget_ = 0;
    // Addresses answered while a snapshot was open; named in one pass when it ends.
    std::vector<std::string> answeredInSnapshot_;
    // Rows of current_ by address, made when an answer needs it; void once current_ changes.
    std::unordered_map<std::string_view, std::vector<std::size_t>> rowsByAddress_;
    bool rowsByAddressValid_ = false;

    std::unordered_map<std::uint64_t, std::size_t> liveIndex_;  // cookie -> row of current_
    bool liveIndexValid_ = false;
    // Cookies the last two snapshots ended: their late notices are not logged again. Kept
    // before any notice came, since the first may be of a socket the first dumps ended.
    std::unordered_set<std::uint64_t> endedBySnapshot_;
    std::unordered_set<std::uint64_t> endedBySnapshotBefore_;
    std::unordered_set<std::uint64_t> endingInSnapshot_;  // the open snapshot's
    // Cookies notices ended, and those of them the open snapshot still showed.
    std::unordered_set<std::uint64_t> endedByEvent_;
    std::unordered_set<std::uint64_t> endedByEventSeen_;
    // Every cookie ended in the last kEndMemorySeconds, whatever told it: a notice can come
    // that late (the reset-end pairing holds a half for seconds), and must not log it again.
    static constexpr std::time_t kEndMemorySeconds = 30;
    std::unordered_set<std::uint64_t> endedLately_;
    std::deque<std::pair<std::time_t, std::uint64_t>> endedLatelyOrder_;

    // Live records whose end is logged though they are not in TIME_WAIT (remains in FIN_WAIT2).
    std::unordered_set<std::uint64_t> loggedLive_;
    // Those of them the first dump showed: ended before the start unless a notice says later.
    std::unordered_set<std::uint64_t> closedAtStart_;
    // Half-open connections a dump showed (the kernel's request sockets, by their addresses):
    // the socket that completes the handshake has a cookie of its own.
    std::unordered_map<Tuple, std::uint64_t, TupleHash> halfOpen_;
    std::unordered_map<Tuple, RecentEnd, TupleHash> recentEnds_;
    std::deque<Tuple> recentOrder_;  // oldest first, for aging in O(1) per end
    std::uint64_t dumps_ = 0;        // snapshots ended; the first one sees a table from before
    std::time_t snapshotTime_ = 0;   // the open snapshot's read time, once a kept part told it
    // Cookies the notices moved into TIME_WAIT, with that time: the kernel tells no expiry.
    std::deque<std::pair<std::time_t, std::uint64_t>> timeWaitSince_;
    // Whether notices tell ends here (a notice of an end came): then a dump's ends wait.
    bool noticesTellEnds_ = false;
    struct AwaitedEnd {
        CConnectionRecord record;
        std::time_t when = 0;    // the dump's time, the end's close
        std::uint64_t dump = 0;  // dumps_ when the dump saw it
    };
    std::unordered_map<std::uint64_t, AwaitedEnd> awaitingNotice_;  // by the dump's cookie
};

}  // namespace tarvik
