#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvik
