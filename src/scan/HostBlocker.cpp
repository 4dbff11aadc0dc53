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

bool IsLoopbackOrAny(const std::string& address) {
    in_addr v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        const std::uint32_t host = ntohl(v4.s_addr);
        return (host >> 24) == 127 || host == 0;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6) && (v6.s6_addr[12] == 127 || v6.s6_addr32[3] == 0);
    }
    return false;
}

CHostBlocker::CHostBlocker(std::unique_ptr<INftRunner> runner, Say say)
    : runner_(std::move(runner)), say_(std::move(say)) {}

CHostBlocker::~CHostBlocker() {
    Stop();
}

void CHostBlocker::Configure(BlockMode mode) {
    mode_ = mode;
    if (mode_ != BlockMode::Block) {
        Stop();
        return;
    }
    if (tableMade_) {
        return;
    }
    std::string error;
    if (runner_->Run(BlockTableCommands(), &error)) {
        tableMade_ = true;
        refusalSaid_ = false;
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

void CHostBlocker::OnAlert(const std::string& host, int timeoutSeconds,
                           const std::vector<std::string>& ignoreHosts) {
    if (mode_ == BlockMode::Off || IsLoopbackOrAny(host) ||
        std::find(ignoreHosts.begin(), ignoreHosts.end(), host) != ignoreHosts.end()) {
        return;
    }
    const std::optional<std::string> command = BlockAddressCommand(host, timeoutSeconds);
    if (!command) {
        return;
    }
    const std::string seconds = std::to_string(std::max(1, timeoutSeconds));
    if (mode_ == BlockMode::DryRun) {
        say_("scan response (dry run): would block " + host + " for " + seconds + " s");
        return;
    }
    if (!tableMade_) {
        return;
    }
    std::string error;
    say_(runner_->Run(*command, &error)
             ? "scan response: blocked " + host + " for " + seconds + " s"
             : "scan response: could not block " + host + ": " + error);
}

void CHostBlocker::Stop() {
    if (!tableMade_) {
        return;
    }
    tableMade_ = false;
    std::string error;
    if (!runner_->Run(RemoveBlockTableCommands(), &error)) {
        say_("scan response: could not remove the block table: " + error);
    }
}

}  // namespace tarvik
