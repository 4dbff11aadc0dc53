#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "support/TrackerTestDoubles.h"
#include "tracking/ConnectionTracker.h"

namespace tarvik {
namespace {

using test::RecordingHost;
using test::RecordingList;
using Sent = RecordingHost::Kind;

CConnectionRecord Conn(std::uint64_t cookie, int localPort, int remotePort,
                       TcpState state = TcpState::Established, std::string ip = "10.0.0.7") {
    CConnectionRecord record;
    record.ipAddress = ip;
    record.hostName = ip;
    record.interfaceText = "192.168.1.5";
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.category = Category::Inbound;
    record.state = state;
    record.serviceText = "svc";
    record.cookie = cookie;
    return record;
}

ConnectionEvent Ended(CConnectionRecord record, std::time_t time) {
    record.state = TcpState::Closed;
    return {ConnectionEvent::Kind::Ended, std::move(record), time};
}

ConnectionEvent Changed(CConnectionRecord record, std::time_t time) {
    return {ConnectionEvent::Kind::Changed, std::move(record), time};
}

ConnectionEvent Owner(std::uint64_t cookie, int pid, std::string command) {
    CConnectionRecord record = Conn(cookie, 21, 40000);
    record.pid = pid;
    record.command = std::move(command);
    record.user = "alice";
    record.inode = 5000 + cookie;
    return {ConnectionEvent::Kind::Owner, std::move(record), 1100};
}

class TrackerEventsTest : public ::testing::Test {
protected:
    void Snapshot(const std::vector<CConnectionRecord>& rows) { test::FeedSnapshot(tracker, rows); }

    // The records logged since the last call, in order.
    std::vector<CConnectionRecord> TakeLogged() {
        std::vector<CConnectionRecord> logged;
        for (auto& sent : host.TakeSent()) {
            if (sent.kind == Sent::Ended && sent.record) {
                logged.push_back(*sent.record);
            }
        }
        return logged;
    }

    std::vector<Sent> TakeKinds() {
        std::vector<Sent> kinds;
        for (const auto& sent : host.TakeSent()) {
            kinds.push_back(sent.kind);
        }
        return kinds;
    }

    std::vector<std::uint64_t> LiveCookies() const {
        std::vector<std::uint64_t> cookies;
        for (const auto& record : tracker.Current()) {
            cookies.push_back(record.cookie);
        }
        std::sort(cookies.begin(), cookies.end());
        return cookies;
    }

    RecordingHost host;
    RecordingList list;
    CConnectionTracker tracker{host, list};
};

TEST_F(TrackerEventsTest, AChangeOfAnUnknownSocketIsANewConnectionLikeADumpsEntry) {
    host.filter.reverseLookup = 1;
    tracker.ApplyEvents({Changed(Conn(7, 21, 40000), 900)});

    ASSERT_EQ(tracker.Current().size(), 1u);
    const LiveRecord& added = tracker.Current()[0];
    EXPECT_EQ(added.id, 1);
    EXPECT_EQ(added.openTime, 900);
    EXPECT_EQ(added.visible, 1);
    EXPECT_EQ(TakeKinds(), (std::vector<Sent>{Sent::ResolveHost, Sent::NewInbound}));
    EXPECT_EQ(list.opened, (std::vector<int>{1}));
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Insert);

    // The next dump knows it by its cookie: nothing new, nothing ended.
    Snapshot({Conn(7, 21, 40000)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(tracker.Current()[0].id, 1);
}

TEST_F(TrackerEventsTest, EnteringTimeWaitLogsOnceWithTheEventsTime) {
    Snapshot({Conn(7, 21, 40000)});
    host.sent.clear();
    tracker.ApplyEvents({Changed(Conn(7, 21, 40000, TcpState::TimeWait), 1500)});
    const auto logged = TakeLogged();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].openTime, 1000);
    EXPECT_EQ(logged[0].closeTime, 1500);
    EXPECT_EQ(tracker.Current()[0].state, TcpState::TimeWait);

