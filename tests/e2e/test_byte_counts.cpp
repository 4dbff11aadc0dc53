// Bytes per connection, on loopback, as tarvikd reports them live (its control socket) and at
// the end (its --events close lines), in each acquisition mode that runs here.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "base/UniqueFd.h"
#include "e2e/ChildProcess.h"
#include "e2e/Waits.h"
#include "support/ScanLoopback.h"

namespace tarvik {
namespace {

using test::ChildProcess;
using test::kEventDeadline;

constexpr std::size_t kUp = 100'000;  // client to server
constexpr std::size_t kDown = 7'000;  // server to client

// Sends `count` bytes on `from` and reads them all on `to`.
bool Move(int from, int to, std::size_t count) {
    std::vector<char> buffer(count, 'x');
    std::size_t sent = 0;
    std::size_t received = 0;
    while (received < count) {
        if (sent < count) {
            const ssize_t n = send(from, buffer.data() + sent, count - sent, MSG_DONTWAIT);
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        const ssize_t n = recv(to, buffer.data(), count, sent < count ? MSG_DONTWAIT : 0);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            return false;
        }
        received += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

struct Connection {
    UniqueFd client;
    UniqueFd server;
    int clientPort = 0;
};

class ByteCountsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvikd-bytes-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
        std::ofstream(dir_ / "Tarvik.conf") << "[View]\nreverselookup=0\n[Logging]\ninbound=0\n"
                                            << "outbound=0\nunknown=0\n";
        listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in any = test::LoopbackAddress("127.0.0.1", 0);
        ASSERT_EQ(bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
        ASSERT_EQ(listen(listener_.Get(), 8), 0);
        port_ = test::LocalPortOf(listener_.Get());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // False when tarvikd runs another mode than `mode` (events without the privilege or BTF).
    bool Start(const std::string& mode) {
        ChildProcess::Options options;
        options.captureOutput = true;
        tarvikd_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{TARVIKD_PATH, "--config", (dir_ / "Tarvik.conf").string(),
                                     "--acquisition=" + mode, "--events", "--socket", Socket()},
            options);
        EXPECT_TRUE(tarvikd_->WaitForError("tarvikd: started", kEventDeadline))
            << tarvikd_->Errors();
        // The first read of the table has been made: in events mode the next is a minute away,
        // so it cannot show a connection's remains before the notices of its end are handled.
        EXPECT_TRUE(tarvikd_->WaitForOutputLine(
            [this](const std::string& line) {
                return test::IsConnectionEvent(line, "open", port_, nullptr);
            },
            kEventDeadline));
        return tarvikd_->Errors().find("acquisition: " + mode) != std::string::npos;
    }

    std::string Socket() const { return (dir_ / "tarvikd.sock").string(); }

    // Returns once the monitor's own read of the table has seen a connection made now, and so
    // every byte moved before it.
    void WaitForARead() {
        Connection marker = Connect(false);
        EXPECT_TRUE(tarvikd_->WaitForOutputLine(
            [&](const std::string& line) {
                return test::IsConnectionEvent(line, "open", marker.clientPort, port_);
            },
            kEventDeadline));
    }

    // A connection to the listener that moved kUp bytes up and kDown down, or nothing.
    Connection Connect(bool move = true) {
        Connection c;
        c.client.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in server = test::LoopbackAddress("127.0.0.1", port_);
        EXPECT_EQ(
            connect(c.client.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
        c.server.Reset(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        c.clientPort = test::LocalPortOf(c.client.Get());
        if (move) {
            EXPECT_TRUE(Move(c.client.Get(), c.server.Get(), kUp));
            EXPECT_TRUE(Move(c.server.Get(), c.client.Get(), kDown));
        }
        return c;
    }

    // The counts of the socket at `localPort` talking to `remotePort`, from a JSON object.
    static bool Counts(const nlohmann::json& object, int localPort, int remotePort,
                       std::size_t sent, std::size_t received) {
        return object.value("localPort", -1) == localPort &&
               object.value("remotePort", nlohmann::json()) == remotePort &&
               object.value("bytesSent", -1) == static_cast<long>(sent) &&
               object.value("bytesReceived", -1) == static_cast<long>(received);
    }

    // Whether the live list shows both sides of `c` with their exact counts.
    bool LiveCountsShown(const Connection& c) {
        ChildProcess ctl({TARVIKCTL_PATH, "--socket", Socket(), "list", "--format=json"},
                         ChildProcess::Options{std::nullopt, "/", true});
        if (ctl.Wait(kEventDeadline) != 0) {
            return false;
        }
        const auto list = nlohmann::json::parse(ctl.Output(), nullptr, false);
        bool client = false;
        bool server = false;
        for (const auto& row : list.is_object() ? list.value("connections", nlohmann::json::array())
                                                : nlohmann::json::array()) {
            client = client || Counts(row, c.clientPort, port_, kUp, kDown);
            server = server || Counts(row, port_, c.clientPort, kDown, kUp);
        }
        return client && server;
    }

    // Closes `c`, the client first, and waits for the close line of each side with its counts.
    void CloseAndExpectFinalCounts(Connection c) {
        c.client.Reset();
        c.server.Reset();
        const auto closed = [&](int local, int remote, std::size_t sent, std::size_t received) {
            return tarvikd_->WaitForOutputLine(
                [&](const std::string& line) {
                    const auto event = nlohmann::json::parse(line, nullptr, false);
                    return test::IsConnectionEvent(line, "close", local, remote) &&
                           Counts(event, local, remote, sent, received);
                },
                kEventDeadline);
        };
        EXPECT_TRUE(closed(c.clientPort, port_, kUp, kDown)) << tarvikd_->Output();
        EXPECT_TRUE(closed(port_, c.clientPort, kDown, kUp)) << tarvikd_->Output();
    }

    std::filesystem::path dir_;
    UniqueFd listener_;
    int port_ = 0;
    std::unique_ptr<ChildProcess> tarvikd_;
};

TEST_F(ByteCountsTest, ExactCountsLiveAndAtTheEndInEachMode) {
    for (const std::string mode : {"events", "destroy", "poll"}) {
        SCOPED_TRACE(mode);
        // Not checked in this process beforehand: loading the eBPF program here, even for a
        // moment, hides this process's connecting sockets from the monitor's program.
        if (!Start(mode)) {
            std::printf("%s mode skipped: %s\n", mode.c_str(), tarvikd_->Errors().c_str());
            ASSERT_EQ(mode, "events") << "only events mode may be missing";
            tarvikd_->Stop(SIGTERM);
            continue;
        }
        Connection held = Connect();
        // Events mode reads the table only every minute: its live counts are not waited for.
        if (mode != "events") {
            EXPECT_TRUE(test::WaitUntil([&] { return LiveCountsShown(held); }))
                << "no live read showed the counts";
            WaitForARead();  // the monitor's own, which the end falls back on without a notice
        }
        CloseAndExpectFinalCounts(std::move(held));
        if (mode != "poll") {
            // Opened and closed at once: only the kernel's notice of its end tells its counts.
            CloseAndExpectFinalCounts(Connect());
        }
        EXPECT_EQ(tarvikd_->Stop(SIGTERM), 0) << tarvikd_->Errors();
    }
}

}  // namespace
}  // namespace tarvik
