#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "acquisition/Address.h"
#include "scan/AlertRateLimiter.h"
#include "scan/ProtectedAddresses.h"
#include "scan/ScanCounter.h"

namespace tarvik {

// [ScanWatch] block: what happens to a host that raised an alert.
enum class BlockMode { Off = 0, Block = 1, DryRun = 2 };

// Runs a batch of nftables commands; through libnftables in the program, a recorder in tests.
class INftRunner {
public:
    virtual ~INftRunner() = default;
    // True when the whole batch was applied; otherwise false with nftables' reason.
    virtual bool Run(const std::string& commands, std::string* error) = 0;
};

// The runner over libnftables, or one that always refuses (with the reason) when the program was
// built without it.
std::unique_ptr<INftRunner> MakeSystemNftRunner();

// The commands that (re)create Tarvik's own table: one set of addresses per family with
// per-element timeouts, and an input chain that drops what they hold. A stale table left by a
// crash is replaced in the same batch.
std::string BlockTableCommands();
std::string RemoveBlockTableCommands();
// The command that blocks `address` for `timeoutSeconds`; nullopt for text that is no IPv4 or
// IPv6 address (so that nothing else can reach the command line).
std::optional<std::string> BlockAddressCommand(const std::string& address, int timeoutSeconds);

// True for sources no packet can truly come from, or that stand for many hosts: the unspecified,
// loopback, multicast and reserved addresses and the IPv4 broadcast (also IPv4-mapped).
bool IsMartianSource(const std::string& address);

// What the settings say about blocking one alerting host.
struct BlockPolicy {
    AddressRanges ignored;      // [ScanWatch] ignorehosts: never blocked
    bool blockProbes = false;   // [ScanWatch] blockprobes: also hosts seen in probes alone
    int timeoutSeconds = 3600;  // [ScanWatch] blocktimeout
};

// Blocks alerting hosts in a table Tarvik owns: created by Start, removed by Stop. Since the
// source of a probe can be forged, only hosts that completed a connection are blocked unless
// the policy says otherwise, and never an ignored host, a martian source or this host's own
// infrastructure (its addresses, broadcast addresses, gateways and name servers). At most
// kBlocksPerMinute hosts a minute and kMaxBlocked at a time are blocked; the others are told in
// one summary a minute. Touched by the scan watcher's thread only.
class CHostBlocker {
public:
    using Say = std::function<void(const std::string&)>;
    using Clock = std::chrono::steady_clock;
    static constexpr int kBlocksPerMinute = 30;
    static constexpr std::size_t kMaxBlocked = 1000;

    CHostBlocker(std::unique_ptr<INftRunner> runner, Say say,
                 CProtectedAddresses::Reader infrastructure = ReadInfrastructureAddresses);
    ~CHostBlocker();

    CHostBlocker(const CHostBlocker&) = delete;
    CHostBlocker& operator=(const CHostBlocker&) = delete;

    // Takes the mode (and creates the table for Block). A table that cannot be made (no
    // CAP_NET_ADMIN, no nftables) is said once, with the reason, and blocking stays off. The
    // first call with blocking off removes a table an earlier run left behind.
    void Configure(BlockMode mode);
    // The alert's host, for the policy's timeout, when the policy and the caps allow it.
    void OnAlert(const ScanFinding& finding, const BlockPolicy& policy,
                 Clock::time_point now = Clock::now());
    // Says the summary of the hosts the caps held back, once their minute is over.
    void Flush(Clock::time_point now = Clock::now());
    // Removes the table, if this blocker made it.
    void Stop();

    bool Active() const { return tableMade_; }

private:
    bool MayBlock(const ScanFinding& finding, const BlockPolicy& policy, Clock::time_point now);
    bool Admit(const std::string& host, Clock::time_point now);
    std::string Prefix() const;

    std::unique_ptr<INftRunner> runner_;
    Say say_;
    CProtectedAddresses infrastructure_;
    CAlertRateLimiter limiter_;
    // The hosts in the set (or, in a dry run, said), until their timeout ends.
    std::unordered_map<std::string, Clock::time_point> blockedUntil_;
    BlockMode mode_ = BlockMode::Off;
    bool configured_ = false;
    bool tableMade_ = false;
    bool refusalSaid_ = false;
};

}  // namespace tarvik