    Snapshot({Conn(7, 21, 40000, TcpState::TimeWait)});
    Snapshot({});
    EXPECT_TRUE(TakeLogged().empty());
}

TEST_F(TrackerEventsTest, AnEndOfAKnownSocketLogsItAtTheEventsTimeAndRemovesIt) {
    Snapshot({Conn(1, 21, 40001), Conn(2, 21, 40002), Conn(3, 21, 40003)});
    host.sent.clear();
    list.TakeOps();
    host.now = 5000;
    // The first removal moves the last row into its place; the second finds it there.
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500), Ended(Conn(3, 21, 40003), 1600)});

    const auto logged = TakeLogged();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].remotePort, 40001);
    EXPECT_EQ(logged[0].openTime, 1000);
    EXPECT_EQ(logged[0].closeTime, 1500);
    EXPECT_EQ(logged[0].state, TcpState::Established);  // as it was known, not as it ended
    EXPECT_EQ(logged[1].remotePort, 40003);
    EXPECT_EQ(logged[1].closeTime, 1600);
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2}));
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Delete);
    EXPECT_EQ(ops[1].kind, RowOp::Kind::Delete);
    EXPECT_EQ(list.ended, (std::vector<int>{1, 3}));
    EXPECT_EQ(list.liveCounts.back(), 1u);

    // The next dump no longer has them; its TIME_WAIT remains are not new connections.
    Snapshot({Conn(2, 21, 40002), Conn(1, 21, 40001, TcpState::TimeWait)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2}));
}

TEST_F(TrackerEventsTest, AConnectionShorterThanAPollIsOpenedAndEndedAtOnce) {
    Snapshot({});
    list.TakeOps();
    tracker.ApplyEvents({Ended(Conn(9, 50000, 8080, TcpState::Established, "127.0.0.1"), 1200)});

    ASSERT_EQ(host.sent.size(), 2u);
    EXPECT_EQ(host.sent[0].kind, Sent::Ended);
    ASSERT_TRUE(host.sent[0].record);
    EXPECT_EQ(host.sent[0].record->openTime, 1200);
    EXPECT_EQ(host.sent[0].record->closeTime, 1200);
    EXPECT_EQ(host.sent[0].record->localPort, 50000);
    EXPECT_EQ(host.sent[0].record->id, 1);
    EXPECT_EQ(host.sent[1].inbound, (InboundConnection{"127.0.0.1", 50000}));
    EXPECT_EQ(list.opened, (std::vector<int>{1}));
    EXPECT_EQ(list.ended, (std::vector<int>{1}));

    // The same of an outbound connection: logged, and nothing for the scan watcher.
    CConnectionRecord outbound = Conn(10, 50001, 8080, TcpState::Established, "127.0.0.1");
    outbound.category = Category::Outbound;
    host.sent.clear();
    tracker.ApplyEvents({Changed(outbound, 1300), Ended(outbound, 1301)});
    EXPECT_EQ(TakeKinds(), (std::vector<Sent>{Sent::Ended}));
    EXPECT_TRUE(tracker.Current().empty());
    host.sent.clear();

    // Its TIME_WAIT remains in the next dumps are no new connection, nor is a second notice.
    Snapshot({Conn(9, 50000, 8080, TcpState::TimeWait, "127.0.0.1")});
    tracker.ApplyEvents({Ended(Conn(9, 50000, 8080, TcpState::Established, "127.0.0.1"), 1300)});
    Snapshot({Conn(9, 50000, 8080, TcpState::TimeWait, "127.0.0.1")});
    Snapshot({});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(tracker.Current().empty());
}

