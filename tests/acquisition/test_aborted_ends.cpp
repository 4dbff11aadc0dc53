#include <gtest/gtest.h>

#include <string>

#include "acquisition/AbortedEnds.h"
#include "support/AcqFixtures.h"

namespace tarvik {
namespace {

using testing::Address;
using testing::Row;

TcpEvent End(TcpRow row, std::time_t time = 100) {
    row.state = TcpState::Closed;
    return {TcpEvent::Kind::Ended, row, time};
}

// What the kernel reports of a client that reset its loopback connection to port 8080.
TcpEvent AbortedClient(int localPort, std::uint64_t cookie, std::time_t time = 100) {
    return End(Row("0.0.0.0", localPort, "127.0.0.1", 0, TcpState::Closed, cookie), time);
}

TEST(AbortedEndPairingTest, AHalfBlankEndGetsItsAddressesFromItsPeerInEitherOrder) {
    const CListeningPorts listening;
    CAbortedEndPairing pairing;
    const TcpEvent server = End(Row("127.0.0.1", 8080, "127.0.0.1", 50000, TcpState::Closed, 2));
    EXPECT_TRUE(pairing.Pair({AbortedClient(50000, 1)}, listening, 100).empty());
    const auto first = pairing.Pair({server}, listening, 101);
    ASSERT_EQ(first.size(), 1u);
    const TcpRow& row = first[0].row;
    EXPECT_EQ(row.cookie, 1u);
    EXPECT_EQ(row.localPort, 50000);
    EXPECT_EQ(row.remotePort, 8080);
    EXPECT_EQ(row.localAddress, Address("127.0.0.1"));
    EXPECT_EQ(row.remoteAddress, Address("127.0.0.1"));
    EXPECT_EQ(first[0].time, 100);
    EXPECT_EQ(pairing.Waiting(), 0u);

    // The peer first, in the same drain.
    const TcpEvent server6 = End(Row("::1", 8080, "::1", 50001, TcpState::Closed, 4));
    const auto second = pairing.Pair({server6, AbortedClient(50001, 3)}, listening, 102);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].row.family, AddressFamily::Ipv6);
    EXPECT_EQ(second[0].row.remoteAddress, Address("::1"));
    EXPECT_EQ(second[0].row.remotePort, 8080);
    EXPECT_EQ(pairing.Waiting(), 0u);
}

TEST(AbortedEndPairingTest, ListenersRemoteEndsAndOldHalvesAreNotPaired) {
    CListeningPorts listening;
    listening.Add(8080);
    CAbortedEndPairing pairing;
    // A listener's own end looks like an aborted end of its port.
    EXPECT_TRUE(pairing
                    .Pair({End(Row("127.0.0.1", 50000, "127.0.0.1", 8080, TcpState::Closed, 1)),
                           AbortedClient(8080, 2)},
                          listening, 100)
                    .empty());
    // An end whose peer is another host waits for nobody.
    EXPECT_TRUE(pairing
                    .Pair({End(Row("10.0.0.5", 443, "10.0.0.9", 50002, TcpState::Closed, 3))},
                          listening, 100)
                    .empty());
    EXPECT_EQ(pairing.Waiting(), 1u);  // the loopback client's end, for a while

    EXPECT_TRUE(pairing.Pair({AbortedClient(50003, 4, 100)}, listening, 100).empty());
    const std::time_t later = 100 + CAbortedEndPairing::kHoldSeconds + 1;
    EXPECT_TRUE(pairing.Pair({}, listening, later).empty());
    EXPECT_EQ(pairing.Waiting(), 0u);
    EXPECT_TRUE(pairing
                    .Pair({End(Row("127.0.0.1", 9090, "127.0.0.1", 50003, TcpState::Closed, 5))},
                          listening, later)
                    .empty());
}

