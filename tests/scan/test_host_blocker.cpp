#include "scan/HostBlocker.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tarvik {
namespace {

// Keeps every batch; refuses them all when told to.
class RecordingRunner : public INftRunner {
public:
    explicit RecordingRunner(std::vector<std::string>& batches, bool refuse = false)
        : batches_(batches), refuse_(refuse) {}
    bool Run(const std::string& commands, std::string* error) override {
        batches_.push_back(commands);
        if (refuse_) {
            *error = "Operation not permitted";
        }
        return !refuse_;
    }

private:
    std::vector<std::string>& batches_;
    bool refuse_;
};

TEST(HostBlockerText, OnlyAddressesReachTheCommandLine) {
    EXPECT_EQ(BlockAddressCommand("192.0.2.7", 3600),
              "add element inet tarvik blocked4 { 192.0.2.7 timeout 3600s }\n");
    EXPECT_EQ(BlockAddressCommand("2001:DB8::7", 60),
              "add element inet tarvik blocked6 { 2001:db8::7 timeout 60s }\n");
    EXPECT_EQ(BlockAddressCommand("192.0.2.7", 0),
              "add element inet tarvik blocked4 { 192.0.2.7 timeout 1s }\n");
    for (const char* hostile : {"192.0.2.7 }; flush ruleset; add element inet tarvik blocked4 {",
                                "host.example.org", "", "192.0.2.7\n", "::1%lo"}) {
        EXPECT_EQ(BlockAddressCommand(hostile, 60), std::nullopt) << hostile;
    }
}

TEST(HostBlockerText, LoopbackAndAnyAddressesAreNeverBlocked) {
    for (const char* address :
         {"127.0.0.1", "127.1.2.3", "0.0.0.0", "::1", "::", "::ffff:127.0.0.1"}) {
        EXPECT_TRUE(IsLoopbackOrAny(address)) << address;
    }
    for (const char* address : {"192.0.2.7", "10.0.0.1", "2001:db8::1", "::ffff:192.0.2.7"}) {
        EXPECT_FALSE(IsLoopbackOrAny(address)) << address;
    }
}

TEST(HostBlockerTest, BlocksAlertingHostsInItsOwnTableAndRemovesItAtTheStop) {
    std::vector<std::string> batches;
    std::vector<std::string> said;
    {
        CHostBlocker blocker(std::make_unique<RecordingRunner>(batches),
                             [&said](const std::string& text) { said.push_back(text); });
        blocker.Configure(BlockMode::Block);
        ASSERT_EQ(batches, std::vector<std::string>{BlockTableCommands()});
        blocker.OnAlert("192.0.2.7", 3600, {});
        blocker.OnAlert("127.0.0.1", 3600, {});  // loopback
        blocker.OnAlert("::1", 3600, {});
        blocker.OnAlert("198.51.100.9", 3600, {"198.51.100.9"});  // ignored host
        EXPECT_EQ(batches.size(), 2u);
        EXPECT_EQ(batches.back(), *BlockAddressCommand("192.0.2.7", 3600));
        EXPECT_EQ(said, std::vector<std::string>{"scan response: blocked 192.0.2.7 for 3600 s"});
    }  // destroyed: the table goes
    EXPECT_EQ(batches.back(), RemoveBlockTableCommands());
}

TEST(HostBlockerTest, DryRunOnlySaysWhatItWouldBlock) {
    std::vector<std::string> batches;
    std::vector<std::string> said;
    CHostBlocker blocker(std::make_unique<RecordingRunner>(batches),
                         [&said](const std::string& text) { said.push_back(text); });
    blocker.Configure(BlockMode::DryRun);
    blocker.OnAlert("192.0.2.7", 60, {});
    blocker.OnAlert("127.0.0.1", 60, {});
    EXPECT_TRUE(batches.empty());
    EXPECT_EQ(said,
              std::vector<std::string>{"scan response (dry run): would block 192.0.2.7 for 60 s"});
}

TEST(HostBlockerTest, WithoutThePrivilegeItSaysWhyOnceAndBlocksNothing) {
    std::vector<std::string> batches;
    std::vector<std::string> said;
    CHostBlocker blocker(std::make_unique<RecordingRunner>(batches, true),
                         [&said](const std::string& text) { said.push_back(text); });
    blocker.Configure(BlockMode::Block);
    blocker.Configure(BlockMode::Block);  // a reload tries again, silently
    blocker.OnAlert("192.0.2.7", 60, {});
    EXPECT_FALSE(blocker.Active());
    EXPECT_EQ(batches.size(), 2u);  // the two table attempts, no element
    ASSERT_EQ(said.size(), 1u);
    EXPECT_NE(said[0].find("CAP_NET_ADMIN"), std::string::npos) << said[0];
    EXPECT_NE(said[0].find("Operation not permitted"), std::string::npos) << said[0];
}

std::string CommandOutput(const char* command) {
    std::string output;
    const std::unique_ptr<FILE, decltype(&::pclose)> pipe(::popen(command, "r"), &::pclose);
    if (!pipe) {
        return output;
    }
    std::array<char, 512> chunk{};
    while (std::fgets(chunk.data(), chunk.size(), pipe.get()) != nullptr) {
        output += chunk.data();
    }
    return output;
}

// In a network namespace of its own, so the machine's firewall is never touched. Exit codes:
// 0 passed, 77 no namespace, 78 nftables refused, others a failed check.
int BlockInPrivateNamespace() {
    if (::unshare(CLONE_NEWNET) != 0) {
        return 77;
    }
    std::vector<std::string> said;
    {
        CHostBlocker blocker(MakeSystemNftRunner(),
                             [&said](const std::string& text) { said.push_back(text); });
        blocker.Configure(BlockMode::Block);
        if (!blocker.Active()) {
            std::fprintf(stderr, "%s\n", said.empty() ? "" : said[0].c_str());
            return 78;
        }
        blocker.OnAlert("192.0.2.7", 600, {});
        blocker.OnAlert("2001:db8::7", 600, {});
        blocker.OnAlert("127.0.0.1", 600, {});
        const std::string table = CommandOutput("nft list table inet tarvik 2>&1");
        if (table.find("192.0.2.7") == std::string::npos ||
            table.find("2001:db8::7") == std::string::npos ||
            table.find("127.0.0.1") != std::string::npos ||
            table.find("drop") == std::string::npos) {
            std::fprintf(stderr, "unexpected table:\n%s\n", table.c_str());
            return 1;
        }
    }
    const std::string after = CommandOutput("nft list tables 2>&1");
    return after.find("tarvik") == std::string::npos ? 0 : 2;
}

TEST(HostBlockerTest, RealTableInAPrivateNetworkNamespace) {
    if (CommandOutput("command -v nft").empty()) {
        GTEST_SKIP() << "nft is not installed, so the table cannot be listed";
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(BlockInPrivateNamespace());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no network namespace can be made here (needs CAP_SYS_ADMIN)";
    }
    if (WEXITSTATUS(status) == 78) {
        GTEST_SKIP() << "nftables refused the table here (needs CAP_NET_ADMIN and nf_tables)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: blocked hosts missing from the table; 2: table left";
}

}  // namespace
}  // namespace tarvik