TEST_F(TrackerEventsTest, NoticesOfSocketsThatNeverConnectedAreNoConnections) {
    tracker.ApplyEvents({Ended(Conn(4, 0, 0), 1200), Ended(Conn(5, 8080, 0), 1200)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(list.opened.empty());
}

TEST_F(TrackerEventsTest, ByteCountsOnlyGrowAndTheEndCarriesTheNoticesLast) {
    const auto with = [](CConnectionRecord record, ByteCounts bytes) {
        record.bytes = bytes;
        return record;
    };
    Snapshot(
        {with(Conn(1, 21, 40001), {10, 20}), with(Conn(2, 21, 40002, TcpState::FinWait2), {5, 5})});
    list.TakeOps();
    // Larger counts update the row; a read without counts (TIME_WAIT remains) lowers none.
    Snapshot({with(Conn(1, 21, 40001), {100, 200}), Conn(2, 21, 40002, TcpState::FinWait2)});
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Update);
    EXPECT_EQ(ops[0].record.bytes, (ByteCounts{100, 200}));
    host.sent.clear();
    // A passive end, and an active one whose TIME_WAIT stays: each logged with its last counts.
    tracker.ApplyEvents({Ended(with(Conn(1, 21, 40001), {150, 250}), 1500),
                         Ended(with(Conn(2, 21, 40002), {9, 7}), 1600)});
    const auto logged = TakeLogged();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].bytes, (ByteCounts{150, 250}));
    EXPECT_EQ(logged[1].bytes, (ByteCounts{9, 7}));
}

// Where notices tell ends, an end a dump saw first waits for its notice, whose counts are the
// socket's last; without one it goes as the dump saw it after the next dump.
TEST_F(TrackerEventsTest, AnEndADumpSawFirstTakesTheCountsOfItsNotice) {
    const auto with = [](CConnectionRecord record, ByteCounts bytes) {
        record.bytes = bytes;
        return record;
    };
    enum What { Dump, End };
    struct Step {
        What what;
        CConnectionRecord record;
    };
    const CConnectionRecord other = Conn(1, 22, 40001);
    const struct {
        const char* name;
        std::vector<Step> steps;
        ByteCounts logged;
    } cases[] = {
        {"its TIME_WAIT, then its notice",
         {{Dump, with(Conn(7, 21, 40007), {10, 20})},
          {Dump, Conn(7, 21, 40007, TcpState::TimeWait)},
          {End, with(Conn(7, 21, 40007), {100, 200})}},
         {100, 200}},
        {"gone from the dump, then its notice",
         {{Dump, with(Conn(7, 21, 40007), {10, 20})},
          {Dump, other},
          {End, with(Conn(7, 21, 40007), {100, 200})}},
         {100, 200}},
        {"remains under another cookie first seen, then the notice",
         {{Dump, other},
          {Dump, Conn(8, 21, 40007, TcpState::TimeWait)},
          {End, with(Conn(7, 21, 40007), {100, 200})}},
         {100, 200}},
        {"its TIME_WAIT and no notice by the next dump",
         {{Dump, with(Conn(7, 21, 40007), {10, 20})},
          {Dump, Conn(7, 21, 40007, TcpState::TimeWait)},
          {Dump, other}},
         {10, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost caseHost;
        RecordingList caseList;
        CConnectionTracker caseTracker{caseHost, caseList};
        // Another connection's end: this kernel tells ends.
        caseTracker.ApplyEvents({Ended(Conn(5, 21, 40005), 1000)});
        for (const Step& step : c.steps) {
            if (step.what == Dump) {
                test::FeedSnapshot(caseTracker, {other, step.record});
            } else {
                caseTracker.ApplyEvents({Ended(step.record, 1010)});
            }
        }
        std::vector<ByteCounts> logged;
        for (const auto& sent : caseHost.sent) {
            if (sent.kind == Sent::Ended && sent.record && sent.record->localPort == 21 &&
                sent.record->remotePort == 40007) {
                logged.push_back(sent.record->bytes);
            }
        }
        EXPECT_EQ(logged, std::vector<ByteCounts>{c.logged});
        EXPECT_EQ(caseTracker.AwaitedEnds(), 0u);
    }
}

TEST_F(TrackerEventsTest, ALateNoticeOfASocketADumpEndedIsNotLoggedAgain) {
    Snapshot({Conn(1, 21, 40001), Conn(2, 21, 40002)});
    Snapshot({Conn(2, 21, 40002)});  // 1 ended: logged by the dump
    ASSERT_EQ(TakeLogged().size(), 1u);

    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500)});
    EXPECT_TRUE(host.sent.empty());
    // Still known one snapshot later, when a notice may come in the worst case.
    Snapshot({Conn(2, 21, 40002)});
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500)});
    EXPECT_TRUE(host.sent.empty());

    // Remembered for a bounded time only: long after, the cookie means nothing.
    Snapshot({Conn(2, 21, 40002)});
    Snapshot({Conn(2, 21, 40002)});
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500)});
    EXPECT_EQ(TakeLogged().size(), 1u);
}

