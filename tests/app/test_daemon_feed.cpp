// What the window makes of tarvikd's answers and events, and how it bears a daemon that sends
// what it cannot read.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "app/DaemonFeed.h"
#include "app/EventStream.h"
#include "base/UniqueFd.h"
#include "support/RecordingWorker.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using namespace std::chrono_literals;

// A connection as the daemon writes it, with `replace` put in place of one member's text.
std::string OpenLine(const std::string& member = "", const std::string& value = "",
                     const char* event = "open", TcpState state = TcpState::Established) {
    CConnectionRecord record;
    record.state = state;
    record.category = Category::Inbound;
    record.interfaceText = "127.0.0.1";
    record.localPort = 8080;
    record.ipAddress = "127.0.0.2";
    record.remotePort = 40000;
    record.cookie = 77;
    record.pid = 12;
    record.command = "sshd";
    record.openTime = 1700000000;
    std::string line = ConnectionEventLine(event, record, record.openTime);
    if (!member.empty()) {
        const std::size_t at = line.find("\"" + member + "\": ");
        const std::size_t start = at + member.size() + 4;
        const std::size_t end = line.find_first_of(",}", start);
        line.replace(start, end - start, value);
    }
    return line;
}

enum class Decoded { Change, End, Alert, Loss, Junk, Other };

Decoded KindOf(const DaemonEvent& event) {
    if (const auto* change = std::get_if<ConnectionEvent>(&event)) {
        return change->kind == ConnectionEvent::Kind::Ended ? Decoded::End : Decoded::Change;
    }
    return std::holds_alternative<ScanAlertEvent>(event) ? Decoded::Alert
           : std::holds_alternative<DaemonLoss>(event)   ? Decoded::Loss
           : std::holds_alternative<DaemonJunk>(event)   ? Decoded::Junk
                                                         : Decoded::Other;
}

