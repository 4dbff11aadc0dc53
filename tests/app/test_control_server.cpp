// The control socket: requests, followers, refusals and bounds, over a socket in a temporary
// folder.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/ControlClient.h"
#include "app/ControlServer.h"
#include "app/ControlSocket.h"
#include "app/ListFormats.h"

namespace tarvik {
namespace {

using Json = nlohmann::json;

constexpr int kDeadlineMs = 30000;  // only a fault, not a slow machine, reaches it

class FakeSource : public IControlSource {
public:
    std::vector<CConnectionRecord> Rows() override {
        CConnectionRecord record;
        record.state = TcpState::Listen;
        record.category = Category::Listening;
        record.localPort = 22;
        record.interfaceText = "0.0.0.0";
        return std::vector<CConnectionRecord>(rows, record);
    }
    ControlStatus Status() override {
        ControlStatus status;
        status.acquisition = "destroy";
        status.listening = 3;
        status.alerts = 2;
        return status;
    }
    std::optional<std::string> Reload() override {
        ++reloads;
        return std::nullopt;
    }
    std::size_t rows = 1000;
    std::atomic<int> reloads{0};
};

// A client end that reads whole lines, waiting on the socket.
class Client {
public:
    explicit Client(const std::filesystem::path& path) : fd_(ConnectControlSocket(path)) {}
    bool Connected() const { return fd_.Valid(); }
    void Send(const std::string& text) {
        ASSERT_EQ(send(fd_.Get(), text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // For a forked child, where a test assertion cannot report.
    void SendQuietly(const std::string& text) {
        (void)!send(fd_.Get(), text.data(), text.size(), MSG_NOSIGNAL);
    }
    // The next line, or "EOF" when the server closed, or "TIMEOUT".
    std::string Line() {
        while (true) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            pollfd in{fd_.Get(), POLLIN, 0};
            if (poll(&in, 1, kDeadlineMs) != 1) {
                return "TIMEOUT";
            }
            char chunk[65536];
            const ssize_t got = read(fd_.Get(), chunk, sizeof chunk);
            if (got <= 0) {
                return "EOF";
            }
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }
    Json Object() { return Json::parse(Line(), nullptr, false); }

private:
    UniqueFd fd_;
    std::string buffer_;
};

class ControlServerTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvik-control-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        path_ = folder_ / "run" / "tarvikd.sock";
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(folder_);
    }
    void Start(AccessCheck access, ControlLimits limits = {},
               std::optional<gid_t> group = std::nullopt) {
        std::string error;
        ControlListener listener = BindControlSocket(path_, group, &error);
        ASSERT_TRUE(listener.fd.Valid()) << error;
        server_ = std::make_unique<CControlServer>(std::move(listener.fd), source_,
                                                   std::move(access), limits);
    }
    static AccessCheck Grant(ControlAccess access) {
        return [access](const PeerCredentials&) { return access; };
    }
    // Subscribes and waits for the answer, so that every later Publish reaches it.
    std::unique_ptr<Client> Follower() {
        auto client = std::make_unique<Client>(path_);
        client->Send("{\"method\": \"follow\"}\n");
        EXPECT_EQ(client->Object().value("reply", ""), "follow");
        return client;
    }

    std::filesystem::path folder_;
    std::filesystem::path path_;
    FakeSource source_;
    std::unique_ptr<CControlServer> server_;
};

TEST_F(ControlServerTest, AccessGoesToRootTheOwnerAndTheReadingGroup) {
    const AccessPolicy policy{1000, gid_t{4242}};
    struct Case {
        PeerCredentials peer;
        ControlAccess expected;
    } cases[] = {
        {{1, 0, 0, {}}, ControlAccess::Admin},
        {{1, 1000, 1000, {}}, ControlAccess::Admin},
        {{1, 1001, 4242, {}}, ControlAccess::Read},
        {{1, 1001, 1001, {27, 4242}}, ControlAccess::Read},
        {{1, 1001, 1001, {27}}, ControlAccess::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecideAccess(c.peer, policy), c.expected) << "uid " << c.peer.uid;
    }
    EXPECT_EQ(DecideAccess({1, 1001, 4242, {4242}}, AccessPolicy{1000, std::nullopt}),
              ControlAccess::None);
}

TEST_F(ControlServerTest, AnswersRequestsAndClosesOnBadOnes) {
    Start(Grant(ControlAccess::Read));
    struct Case {
        std::string request;
        std::string reply;  // the "reply" member, or empty for an error
        std::string code;   // the error's code
        bool closes;
    } cases[] = {
        {"{\"method\": \"status\"}\n", "status", "", false},
        {"{\"method\": \"nonsense\"}\n", "", "request", false},
        {"{\"method\": \"reload\"}\n", "", "permission", true},
        {"{\"method\": \"status\"\n", "", "request", true},
        {"[1, 2]\n", "", "request", true},
        {std::string(70000, ' ') + "{\"method\": \"status\"}\n", "", "request", true},
        {std::string(70000, 'x'), "", "request", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 40));
        Client client(path_);
        client.Send(c.request);
        const Json answer = client.Object();
        EXPECT_EQ(answer.value("reply", ""), c.reply);
        EXPECT_EQ(answer.value("code", ""), c.code);
        if (c.closes) {
            EXPECT_EQ(client.Line(), "EOF");
        } else {
            // Two at once: each is answered in turn.
            client.Send("{\"method\": \"status\"}\n{\"method\": \"status\"}\n");
            EXPECT_EQ(client.Object().value("alerts", -1), 2);
            EXPECT_EQ(client.Object().value("alerts", -1), 2);
        }
    }
    EXPECT_EQ(source_.reloads, 0);
}

TEST_F(ControlServerTest, ListsTheLiveSetAndReloadsForRoot) {
    source_.rows = 5000;  // more than one queue's worth of answer is made as it is taken
    Start(Grant(ControlAccess::Admin), ControlLimits{64, 65536, 16384});
    Client client(path_);
    client.Send("{\"method\": \"list\"}\n{\"method\": \"reload\"}\n");
    const Json list = client.Object();
    ASSERT_TRUE(list.is_object());
    EXPECT_EQ(list.value("version", 0), 3);
    ASSERT_EQ(list["connections"].size(), 5000u);
    EXPECT_EQ(list["connections"][4999].value("state", ""), "listening");
    EXPECT_EQ(client.Object().value("reply", ""), "reload");
    EXPECT_EQ(source_.reloads, 1);
    EXPECT_LE(server_->Stats().peakClientBytes, 16384u + 256 * 1024);
}

TEST_F(ControlServerTest, StalledFollowerLosesLinesOthersGetTheirs) {
    constexpr std::size_t kQueue = 64 * 1024;
    Start(Grant(ControlAccess::Read), ControlLimits{64, 65536, kQueue});
    auto stalled = Follower();
    auto reader = Follower();
    constexpr int kLines = 100000;
    constexpr int kBatch = 200;  // less than one queue of lines
    std::mutex mutex;
    std::condition_variable changed;
    int received = 0;
    std::thread readerThread([&] {
        for (int i = 0; i < kLines; ++i) {
            if (reader->Line().rfind("{\"event\": \"open\"", 0) != 0) {
                break;
            }
            std::lock_guard lock(mutex);
            ++received;
            changed.notify_all();
        }
    });
    const std::string line = "{\"event\": \"open\", \"n\": \"" + std::string(200, 'x') + "\"}";
    for (int sent = 0; sent < kLines; sent += kBatch) {
        for (int i = 0; i < kBatch; ++i) {
            server_->Publish(line);
        }
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::milliseconds(kDeadlineMs),
                              [&] { return received == sent + kBatch; })) {
            break;
        }
    }
    readerThread.join();
    EXPECT_EQ(received, kLines);
    const ControlStats stats = server_->Stats();
    EXPECT_LE(stats.peakClientBytes, kQueue);
    EXPECT_GT(stats.dropped, 0u);