TEST_F(TrackerEventsTest, EndedCookiesAreForgottenAfterTwoDumpsAndTheirTime) {
    struct Case {
        const char* how;
        std::vector<ConnectionEvent> notices;  // between the two dumps
    };
    const std::vector<Case> cases = {
        {"ended by dumps alone, as when polling", {}},
        {"ended by notices", {Ended(Conn(1, 21, 40001), 1001), Ended(Conn(2, 21, 40002), 1001)}},
    };
    for (const Case& c : cases) {
        RecordingHost clock;
        RecordingList rows;
        CConnectionTracker fresh{clock, rows};
        test::FeedSnapshot(fresh, {Conn(1, 21, 40001), Conn(2, 21, 40002), Conn(3, 21, 40003)});
        fresh.ApplyEvents(c.notices);
        test::FeedSnapshot(fresh, {});
        EXPECT_GT(fresh.RememberedEnds(), 0u) << c.how;
        clock.now += 3600;
        test::FeedSnapshot(fresh, {});
        test::FeedSnapshot(fresh, {});
        EXPECT_EQ(fresh.RememberedEnds(), 0u) << c.how;
    }
}

TEST_F(TrackerEventsTest, ASecondEndOfTheSameSocketIsIgnored) {
    Snapshot({Conn(1, 21, 40001)});
    host.sent.clear();
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500), Ended(Conn(1, 21, 40001), 1501),
                         Ended(Conn(8, 21, 40008), 1502), Ended(Conn(8, 21, 40008), 1503)});
    const auto logged = TakeLogged();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].remotePort, 40001);
    EXPECT_EQ(logged[1].remotePort, 40008);
    // A change reported after the end does not bring it back either.
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001), 1504)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(tracker.Current().empty());
}

TEST_F(TrackerEventsTest, TheEndOfAConnectionInTimeWaitKeepsItsRowWithoutASecondLog) {
    Snapshot({Conn(1, 21, 40001)});
    Snapshot({Conn(1, 21, 40001, TcpState::TimeWait)});
    ASSERT_EQ(TakeLogged().size(), 1u);
    list.TakeOps();

    // The full socket closed; its TIME_WAIT stays in the table and so in the list.
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{1}));
    Snapshot({Conn(1, 21, 40001, TcpState::TimeWait)});
    EXPECT_TRUE(host.sent.empty());
    Snapshot({});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(tracker.Current().empty());
}

