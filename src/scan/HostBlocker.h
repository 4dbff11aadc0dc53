#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// True for 127.0.0.0/8, ::1, the any-addresses and IPv4-mapped loopback: never blocked.
bool IsLoopbackOrAny(const std::string& address);

// Blocks alerting hosts in a table Tarvik owns: created by Start, removed by Stop. Loopback and
// the ignored hosts are never blocked. Touched by the scan watcher's thread only.
class CHostBlocker {
public:
    using Say = std::function<void(const std::string&)>;

    CHostBlocker(std::unique_ptr<INftRunner> runner, Say say);
    ~CHostBlocker();

    CHostBlocker(const CHostBlocker&) = delete;
    CHostBlocker& operator=(const CHostBlocker&) = delete;

    // Takes the mode (and creates the table for Block). A table that cannot be made (no
    // CAP_NET_ADMIN, no nftables) is said once, with the reason, and blocking stays off.
    void Configure(BlockMode mode);
    // The alert's host, for `timeoutSeconds`, unless it is loopback or ignored.
    void OnAlert(const std::string& host, int timeoutSeconds,
                 const std::vector<std::string>& ignoreHosts);
    // Removes the table, if this blocker made it.
    void Stop();

    bool Active() const { return tableMade_; }

private:
    std::unique_ptr<INftRunner> runner_;
    Say say_;
    BlockMode mode_ = BlockMode::Off;
    bool tableMade_ = false;
    bool refusalSaid_ = false;
};

}  // namespace tarvik
