#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "base/UniqueFd.h"
#include "base/WaitSet.h"

namespace tarvik {

// What a client of the control socket may do: read (status, list, follow) or also change
// (reload).
enum class ControlAccess { None, Read, Admin };

// The peer of a control connection as the kernel saw it when it connected.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

// Who may use the socket: root changes; the daemon's own user too (it could signal the daemon
// anyway); members of the reading group read; everybody else is refused.
struct AccessPolicy {
    uid_t owner = 0;                   // the daemon's effective user
    std::optional<gid_t> readerGroup;  // the "tarvik" group, when it exists
};
ControlAccess DecideAccess(const PeerCredentials& peer, const AccessPolicy& policy);
// The policy of this process: its effective user and the "tarvik" group.
AccessPolicy LocalAccessPolicy();

using AccessCheck = std::function<ControlAccess(const PeerCredentials&)>;

// What the daemon tells in a status answer.
struct ControlStatus {
    std::string acquisition;        // "events", "destroy" or "poll"
    std::string acquisitionReason;  // why that one
    bool probeSensing = false;
    std::string probeReason;
    std::size_t listening = 0;  // live connections by category
    std::size_t inbound = 0;
    std::size_t outbound = 0;
    std::size_t unknown = 0;
    std::uint64_t alerts = 0;
    std::chrono::seconds uptime{0};
};

// The daemon as the control socket sees it. Called on the socket's own thread.
class IControlSource {
public:
    virtual ~IControlSource() = default;
    // The live set, as --list gives it.
    virtual std::vector<CConnectionRecord> Rows() = 0;
    virtual ControlStatus Status() = 0;
    // Rereads the settings; the reason when that failed.
    virtual std::optional<std::string> Reload() = 0;
};

struct ControlLimits {
    std::size_t maxClients = 64;
    std::size_t maxRequestBytes = 64 * 1024;
    // Bytes waiting for one client before event lines for it are dropped.
    std::size_t queueBytes = 1024 * 1024;
};

// What the server holds now, for the metrics and for tests.
struct ControlStats {
    std::size_t clients = 0;
    std::size_t followers = 0;
    std::size_t queuedBytes = 0;      // all clients together
    std::size_t peakClientBytes = 0;  // the most one client ever had waiting
    std::uint64_t dropped = 0;        // event lines dropped for slow followers
};

// The control socket of the daemon: JSON Lines requests ("status", "list", "follow",
// "reload") from up to `maxClients` local clients at once, answered and served from one
// thread of its own. Event lines are made once and shared by every follower's queue; a
// follower that does not read loses lines, never the daemon's memory.
class CControlServer {
public:
    // `listener`: a listening, non-blocking Unix stream socket.
    CControlServer(UniqueFd listener, IControlSource& source, AccessCheck access,
                   ControlLimits limits = {});
    ~CControlServer();
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    // One event line (without its line end) for every follower. Any thread.
    void Publish(std::string line);

    ControlStats Stats() const;

private:
    struct Slot;

    void Run();
    void Accept();
    void Refuse(UniqueFd fd, const std::string& code, const std::string& reason);
    void Read(Slot& slot);
    void HandleRequests(Slot& slot);
    void Handle(Slot& slot, const std::string& request);
    void Answer(Slot& slot, std::string line);  // under mutex_
    void Fail(Slot& slot, const std::string& code, const std::string& reason);
    void StartList(Slot& slot);
    void Flush(Slot& slot);       // under mutex_
    void FillList(Slot& slot);    // under mutex_
    void ReportLoss(Slot& slot);  // under mutex_
    bool Busy(const Slot& slot) const;
    void Serve(Slot& slot);
    void Close(Slot& slot);
    void UpdateInterest(Slot& slot);

    IControlSource& source_;
    AccessCheck access_;
    ControlLimits limits_;
    UniqueFd listener_;
    CWaitSet waits_;
    WaitKey listenKey_{};
    WaitKey retryTimer_{};
    std::vector<std::unique_ptr<Slot>> slots_;  // fixed, one per client place

    mutable std::mutex mutex_;  // the queues and flags of the slots, and the counts below
    std::size_t peakClientBytes_ = 0;
    std::uint64_t dropped_ = 0;

    // The last listing, shared by list requests that come close together.
    std::shared_ptr<const std::vector<CConnectionRecord>> listing_;
    std::chrono::steady_clock::time_point listingTime_{};

    std::thread thread_;
};

// The status answer line.
std::string StatusLine(const ControlStatus& status);
// An error answer: {"error": reason, "code": code}.
std::string ErrorLine(const std::string& code, const std::string& reason);

}  // namespace tarvik