// Every order in which a dump's rows, notices, stale reads and a restart can tell of one
// kernel socket: it is logged exactly once, and never with a close before its open.
TEST_F(TrackerEventsTest, EachSocketEndsInTheLogsOnceWhateverTheOrder) {
    using S = TcpState;
    struct Step {
        enum { Dump, Notice, End } what;
        std::uint64_t cookie = 0;
        S state = S::Established;
        std::time_t time = 0;  // the read's or the notice's
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::size_t logged;
        bool rowLeft;  // a TIME_WAIT row stays in the list after the steps
        // Records of a half-done handshake, announced and then known to be another's.
        std::size_t superseded = 0;
    };
    // Cookie 7 is the full socket; 8 the same connection's TIME_WAIT remains, which get a
    // cookie of their own when no dump saw the full socket.
    const std::vector<Case> cases = {
        {"a stale notice after a dump's TIME_WAIT",
         {{Step::Dump, 7, S::Established, 1000},
          {Step::Dump, 7, S::TimeWait, 1002},
          {Step::Notice, 7, S::FinWait1, 1001},
          {Step::End, 7, S::Closed, 1001}},
         1,
         true},
        {"a stale dump after the notices",
         {{Step::Dump, 7, S::Established, 1000},
          {Step::Notice, 7, S::FinWait2, 1001},
          {Step::Dump, 7, S::Established, 1002},
          {Step::End, 7, S::Closed, 1003},
          {Step::Dump, 7, S::FinWait2, 1004}},
         1,
         true},
        {"the notice, then the remains under another cookie",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::End, 7, S::Closed, 1001},
          {Step::Dump, 8, S::TimeWait, 1002}},
         1,
         true},
        {"the remains in FIN_WAIT2, then gone",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::End, 7, S::Closed, 1001},
          {Step::Dump, 8, S::FinWait2, 1002},
          {Step::Dump, 1, S::Established, 1003}},
         1,
         false},
        {"the remains first seen in TIME_WAIT, then the notice",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::Dump, 8, S::TimeWait, 1002},
          {Step::End, 7, S::Closed, 1001}},
         1,
         true},
        {"an end told before the read that first showed the row",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::Dump, 7, S::Established, 1005},
          {Step::End, 7, S::Closed, 1003}},
         1,
         false},
        {"the same end again seconds and dumps later (a reset paired late)",
         {{Step::Dump, 7, S::Established, 1000},
          {Step::End, 7, S::Closed, 1001},
          {Step::Dump, 1, S::Established, 1002},
          {Step::Dump, 1, S::Established, 1003},
          {Step::Dump, 1, S::Established, 1004},
          {Step::End, 7, S::Closed, 1011}},
         1,
         false},
        {"a dump shows the socket closed here, its last notices lost",
         {{Step::Dump, 7, S::Established, 1000},
          {Step::Notice, 7, S::FinWait2, 1001},
          {Step::Dump, 7, S::FinWait2, 1002}},
         1,
         false},
        {"FIN_WAIT2 remains first seen, then the notice, then gone",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::Dump, 8, S::FinWait2, 1002},
          {Step::End, 7, S::Closed, 1001},
          {Step::Dump, 1, S::Established, 1003}},
         1,
         false},
        {"FIN_WAIT2 remains in the first dump after a start, then gone",
         {{Step::Dump, 8, S::FinWait2, 1000}, {Step::Dump, 1, S::Established, 1001}},
         0,
         false},
        {"FIN_WAIT2 in the first dump, then its notice: it closed after the start",
         {{Step::Dump, 7, S::FinWait2, 1000}, {Step::End, 7, S::Closed, 1001}},
         1,
         true},
        {"a dump saw the handshake half done under another cookie",
         {{Step::Dump, 1, S::Established, 1000},
          {Step::Dump, 6, S::SynReceived, 1001},
          {Step::Notice, 7, S::Established, 1002},
          {Step::End, 7, S::Closed, 1003},
          {Step::Dump, 1, S::Established, 1004}},
         1,
         false,
         1},
        {"TIME_WAIT in the first dump after a start: ended before it",
         {{Step::Dump, 7, S::TimeWait, 1000}, {Step::Dump, 1, S::Established, 1001}},
         0,
         false},
        {"TIME_WAIT in the first dump, then its notice: it closed after the start",
         {{Step::Dump, 7, S::TimeWait, 1000}, {Step::End, 7, S::Closed, 1001}},
         1,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost caseHost;
        RecordingList caseList;
        CConnectionTracker caseTracker{caseHost, caseList};
        for (const Step& step : c.steps) {
            CConnectionRecord row = Conn(step.cookie, 50000, 8080, step.state);
            if (step.cookie == 1) {
                row = Conn(1, 22, 40001);  // another connection, so that a dump is not empty
            }
            if (step.what == Step::Dump) {
                caseHost.now = step.time;
                test::FeedSnapshot(caseTracker, {row});
            } else if (step.what == Step::Notice) {
                caseTracker.ApplyEvents({Changed(row, step.time)});
            } else {
                caseTracker.ApplyEvents({Ended(row, step.time)});
            }
        }
        caseTracker.LogAwaitedEnds();  // what still waits for a notice goes, as at a quit
        std::size_t logged = 0;
        for (const auto& sent : caseHost.sent) {
            if (sent.kind == Sent::Ended && sent.record && sent.record->localPort == 50000) {
                ++logged;
                EXPECT_GE(sent.record->closeTime, sent.record->openTime);
            }
        }
        EXPECT_EQ(logged, c.logged);
        const auto& live = caseTracker.Current();
        const bool rowLeft = std::any_of(live.begin(), live.end(), [](const auto& record) {
            return record.localPort == 50000 && record.state == TcpState::TimeWait;
        });
        EXPECT_EQ(rowLeft, c.rowLeft);
        // Every connection announced has ended or is still open (not closed on this side).
        const auto open = std::count_if(live.begin(), live.end(), [](const auto& record) {
            return record.state != TcpState::TimeWait && record.state != TcpState::FinWait2;
        });
        EXPECT_EQ(caseList.opened.size() - caseList.ended.size(),
                  static_cast<std::size_t>(open) + c.superseded);
    }
}