TEST(DaemonFeedTest, EventLinesDecodeToNoticesAlertsOrJunkNeverACrash) {
    const struct {
        const char* name;
        std::string line;
        Decoded expected;
    } cases[] = {
        {"open", OpenLine(), Decoded::Change},
        {"close with remains", OpenLine("", "", "close", TcpState::TimeWait), Decoded::Change},
        {"close", OpenLine("", "", "close", TcpState::Closed), Decoded::End},
        {"alert",
         R"({"event": "alert", "remoteAddress": "127.0.0.6", "localPorts": [22, 80], "kind": "SYN"})",
         Decoded::Alert},
        {"lost", R"({"event": "lost", "lost": 3, "source": "socket"})", Decoded::Loss},
        {"unknown kind", R"({"event": "weather"})", Decoded::Other},
        {"not JSON", "open 127.0.0.1:80", Decoded::Junk},
        {"cut short", OpenLine().substr(0, 40), Decoded::Junk},
        {"an array", "[1, 2]", Decoded::Junk},
        {"no event", R"({"reply": "follow"})", Decoded::Junk},
        {"an error", R"({"error": "no", "code": "permission"})", Decoded::Junk},
        {"open without connection", R"({"event": "open"})", Decoded::Junk},
        {"port out of range", OpenLine("localPort", "70000"), Decoded::Junk},
        {"negative port", OpenLine("remotePort", "-1"), Decoded::Junk},
        {"port as text", OpenLine("localPort", "\"80\""), Decoded::Junk},
        {"unknown state", OpenLine("state", "\"dancing\""), Decoded::Junk},
        {"bad address", OpenLine("localAddress", "\"not.an.address\""), Decoded::Junk},
        {"alert without ports", R"({"event": "alert", "remoteAddress": "10.0.0.1"})",
         Decoded::Junk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(KindOf(DecodeDaemonEvent(c.line)), c.expected) << c.line;
    }
    const DaemonEvent open = DecodeDaemonEvent(OpenLine());
    const CConnectionRecord& record = std::get<ConnectionEvent>(open).record;
    EXPECT_EQ(record.localPort, 8080);
    EXPECT_EQ(record.command, "sshd");
    EXPECT_EQ(record.cookie, 77u);
    EXPECT_EQ(record.remoteAddress[0], 127);  // keyed by its addresses, not only their texts
    const DaemonEvent alert = DecodeDaemonEvent(cases[3].line);
    EXPECT_EQ(std::get<ScanAlertEvent>(alert).localPorts, (std::vector<int>{22, 80}));
}

TEST(DaemonFeedTest, ListAndStatusAnswersAreCheckedBeforeUse) {
    const std::string row = OpenLine();
    const std::string good = "{\"version\": 2, \"connections\": [" + row + ", {\"localPort\": 1}]}";
    const struct {
        const char* name;
        std::string list;
        std::optional<std::size_t> rows;
    } lists[] = {
        {"one good row of two", good, 1},
        {"empty", R"({"version": 2, "connections": []})", 0},
        {"connections not a list", R"({"connections": 5})", std::nullopt},
        {"refused", R"({"error": "not allowed", "code": "permission"})", std::nullopt},
        {"not JSON", "\x01\x02", std::nullopt},
    };
    for (const auto& c : lists) {
        SCOPED_TRACE(c.name);
        std::string error;
        const auto rows = DecodeDaemonList(c.list, &error);
        EXPECT_EQ(rows ? std::optional<std::size_t>(rows->size()) : std::nullopt, c.rows);
        EXPECT_EQ(error.empty(), rows.has_value()) << error;
    }
    const struct {
        std::string status;
        std::optional<std::string> shown;
    } statuses[] = {
        {R"({"reply": "status", "acquisition": {"mode": "events", "reason": "x"}})",
         "tarvikd (events)"},
        {R"({"reply": "status", "acquisition": {"mode": "<b>x</b>"}})", "tarvikd"},
        {R"({"reply": "status", "acquisition": 3})", "tarvikd"},
        {R"({"reply": "list"})", std::nullopt},
        {R"({"error": "busy", "code": "busy"})", std::nullopt},
    };
    for (const auto& c : statuses) {
        SCOPED_TRACE(c.status);
        std::string error;
        EXPECT_EQ(DecodeDaemonStatus(c.status, &error), c.shown);
    }
}

// A daemon that answers every request with the script's text for its method, each connection
// on a thread of its own (a follower that is sent much must not hold up the requests).
class ScriptedDaemon {
public:
    ScriptedDaemon(const std::filesystem::path& path, std::map<std::string, std::string> answers)
        : answers_(std::move(answers)) {
        listener_ = UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_.Get(), 8), 0);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~ScriptedDaemon() {
        shutdown(listener_.Get(), SHUT_RDWR);
        acceptor_.join();
        for (std::thread& client : clients_) {
            client.join();
        }
    }

private:
    void Accept() {
        for (int i = 0; i < 16; ++i) {
            UniqueFd client(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) {
                return;
            }
            clients_.emplace_back([this, fd = std::move(client)] { Answer(fd.Get()); });
        }
    }
    void Answer(int fd) const {
        char request[256];
        ssize_t got = 0;
        while ((got = recv(fd, request, sizeof request, 0)) > 0) {
            const std::string text(request, static_cast<std::size_t>(got));
            for (const auto& [method, answer] : answers_) {
                if (text.find("\"" + method + "\"") != std::string::npos) {
                    send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
                }
            }
        }
    }

    std::map<std::string, std::string> answers_;
    UniqueFd listener_;
    std::thread acceptor_;
    std::vector<std::thread> clients_;  // the acceptor's until it has ended
};