TEST(AbortedEndPairingTest, WaitingHalvesAreBounded) {
    const CListeningPorts listening;
    CAbortedEndPairing pairing;
    std::vector<TcpEvent> many;
    for (std::size_t i = 0; i < CAbortedEndPairing::kMaxWaiting + 10; ++i) {
        many.push_back(AbortedClient(static_cast<int>(1 + i % 60000), i + 1));
    }
    pairing.Pair(many, listening, 100);
    EXPECT_EQ(pairing.Waiting(), CAbortedEndPairing::kMaxWaiting);
}

// After a burst of ordinary closes between local sockets has filled the waiting list, the
// halves of a connection aborted a few seconds later still find each other.
TEST(AbortedEndPairingTest, ABurstOfOrdinaryClosesDoesNotKeepLaterPairsApart) {
    const CListeningPorts listening;
    CAbortedEndPairing pairing;
    std::vector<TcpEvent> burst;
    for (std::size_t i = 0; i < CAbortedEndPairing::kMaxWaiting + 10; ++i) {
        const int port = static_cast<int>(1 + i % 60000);
        burst.push_back(
            End(Row("127.0.0.1", 9000, "127.0.0.1", port, TcpState::Closed, i + 1), 100));
    }
    pairing.Pair(burst, listening, 100);
    EXPECT_EQ(pairing.Waiting(), CAbortedEndPairing::kMaxWaiting);

    const TcpEvent server =
        End(Row("127.0.0.1", 8080, "127.0.0.1", 61000, TcpState::Closed, 900000), 103);
    EXPECT_TRUE(pairing.Pair({server}, listening, 103).empty());
    const auto rebuilt = pairing.Pair({AbortedClient(61000, 900001, 103)}, listening, 103);
    ASSERT_EQ(rebuilt.size(), 1u);
    EXPECT_EQ(rebuilt[0].row.remotePort, 8080);
}

// Many clients of a busy host share an ephemeral port, each from its own address: a reset end
// is paired with its own peer by what the kernel left of its addresses, not with the first
// waiting end of that port.
TEST(AbortedEndPairingTest, EndsThatShareAClientPortPairByTheirAddresses) {
    const CListeningPorts listening;
    const TcpEvent otherServer =
        End(Row("127.64.0.1", 8080, "127.16.0.1", 50000, TcpState::Closed, 1), 100);
    const TcpEvent server =
        End(Row("127.64.0.2", 8080, "127.16.0.2", 50000, TcpState::Closed, 2), 104);
    const TcpEvent blank = End(Row("127.16.0.2", 50000, "127.64.0.2", 0, TcpState::Closed, 3), 104);
    for (const bool peerFirst : {true, false}) {
        SCOPED_TRACE(peerFirst ? "peer first" : "blank first");
        CAbortedEndPairing fresh;
        EXPECT_TRUE(fresh.Pair({otherServer}, listening, 100).empty());
        std::vector<TcpEvent> rebuilt;
        if (peerFirst) {
            rebuilt = fresh.Pair({server, blank}, listening, 104);
        } else {
            EXPECT_TRUE(fresh.Pair({blank}, listening, 104).empty());
            rebuilt = fresh.Pair({server}, listening, 104);
        }
        ASSERT_EQ(rebuilt.size(), 1u);
        EXPECT_EQ(rebuilt[0].row.cookie, 3u);
        EXPECT_EQ(rebuilt[0].row.localAddress, Address("127.16.0.2"));
        EXPECT_EQ(rebuilt[0].row.remoteAddress, Address("127.64.0.2"));
        EXPECT_EQ(fresh.Waiting(), 1u);  // the other connection's end, for its own blank
    }
}

// Client number i of a busy server, 127.64.0.1:8080: each from its own address, all from one
// port, 50000.
std::string Client(int i) {
    return "127.16." + std::to_string(i / 256) + "." + std::to_string(i % 256);
}