TEST_F(TrackerEventsTest, ALossOfNoticesIsToldOnAndChangesNothing) {
    Snapshot({Conn(2, 22, 40002)});
    host.sent.clear();
    ConnectionEvent lost;
    lost.kind = ConnectionEvent::Kind::NoticesLost;
    lost.time = 1500;
    tracker.ApplyEvents({lost});
    EXPECT_EQ(list.lost, (std::vector<std::time_t>{1500}));
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2}));
}

TEST_F(TrackerEventsTest, ATimeWaitRowANoticeMadeLeavesWhenTheKernelsWouldExpire) {
    Snapshot({Conn(2, 22, 40002)});
    tracker.ApplyEvents({Changed(Conn(7, 50000, 8080, TcpState::Established), 1100),
                         Changed(Conn(7, 50000, 8080, TcpState::FinWait2), 1101),
                         Ended(Conn(7, 50000, 8080), 1102)});
    ASSERT_EQ(TakeLogged().size(), 1u);
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2, 7}));
    tracker.ApplyEvents({Changed(Conn(2, 22, 40002, TcpState::CloseWait),
                                 1102 + CConnectionTracker::kTimeWaitSeconds - 1)});
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2, 7}));
    list.TakeOps();
    tracker.ApplyEvents({Changed(Conn(2, 22, 40002, TcpState::LastAck),
                                 1102 + CConnectionTracker::kTimeWaitSeconds)});
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{2}));
    EXPECT_TRUE(TakeLogged().empty());
    const auto ops = list.TakeOps();
    EXPECT_TRUE(std::any_of(ops.begin(), ops.end(), [](const RowOp& op) {
        return op.kind == RowOp::Kind::Delete && op.record.cookie == 7;
    }));
}

TEST_F(TrackerEventsTest, AHostNameAfterARemovalNamesTheRightRows) {
    Snapshot({Conn(1, 21, 40001, TcpState::Established, "10.0.0.1"),
              Conn(2, 21, 40002, TcpState::Established, "10.0.0.2"),
              Conn(3, 21, 40003, TcpState::Established, "10.0.0.3")});
    tracker.ApplyHostName("first", "10.0.0.1");  // the rows by address are made here
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001, TcpState::Established, "10.0.0.1"), 1500)});
    list.TakeOps();
    tracker.ApplyHostName("Third", "10.0.0.3");
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].record.cookie, 3u);
    EXPECT_EQ(ops[0].record.hostName, "third");
}