    // The stalled one reads at last: what fitted, then how much it lost.
    std::uint64_t seen = 0;
    std::uint64_t lost = 0;
    while (seen + lost < static_cast<std::uint64_t>(kLines)) {
        const Json event = stalled->Object();
        ASSERT_TRUE(event.is_object());
        if (event.value("event", "") == "lost") {
            EXPECT_EQ(event.value("source", ""), "socket");
            lost += event.value("lost", 0u);
        } else {
            ++seen;
        }
    }
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(lost, stats.dropped);
}

TEST_F(ControlServerTest, RefusesClientsPastTheLimit) {
    Start(Grant(ControlAccess::Read), ControlLimits{4, 65536, 65536});
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<Client>(path_));
        clients.back()->Send("{\"method\": \"status\"}\n");
        ASSERT_EQ(clients.back()->Object().value("reply", ""), "status");
    }
    Client extra(path_);
    EXPECT_EQ(extra.Object().value("code", ""), "busy");
    EXPECT_EQ(extra.Line(), "EOF");
    clients.pop_back();  // a place frees up, once the server has seen the close
    std::string reply;
    for (int tries = 0; tries < 100000 && reply != "status"; ++tries) {
        Client next(path_);
        next.SendQuietly("{\"method\": \"status\"}\n");
        const Json answer = next.Object();
        reply = answer.value("reply", answer.value("code", ""));
        ASSERT_TRUE(reply == "status" || reply == "busy") << reply;
    }
    EXPECT_EQ(reply, "status");
}