TcpEvent ServerEnd(int i, std::uint64_t cookie, const char* server = "127.64.0.1") {
    return End(Row(server, 8080, Client(i).c_str(), 50000, TcpState::Closed, cookie));
}

TcpEvent ClientEnd(int i, std::uint64_t cookie) {
    return End(Row(Client(i).c_str(), 50000, "127.64.0.1", 8080, TcpState::Closed, cookie));
}

TcpEvent Blank(const char* local, int localPort, const char* remote, std::uint64_t cookie,
               std::time_t time = 100) {
    return End(Row(local, localPort, remote, 0, TcpState::Closed, cookie), time);
}

constexpr int kClients = 3000;

// Both ends of every client's connection, closed as usual, waiting in case the other aborted.
std::vector<TcpEvent> OrdinaryCloses() {
    std::vector<TcpEvent> ends;
    for (int i = 0; i < kClients; ++i) {
        ends.push_back(ServerEnd(i, 1000 + i));
        ends.push_back(ClientEnd(i, 5000 + i));
    }
    return ends;
}

// Every client's end after it reset, as the kernel may leave it.
template <typename Shape>
std::vector<TcpEvent> Resets(Shape shape) {
    std::vector<TcpEvent> blanks;
    for (int i = 0; i < kClients; ++i) {
        blanks.push_back(shape(i));
    }
    return blanks;
}

