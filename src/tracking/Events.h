#pragma once

// What the workers publish to one another through the hub, by type. Each comment says who sends
// it, who takes it, and how it travels: moved into its one subscriber, copied when small, or
// shared immutable when several read it.
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "base/CompactText.h"
#include "tracking/SnapshotKept.h"

namespace tarvik {

// The refresh tick (the window's or the monitor's timer): the poller reads the table, the logger
// retries held lines. Empty, so copied to each.
struct Poll {};

// A classified change the kernel reported between two snapshots.
struct ConnectionEvent {
    enum class Kind {
        Changed,      // the connection entered `record.state`; may be new
        Ended,        // the connection is gone
        Owner,        // a process took the connection (accepted it): `record` names it (pid,
                      // command, user); its state is unchanged
        NoticesLost,  // the kernel dropped notices before these; a full read follows
    };
    Kind kind = Kind::Changed;
    CConnectionRecord record;
    std::time_t time = 0;  // when the kernel reported it
};
using ConnectionEvents = std::vector<ConnectionEvent>;

// The kernel's notices since the last batch, oldest first: poller to tracker, moved.
struct ConnectionNotices {
    ConnectionEvents events;
};

// Lives as long as the snapshot that holds it is neither merged nor dropped: the poller keeps a
// weak reference and reads no new table while it lives, so at most one snapshot is in flight.
struct SnapshotInFlight {};

// One read of the table: poller to tracker, moved. `rows` are the records of the new and changed
// rows in table order; `kept` the rows that are as the poller sent them last time. The tracker
// merges the whole value at once and releases `inFlight` once the list has the merge.
struct Snapshot {
    std::vector<CConnectionRecord> rows;
    SnapshotKept kept;
    std::shared_ptr<const SnapshotInFlight> inFlight;
};

// A new inbound connection as the scan counting sees it: who connected, and to which port.
struct InboundConnection {
    CompactText remoteAddress;  // the record's `ipAddress`
    int localPort = 0;
    // Past the handshake (not a half-open SYN_RECV entry, whose source may be forged).
    bool established = true;
    bool operator==(const InboundConnection&) const = default;
};

// The new inbound connections of one batch (a snapshot, a batch of notices, an accept of the
// bait listener), oldest first, for scan counting: tracker or bait listener to scan watcher,
// moved. Outbound, listening and unknown connections are never sent: the watcher counts none of
// them, and a first read of a large table would otherwise queue a value for every row.
struct NewInbound {
    std::vector<InboundConnection> connections;
};

// A remote address to name: tracker to reverse lookup, moved. One per address.
struct ResolveHost {
    std::string address;
};

// The name of an address: reverse lookup to tracker, moved. The tracker names every record of
// the address itself.
struct HostResolved {
    std::string address;
    std::string name;
};

// A connection ended, with its close time: tracker to logger. Shared immutable: it is the very
// record the list and the event stream were told of, copied to no one.
struct ConnectionEnded {
    std::shared_ptr<const CConnectionRecord> record;
};

}  // namespace tarvik