TEST(DaemonFeedTest, ADaemonSendingJunkOrHugeLinesIsNamedInTheStatus) {
    const std::string status = R"({"reply": "status", "acquisition": {"mode": "events"}})";
    const std::string list = R"({"version": 2, "connections": []})";
    const std::string follow = R"({"reply": "follow", "version": 2})";
    const struct {
        const char* name;
        std::map<std::string, std::string> answers;
        std::string said;
    } cases[] = {
        {"junk events",
         {{"follow", follow + "\n\x7f\x45LF\n"}, {"status", status + "\n"}, {"list", list + "\n"}},
         "tarvikd (events); lines not understood: 1 (the last: a line that is not a JSON object)"},
        {"huge event",
         {{"follow", follow + "\n" + std::string(CDaemonFeed::kEventLineLimit + 10, 'x')},
          {"status", status + "\n"},
          {"list", list + "\n"}},
         "tarvikd sent an event line over 1 MiB; attaching again"},
        {"no status", {{"follow", follow + "\n"}, {"status", "]]\n"}}, "tarvikd's status answer"},
        {"refused",
         {{"follow", R"({"error": "no", "code": "permission"})"
                     "\n"}},
         "tarvikd refused to follow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char pattern[] = "/tmp/daemon-feed-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        const std::filesystem::path socket = std::filesystem::path(pattern) / "d.sock";
        CWorkerHub hub;
        std::mutex mutex;
        std::condition_variable said;
        {
            ScriptedDaemon daemon(socket, c.answers);
            CDaemonFeed feed(hub, socket);
            feed.Start([&] {
                std::lock_guard lock(mutex);  // no change slips between a check and the wait
                said.notify_all();
            });
            std::unique_lock lock(mutex);
            EXPECT_TRUE(said.wait_for(lock, 10s, [&] {
                return feed.StatusText().find(c.said) == 0;
            })) << feed.StatusText();
            feed.Stop();
        }
        std::filesystem::remove_all(pattern);
    }
}

TEST(DaemonFeedTest, AttachesWhenTheDaemonComesAndFeedsItsListEventsAndAlerts) {
    char pattern[] = "/tmp/daemon-feed-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path socket = std::filesystem::path(pattern) / "d.sock";
    CWorkerHub hub;
    test::Recorder<Snapshot, ConnectionNotices, ScanAlertEvent> recorder;
    recorder.Start();
    hub.Register(&recorder);
    std::mutex mutex;
    std::condition_variable said;
    std::optional<ScriptedDaemon> daemon;
    CDaemonFeed feed(hub, socket);
    feed.Start([&] {
        std::lock_guard lock(mutex);
        said.notify_all();
    });
    const auto statusIs = [&](const std::string& text) {
        std::unique_lock lock(mutex);
        return said.wait_for(lock, 10s, [&] { return feed.StatusText().starts_with(text); });
    };
    EXPECT_TRUE(statusIs("tarvikd is not running")) << feed.StatusText();

    const std::string alert =
        R"({"event": "alert", "remoteAddress": "127.0.0.6", "localPorts": [22], "kind": "SYN"})";
    daemon.emplace(socket,
                   std::map<std::string, std::string>{
                       {"follow", "{\"reply\": \"follow\"}\n" + OpenLine() + "\n" + alert +
                                      "\n{\"event\": \"lost\", \"lost\": 2}\n"},
                       {"status", R"({"reply": "status", "acquisition": {"mode": "events"}})"
                                  "\n"},
                       {"list", "{\"connections\": [" + OpenLine() + "]}\n"}});
    EXPECT_TRUE(statusIs("tarvikd (events)")) << feed.StatusText();
    // The list at the attach and again after the loss, the open between them, the alert.
    ASSERT_TRUE(recorder.WaitFor(4, 10s));
    const auto messages = recorder.Take();
    std::size_t snapshots = 0;
    for (const auto& message : messages) {
        if (const auto* snapshot = std::get_if<Snapshot>(&message)) {
            ++snapshots;
            ASSERT_EQ(snapshot->rows.size(), 1u);
            EXPECT_EQ(snapshot->rows[0].command, "sshd");
        } else if (const auto* notices = std::get_if<ConnectionNotices>(&message)) {
            ASSERT_EQ(notices->events.size(), 1u);
            EXPECT_EQ(notices->events[0].record.localPort, 8080);
        } else {
            EXPECT_EQ(std::get<ScanAlertEvent>(message).remoteAddress, "127.0.0.6");
        }
    }
    EXPECT_EQ(snapshots, 2u);

    feed.RelistSoon();  // "Refresh Now"
    ASSERT_TRUE(recorder.WaitFor(1, 10s));
    const auto refreshed = recorder.Take();
    EXPECT_TRUE(std::holds_alternative<Snapshot>(refreshed.front()));
    feed.Stop();
    feed.Join();
    hub.Clear();
    std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace tarvik