// The process that accepted a connection is known after the connection: its row is updated
// and its end logged with it. Nothing else changes.
TEST_F(TrackerEventsTest, TheAcceptingProcessNamesTheKnownConnectionOnce) {
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001), 1000), Changed(Conn(2, 21, 40002), 1000)});
    CConnectionRecord named = Conn(2, 21, 40002);
    named.pid = 77;
    named.command = "dumped";
    Snapshot({Conn(1, 21, 40001), named});  // a dump found the second one's owner first
    list.TakeOps();
    host.sent.clear();

    tracker.ApplyEvents({Owner(1, 42, "sshd"), Owner(2, 43, "other"), Owner(9, 44, "gone")});
    EXPECT_TRUE(host.sent.empty()) << "an owner is no new connection";
    EXPECT_EQ(LiveCookies(), (std::vector<std::uint64_t>{1, 2}));
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Update);
    EXPECT_EQ(ops[0].record.cookie, 1u);
    EXPECT_EQ(ops[0].record.state, TcpState::Established);

    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500), Ended(Conn(2, 21, 40002), 1500)});
    const auto logged = TakeLogged();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].pid, 42);
    EXPECT_EQ(logged[0].command, "sshd");
    EXPECT_EQ(logged[0].user, "alice");
    EXPECT_EQ(logged[0].inode, 5001u);
    EXPECT_EQ(logged[1].pid, 77);
    EXPECT_EQ(logged[1].command, "dumped");
}

// Event streams hear of each change of a live record even when no list shows rows; the end
// and a change of the view filter are not updates.
TEST_F(TrackerEventsTest, ChangesOfStateNameAndOwnerAreToldAsUpdatesWithoutRows) {
    list.takesRows = false;
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001, TcpState::SynReceived), 1000),
                         Changed(Conn(2, 21, 40002, TcpState::SynReceived), 1000)});
    // One update for all a batch changed of a record; none for one that ended in it.
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001), 1001), Changed(Conn(2, 21, 40002), 1001),
                         Owner(1, 42, "sshd"), Ended(Conn(2, 21, 40002), 1001)});
    tracker.ApplyHostName("peer", Conn(1, 21, 40001).ipAddress);
    host.filter.showInbound = 0;
    Snapshot({Conn(1, 21, 40001)});
    CConnectionRecord daemonsUpdate = Conn(1, 21, 40001);  // a viewer's source names the owner
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001, TcpState::CloseWait), 1002)});
    daemonsUpdate.state = TcpState::CloseWait;
    daemonsUpdate.pid = 50;
    tracker.ApplyEvents({Changed(daemonsUpdate, 1003)});
    tracker.ApplyEvents({Changed(Conn(1, 21, 40001, TcpState::TimeWait), 1004)});

    std::vector<std::tuple<TcpState, int, std::string>> seen;
    for (const CConnectionRecord& record : list.updated) {
        seen.emplace_back(record.state, record.pid, record.hostName);
    }
    EXPECT_EQ(seen, (std::vector<std::tuple<TcpState, int, std::string>>{
                        {TcpState::Established, 42, "10.0.0.7"},
                        {TcpState::Established, 42, "peer"},
                        {TcpState::CloseWait, 42, "peer"}}))
        << "a named owner stays; the end is no update";
    EXPECT_TRUE(list.batches.empty());
}

TEST_F(TrackerEventsTest, EventsWithinAnOpenSnapshotCloseItFirst) {
    Snapshot({Conn(1, 21, 40001)});
    tracker.BeginSnapshot();
    tracker.AddEntry(Conn(1, 21, 40001));
    tracker.ApplyEvents({Ended(Conn(1, 21, 40001), 1500)});
    EXPECT_FALSE(tracker.InSnapshot());
    EXPECT_EQ(TakeLogged().size(), 1u);
    EXPECT_TRUE(tracker.Current().empty());
}

}  // namespace
}  // namespace tarvik
