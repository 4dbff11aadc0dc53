#include "scan/HostBlocker.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

#if TARVIK_HAVE_NFTABLES
#include <nftables/libnftables.h>
#endif

namespace tarvik {

namespace {

constexpr const char* kTable = "inet tarvik";

#if TARVIK_HAVE_NFTABLES
class CLibNftRunner : public INftRunner {
public:
    bool Run(const std::string& commands, std::string* error) override {
        const std::unique_ptr<nft_ctx, decltype(&::nft_ctx_free)> context(
            ::nft_ctx_new(NFT_CTX_DEFAULT), &::nft_ctx_free);
        if (!context) {
            *error = "nftables context could not be made";
            return false;
        }
        ::nft_ctx_buffer_output(context.get());
        ::nft_ctx_buffer_error(context.get());
        if (::nft_run_cmd_from_buffer(context.get(), commands.c_str()) == 0) {
            return true;
        }
        const char* reason = ::nft_ctx_get_error_buffer(context.get());
        *error = reason != nullptr && *reason != '\0' ? reason : "nftables refused the commands";
        while (!error->empty() && error->back() == '\n') {
            error->pop_back();
        }
        return false;
    }
};
#else
class CMissingNftRunner : public INftRunner {
public:
    bool Run(const std::string&, std::string* error) override {
        *error = "this Tarvik was built without nftables support";
        return false;
    }
};
#endif

}  // namespace

std::unique_ptr<INftRunner> MakeSystemNftRunner() {
#if TARVIK_HAVE_NFTABLES
    return std::make_unique<CLibNftRunner>();
#else
    return std::make_unique<CMissingNftRunner>();
#endif
}

std::string BlockTableCommands() {
    return std::string("add table ") + kTable + "\n" + "delete table " + kTable + "\n" +
           "add table " + kTable + "\n" + "add set " + kTable +
           " blocked4 { type ipv4_addr; flags timeout; }\n" + "add set " + kTable +
           " blocked6 { type ipv6_addr; flags timeout; }\n" + "add chain " + kTable +
           " input { type filter hook input priority -10; policy accept; }\n" + "add rule " +
           kTable + " input ip saddr @blocked4 drop\n" + "add rule " + kTable +
           " input ip6 saddr @blocked6 drop\n";
}

std::string RemoveBlockTableCommands() {
    return std::string("delete table ") + kTable + "\n";
}

std::optional<std::string> BlockAddressCommand(const std::string& address, int timeoutSeconds) {
    std::array<unsigned char, sizeof(in6_addr)> bytes{};
    std::array<char, INET6_ADDRSTRLEN> text{};
    const char* set = nullptr;
    if (::inet_pton(AF_INET, address.c_str(), bytes.data()) == 1) {
        set = "blocked4";
        ::inet_ntop(AF_INET, bytes.data(), text.data(), text.size());
    } else if (::inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1) {
        set = "blocked6";
        ::inet_ntop(AF_INET6, bytes.data(), text.data(), text.size());
    } else {
        return std::nullopt;
    }
    return std::string("add element ") + kTable + " " + set + " { " + text.data() + " timeout " +
           std::to_string(std::max(1, timeoutSeconds)) + "s }\n";
}

bool IsMartianSource(const std::string& address) {
    static const AddressRanges kMartians = ParseAddressRanges({
        "0.0.0.0/8",    // "this network", the unspecified address
        "127.0.0.0/8",  // loopback
        "224.0.0.0/4",  // multicast
        "240.0.0.0/4",  // reserved, and the broadcast 255.255.255.255
        "::/128",       // unspecified
        "::1/128",      // loopback
        "ff00::/8",     // multicast
    });
    return AnyContains(kMartians, address);
}

CHostBlocker::CHostBlocker(std::unique_ptr<INftRunner> runner, Say say,
                           CProtectedAddresses::Reader infrastructure)
    : runner_(std::move(runner)),
      say_(std::move(say)),
      infrastructure_(std::move(infrastructure)) {}

CHostBlocker::~CHostBlocker() {
    Stop();
}

void CHostBlocker::Configure(BlockMode mode) {
    const bool first = !configured_;
    configured_ = true;
    if (mode != mode_) {
        blockedUntil_.clear();
    }
    mode_ = mode;
    if (mode_ != BlockMode::Block) {
        if (tableMade_) {
            Stop();
        } else if (first) {
            // Bans a crashed or differently configured run left must not outlive it. Without
            // the privilege, or without such a table, this fails and changes nothing.
            std::string ignored;
            if (runner_->Run(RemoveBlockTableCommands(), &ignored)) {
                say_("scan response: removed the table of blocked hosts an earlier run left");
            }
        }
        return;
    }
    if (tableMade_) {
        return;
    }
    std::string error;
    if (runner_->Run(BlockTableCommands(), &error)) {
        tableMade_ = true;
        refusalSaid_ = false;
        blockedUntil_.clear();
        return;
    }
    if (!refusalSaid_) {
        refusalSaid_ = true;
        say_(
            "scan response: alerting hosts cannot be blocked (it needs CAP_NET_ADMIN and "
            "nftables): " +
            error);
    }
}

bool CHostBlocker::MayBlock(const ScanFinding& finding, const BlockPolicy& policy,
                            Clock::time_point now) {
    // A probe proves nothing about its source address: anyone can forge one.
    if (!finding.completedHandshake && !policy.blockProbes) {
        return false;
    }
    return !IsMartianSource(finding.host) && !AnyContains(policy.ignored, finding.host) &&
           !infrastructure_.Contains(finding.host, now);
}

bool CHostBlocker::Admit(const std::string& host, Clock::time_point now) {
    if (auto entry = blockedUntil_.find(host);
        entry != blockedUntil_.end() && entry->second > now) {
        return false;  // blocked already
    }
    if (blockedUntil_.size() >= kMaxBlocked) {
        std::erase_if(blockedUntil_, [now](const auto& entry) { return entry.second <= now; });
    }
    if (blockedUntil_.size() >= kMaxBlocked) {
        limiter_.HoldBack(host, now);
        return false;
    }
    return limiter_.Admit(host, kBlocksPerMinute, now);
}

std::string CHostBlocker::Prefix() const {
    return mode_ == BlockMode::DryRun ? "scan response (dry run): " : "scan response: ";
}

void CHostBlocker::OnAlert(const ScanFinding& finding, const BlockPolicy& policy,
                           Clock::time_point now) {
    if (mode_ == BlockMode::Off || (mode_ == BlockMode::Block && !tableMade_)) {
        return;
    }
    const std::optional<std::string> command =
        BlockAddressCommand(finding.host, policy.timeoutSeconds);
    if (!command || !MayBlock(finding, policy, now) || !Admit(finding.host, now)) {
        return;
    }
    const int timeout = std::max(1, policy.timeoutSeconds);
    const std::string seconds = std::to_string(timeout);
    blockedUntil_[finding.host] = now + std::chrono::seconds(timeout);
    if (mode_ == BlockMode::DryRun) {
        say_(Prefix() + "would block " + finding.host + " for " + seconds + " s");
        return;
    }
    std::string error;
    if (runner_->Run(*command, &error)) {
        say_(Prefix() + "blocked " + finding.host + " for " + seconds + " s");
        return;
    }
    blockedUntil_.erase(finding.host);
    say_(Prefix() + "could not block " + finding.host + ": " + error);
}

void CHostBlocker::Flush(Clock::time_point now) {
    const std::optional<CAlertRateLimiter::HeldBack> held = limiter_.TakeHeldBack(now);
    if (!held) {
        return;
    }
    say_(Prefix() + std::to_string(held->hosts) +
         (held->hosts == 1 ? " more host was not blocked" : " more hosts were not blocked") +
         " (at most " + std::to_string(kBlocksPerMinute) + " a minute and " +
         std::to_string(kMaxBlocked) + " at a time)" + NamedHostsText(held->hosts, held->named));
}

void CHostBlocker::Stop() {
    if (!tableMade_) {
        return;
    }
    tableMade_ = false;
    blockedUntil_.clear();
    std::string error;
    if (!runner_->Run(RemoveBlockTableCommands(), &error)) {
        say_("scan response: could not remove the block table: " + error);
    }
}

}  // namespace tarvik