TEST_F(ControlServerTest, RefusesASocketPathItDoesNotOwn) {
    std::filesystem::create_directories(path_.parent_path());
    { std::ofstream(path_) << "planted"; }
    std::string error;
    EXPECT_FALSE(BindControlSocket(path_, std::nullopt, &error).fd.Valid());
    EXPECT_TRUE(std::filesystem::exists(path_)) << "a planted file is never removed";

    std::filesystem::remove(path_);
    ControlListener first = BindControlSocket(path_, std::nullopt, &error);
    ASSERT_TRUE(first.fd.Valid()) << error;
    EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_FALSE(BindControlSocket(path_, std::nullopt, &error).fd.Valid()) << "in use";
    first.fd.Reset();  // left behind, nobody answers: replaced
    EXPECT_TRUE(BindControlSocket(path_, std::nullopt, &error).fd.Valid()) << error;
}

// tarvikctl rebuilds the daemon's rows from their JSON, so the list it prints is the daemon's.
TEST_F(ControlServerTest, RowsReadBackAsTheDaemonWroteThem) {
    CConnectionRecord plain;
    plain.state = TcpState::Established;
    plain.category = Category::Outbound;
    plain.family = AddressFamily::Ipv6;
    plain.localPort = 50000;
    plain.remotePort = 443;
    plain.interfaceText = "::1";
    plain.ipAddress = plain.hostName = "::1";
    plain.serviceText = "https";
    plain.openTime = 1061553787;
    plain.cookie = 1ULL << 60;
    plain.uid = 1000;
    plain.bytes = {1ULL << 40, 7000};  // past what an int holds
    CConnectionRecord odd = plain;
    odd.pid = 42;
    odd.command = "a\\b\x1b[2Jc\xff";
    odd.user = "u\"s";
    odd.hostName = "h\\x41";
    for (const CConnectionRecord& record : {plain, odd}) {
        const std::string json = "{" + ConnectionJsonFields(record) + "}";
        const auto back = RecordFromJson(json);
        ASSERT_TRUE(back.has_value()) << json;
        EXPECT_EQ("{" + ConnectionJsonFields(*back) + "}", json);
        EXPECT_EQ(back->command, record.command);
    }
    EXPECT_FALSE(RecordFromJson("[1]").has_value());
}

// The kernel's credentials of a real client under another user, in and out of the group.
TEST_F(ControlServerTest, ChecksTheCredentialsOfARealPeer) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a client under another user";
    }
    constexpr gid_t kGroup = 4242;
    constexpr uid_t kNobody = 65534;
    Start(
        [](const PeerCredentials& peer) {
            return DecideAccess(peer, {0, gid_t{4242}});
        },
        {}, kGroup);
    chmod(folder_.c_str(), 0755);
    struct Case {
        bool inGroup;
        bool socketOpenToAll;
        std::string request;
        std::string expected;  // the reply, the error code, or the connect failure
    } cases[] = {
        {true, false, "status", "status"},
        {true, false, "reload", "permission"},
        {false, false, "status", "connect: Permission denied"},
        {false, true, "status", "permission"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request + (c.inGroup ? " in group" : " outside"));
        chmod(path_.c_str(), c.socketOpenToAll ? 0666 : 0660);
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t child = fork();
        if (child == 0) {
            const gid_t groups[] = {kGroup};
            if (setgroups(c.inGroup ? 1 : 0, groups) != 0 || setresgid(kNobody, kNobody, kNobody) ||
                setresuid(kNobody, kNobody, kNobody) != 0) {
                _exit(2);
            }
            Client client(path_);
            std::string result = "connect: " + std::string(strerror(errno));
            if (client.Connected()) {
                client.SendQuietly("{\"method\": \"" + c.request + "\"}\n");
                result = client.Line();
            }
            (void)!write(pipeFds[1], result.data(), result.size());
            _exit(0);
        }
        close(pipeFds[1]);
        std::string result;
        char chunk[4096];
        for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
            result.append(chunk, static_cast<std::size_t>(got));
        }
        close(pipeFds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        const Json answer = Json::parse(result, nullptr, false);
        const std::string got =
            answer.is_object() ? answer.value("reply", answer.value("code", "")) : result;
        EXPECT_EQ(got, c.expected);
    }
}

}  // namespace
}  // namespace tarvik
