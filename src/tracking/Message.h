#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "acquisition/ConnectionRecord.h"

namespace tarvik {

// Thread message numbers. Their values are part of the protocol between the workers.
enum MessageId : int {
    kMsgPoll = 4029,
    kMsgNoticesReady = 4039,  // the poller's own: its event source queued notices
    kMsgSnapshotBegin = 5024,
    kMsgSnapshotEnd = 5029,
    kMsgSnapshotEntry = 5034,
    kMsgConnectionEvents = 5039,  // wParam: the kernel's notices since the last tick
    kMsgResolveHost = 6024,
    kMsgHostResolved = 6034,
    kMsgReverseLookupOn = 6044,
    kMsgLogConnection = 7024,
    kMsgNewConnection = 8024,
    kMsgScanCheck = 8025,
    kMsgMemoryCheck = 8026,
    kMsgScanAlerted = 8027,  // wParam: a ScanAlertEvent, after the alert's channels ran
    kMsgScanSettingsChanged = 9025,
    kMsgQuit = 10024,
};

// What one scan alert saw, for the workers that report alerts beyond the alert's own channels
// (an event stream, metrics).
struct ScanAlertEvent {
    std::string remoteAddress;
    std::vector<int> localPorts;  // in the order they were first seen
    std::string kind;             // "connect", "SYN", "FIN", "NULL", "Xmas" or "mixed"
    std::time_t time = 0;
};

struct SnapshotKept;

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

// A message parameter: nothing, a connection record, a text, an alert, a batch of events or the
// kept rows of a snapshot. A
// broadcast hands the same parameter to several workers; exactly one of them (the one that handles
// the number) takes the object out. Whatever nobody takes is freed with the last copy of the
// parameter, so a failed post, a broadcast that reaches nobody or a number that no worker handles
// leaks nothing.
class Payload {
public:
    Payload() = default;

    static Payload Record(std::unique_ptr<CConnectionRecord> record);
    static Payload Record(CConnectionRecord record);
    static Payload Text(std::string text);
    static Payload Alert(ScanAlertEvent alert);
    static Payload Events(ConnectionEvents events);
    static Payload Kept(std::unique_ptr<SnapshotKept> kept);

    // The record, once; null when the payload holds no record or it was taken already.
    std::unique_ptr<CConnectionRecord> TakeRecord();
    // The text, once; null when the payload holds no text or it was taken already.
    std::unique_ptr<std::string> TakeText();
    // The alert, once; null when the payload holds no alert or it was taken already.
    std::unique_ptr<ScanAlertEvent> TakeAlert();
    // The events, once; null when the payload holds none or they were taken already.
    std::unique_ptr<ConnectionEvents> TakeEvents();
    // The kept rows of a snapshot, once; null when the payload holds none.
    std::unique_ptr<SnapshotKept> TakeKept();

    bool Empty() const { return box_ == nullptr; }

private:
    using Content = std::variant<std::monostate, std::unique_ptr<CConnectionRecord>,
                                 std::unique_ptr<std::string>, std::unique_ptr<ScanAlertEvent>,
                                 std::unique_ptr<ConnectionEvents>, std::unique_ptr<SnapshotKept>>;
    struct Box {
        std::mutex mutex;
        Content content;
    };
    explicit Payload(Content content);

    std::shared_ptr<Box> box_;
};

struct Message {
    int number = 0;
    Payload wParam;
    Payload lParam;
};

}  // namespace tarvik
