// tarvikctl against a real tarvikd with its control socket in a temporary folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/UniqueFd.h"
#include "e2e/ChildProcess.h"
#include "e2e/Waits.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::kEventDeadline;

class TarvikctlTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvikctl-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        chmod(folder_.c_str(), 0755);
        socket_ = (folder_ / "run" / "tarvikd.sock").string();
        daemon_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{TARVIKD_PATH, "--config", (folder_ / "T.conf").string(),
                                     "--acquisition", "poll", "--socket", socket_},
            ChildProcess::Options{std::nullopt, folder_.string(), false});
        ASSERT_TRUE(daemon_->WaitForError("tarvikd: started", kEventDeadline)) << daemon_->Errors();
    }
    void TearDown() override {
        if (daemon_) {
            EXPECT_EQ(daemon_->Stop(SIGTERM), 0) << daemon_->Errors();
            EXPECT_FALSE(std::filesystem::exists(socket_)) << "the socket is removed at the stop";
        }
        std::filesystem::remove_all(folder_);
    }
    struct Run {
        int exit;
        std::string output;
        std::string errors;
    };
    Run Ctl(std::vector<std::string> args, std::optional<uid_t> runAs = std::nullopt) {
        args.insert(args.begin(), {TARVIKCTL_PATH, "--socket", socket_});
        ChildProcess ctl(args, ChildProcess::Options{runAs, "/", true});
        const int exit = ctl.Wait(kEventDeadline);
        return {exit, ctl.Output(), ctl.Errors()};
    }

    std::filesystem::path folder_;
    std::string socket_;
    std::unique_ptr<ChildProcess> daemon_;
};

TEST_F(TarvikctlTest, AnswersStatusListAndReloadWithSystemExitCodes) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string inOutput;
    } cases[] = {
        {{"status"}, 0, "acquisition: poll"},
        {{"status", "--format=json"}, 0, "\"jsonVersion\":3"},
        {{"list", "--format=json", "--state", "listening"}, 0, "\"connections\""},
        {{"list", "--format=csv"}, 0, "Hostname,"},
        {{"reload"}, 0, "reloaded"},
        {{"bogus"}, 2, ""},
        {{"follow", "--format=csv"}, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        const Run run = Ctl(c.args);
        EXPECT_EQ(run.exit, c.exit) << run.errors;
        EXPECT_NE(run.output.find(c.inOutput), std::string::npos) << run.output;
    }
    const Run json = Ctl({"list", "--format=json"});
    const auto list = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_TRUE(list.is_object()) << json.output;
    EXPECT_EQ(list.value("version", 0), 3);
    EXPECT_TRUE(daemon_->WaitForError("tarvikd: reloaded", kEventDeadline));

    daemon_->Stop(SIGTERM);
    daemon_.reset();
    const Run gone = Ctl({"status"});
    EXPECT_EQ(gone.exit, 3);
    EXPECT_NE(gone.errors.find(socket_), std::string::npos) << gone.errors;
}

TEST_F(TarvikctlTest, FollowsNewConnections) {
    ChildProcess follower({TARVIKCTL_PATH, "--socket", socket_, "follow"},
                          ChildProcess::Options{std::nullopt, "/", true});
    // Connections until one is seen: the first may come before the subscription.
    UniqueFd server(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server.Get(), 8), 0);
    getsockname(server.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    std::optional<std::string> seen;
    UniqueFd client;
    UniqueFd accepted;
    for (int i = 0; i < 60 && !seen; ++i) {
        client = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        accepted = UniqueFd(accept4(server.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        seen = follower.WaitForOutputLine(
            [port](const std::string& line) {
                const auto event = nlohmann::json::parse(line, nullptr, false);
                return event.is_object() && event.value("event", "") == "open" &&
                       event.value("remotePort", nlohmann::json()) == port;
            },
            1s);
    }
    ASSERT_TRUE(seen) << follower.Output() << follower.Errors();

    // The client half-closes: the server's side of it moves on to CLOSE_WAIT.
    shutdown(client.Get(), SHUT_WR);
    const auto update = follower.WaitForOutputLine(
        [port](const std::string& line) {
            const auto event = nlohmann::json::parse(line, nullptr, false);
            return event.is_object() && event.value("event", "") == "update" &&
                   event.value("localPort", nlohmann::json()) == port &&
                   event.value("state", "") == "close-wait";
        },
        kEventDeadline);
    EXPECT_TRUE(update) << follower.Output();
}

TEST_F(TarvikctlTest, RefusesAnotherUserOutsideTheGroup) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run tarvikctl under another user";
    }
    const Run run = Ctl({"status"}, uid_t{65534});
    EXPECT_EQ(run.exit, 4) << run.errors;
    EXPECT_NE(run.errors.find("permission denied"), std::string::npos) << run.errors;
}

TEST(ProgramOptionsTest, BadOptionIsOneLineThatPointsAtHelp) {
    std::vector<std::string> programs = {TARVIKD_PATH, TARVIKCTL_PATH};
#ifdef TARVIK_PATH
    programs.push_back(TARVIK_PATH);
#else
    std::printf("the window program is not built here: only tarvikd and tarvikctl are run\n");
#endif
    for (const std::string& program : programs) {
        const std::string name = std::filesystem::path(program).filename();
        SCOPED_TRACE(name);
        ChildProcess bad({program, "--bogus"}, ChildProcess::Options{std::nullopt, "/", true});
        EXPECT_EQ(bad.Wait(kEventDeadline), 2);
        EXPECT_EQ(bad.Errors(), name + ": unknown option '--bogus' (see " + name + " --help)\n");
        ChildProcess version({program, "-V"}, ChildProcess::Options{std::nullopt, "/", true});
        EXPECT_EQ(version.Wait(kEventDeadline), 0);
        EXPECT_EQ(version.Output().rfind(name + " ", 0), 0u) << version.Output();
    }
}

}  // namespace
}  // namespace tarvik