// Among thousands of waiting ends of one server port and one client port, an arriving half
// takes the one its addresses fit, and of several that fit, the one that came last (the two
// notices of a pair come within moments of each other, even within one second).
TEST(AbortedEndPairingTest, AHalfFindsItsOwnAmongManyOfOnePort) {
    const CListeningPorts listening;  // the server's listener closed before its ends did
    const std::string client5 = Client(5);
    const std::string newest = Client(kClients - 1);
    struct Case {
        const char* name;
        std::vector<TcpEvent> waiting;
        TcpEvent arriving;
        std::uint64_t cookie;  // of the end rebuilt
        std::string local;     // its address; the remote one is the other end's
        std::string remote;
        int remotePort;
    };
    const Case cases[] = {
        {"a reset client that kept both addresses", OrdinaryCloses(),
         Blank(client5.c_str(), 50000, "127.64.0.1", 9), 9, client5, "127.64.0.1", 8080},
        {"a reset client that kept its local address", OrdinaryCloses(),
         Blank(client5.c_str(), 50000, "0.0.0.0", 9), 9, client5, "127.64.0.1", 8080},
        {"a reset client that kept the server's address", OrdinaryCloses(),
         Blank("0.0.0.0", 50000, "127.64.0.1", 9), 9, newest, "127.64.0.1", 8080},
        {"a reset server end", OrdinaryCloses(), Blank("0.0.0.0", 8080, client5.c_str(), 9), 9,
         "127.64.0.1", client5, 50000},
        {"a reset IPv6 end, with nothing to compare", OrdinaryCloses(), Blank("::", 50000, "::", 9),
         9, newest, "127.64.0.1", 8080},
        {"the server end of one of many reset clients",
         Resets([](int i) { return Blank(Client(i).c_str(), 50000, "127.64.0.1", 100 + i); }),
         ServerEnd(5, 9), 105, client5, "127.64.0.1", 8080},
        {"the server end of many reset clients that kept only the server's address",
         Resets([](int i) { return Blank("0.0.0.0", 50000, "127.64.0.1", 100 + i); }),
         ServerEnd(5, 9), 100 + kClients - 1, client5, "127.64.0.1", 8080},
        {"the server end of two reset clients, one that kept more than the other",
         {Blank(client5.c_str(), 50000, "127.64.0.1", 20, 99),
          Blank("0.0.0.0", 50000, "127.64.0.1", 21, 100)},
         ServerEnd(5, 9),
         21,
         client5,
         "127.64.0.1",
         8080},
        {"the server end of a client that kept another server's address",
         Resets([](int i) { return Blank(Client(i).c_str(), 50000, "127.64.0.2", 100 + i); }),
         ServerEnd(5, 9, "127.64.0.3"), 0, "", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CAbortedEndPairing pairing;
        EXPECT_TRUE(pairing.Pair(c.waiting, listening, 100).empty());
        const auto rebuilt = pairing.Pair({c.arriving}, listening, 100);
        if (c.cookie == 0) {
            EXPECT_TRUE(rebuilt.empty());
            continue;
        }
        ASSERT_EQ(rebuilt.size(), 1u);
        EXPECT_EQ(rebuilt[0].row.cookie, c.cookie);
        EXPECT_EQ(rebuilt[0].row.localAddress, Address(c.local.c_str()));
        EXPECT_EQ(rebuilt[0].row.remoteAddress, Address(c.remote.c_str()));
        EXPECT_EQ(rebuilt[0].row.remotePort, c.remotePort);
        EXPECT_EQ(pairing.Waiting(), c.waiting.size() - 1);
    }
}

// Waiting ends leave oldest first as they grow old. One paired from among them, a clock set
// back or thousands of pairs passing by keep none of the others waiting too long or too short.
TEST(AbortedEndPairingTest, WaitingEndsLeaveOldestFirst) {
    const CListeningPorts listening;
    struct Step {
        std::vector<TcpEvent> notices;
        std::time_t now;
        std::size_t rebuilt;
        std::size_t waiting;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const auto peer = [](int port, std::time_t time) {
        return End(Row("127.0.0.1", 8080, "127.0.0.1", port, TcpState::Closed, 50), time);
    };
    std::vector<TcpEvent> passing;  // reset clients of port 50000 and their server ends
    for (int i = 1; i <= 3 * static_cast<int>(CAbortedEndPairing::kMaxWaiting); ++i) {
        passing.push_back(Blank(Client(i).c_str(), 50000, "127.64.0.1", 100 + i));
        passing.push_back(ServerEnd(i, 1));
    }
    const Case cases[] = {
        {"one paired among them",
         {{{AbortedClient(1, 1, 100), AbortedClient(2, 2, 101), AbortedClient(3, 3, 102),
            AbortedClient(4, 4, 102)},
           102,
           0,
           4},
          {{peer(2, 102)}, 102, 1, 3},
          {{}, 110, 0, 3},
          {{}, 111, 0, 2},
          {{peer(3, 112)}, 112, 1, 1},
          {{}, 113, 0, 0}}},
        {"several that fit, each taken",
         {{{Blank("0.0.0.0", 50000, "127.64.0.1", 1), Blank("0.0.0.0", 50000, "127.64.0.1", 2),
            Blank("0.0.0.0", 50000, "127.64.0.1", 3)},
           100,
           0,
           3},
          {{ServerEnd(5, 9)}, 100, 1, 2},
          {{ServerEnd(6, 9)}, 100, 1, 1},
          {{ServerEnd(7, 9)}, 100, 1, 0}}},
        {"a clock set back",
         {{{AbortedClient(1, 1, 1000)}, 1000, 0, 1},
          {{AbortedClient(2, 2, 100)}, 100, 0, 1},
          {{peer(1, 100)}, 100, 0, 2},
          {{}, 111, 0, 0}}},
        {"thousands of pairs passing by",
         {{{Blank(Client(0).c_str(), 50000, "127.64.0.1", 7), AbortedClient(7, 8)}, 100, 0, 2},
          {passing, 100, passing.size() / 2, 2},
          {{End(Row("::1", 8080, "::1", 50000, TcpState::Closed))}, 100, 1, 1},
          {{}, 111, 0, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CAbortedEndPairing pairing;
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.now);
            EXPECT_EQ(pairing.Pair(step.notices, listening, step.now).size(), step.rebuilt);
            EXPECT_EQ(pairing.Waiting(), step.waiting);
        }
    }
}

}  // namespace
}  // namespace tarvik
