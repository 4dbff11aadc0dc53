#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/TrackerTestDoubles.h"
#include "tracking/ConnectionTracker.h"

namespace tarvik {
namespace {

using test::RecordingHost;
using test::RecordingList;
using Sent = RecordingHost::Kind;
constexpr auto kNew = Sent::NewInbound;
constexpr auto kResolve = Sent::ResolveHost;
constexpr auto kEnded = Sent::Ended;

CConnectionRecord Row(std::string ip, int localPort, int remotePort, Category category,
                      TcpState state = TcpState::Established, std::string iface = "192.168.1.5") {
    CConnectionRecord record;
    record.ipAddress = ip;
    record.hostName = ip;
    record.interfaceText = std::move(iface);
    record.localPort = localPort;
    record.remotePort = remotePort;
    record.category = category;
    record.state = state;
    record.serviceText = "svc";
    return record;
}

CConnectionRecord Listener(int port, std::string iface = "127.0.0.1") {
    CConnectionRecord record = Row("n/a", port, 0, Category::Listening, TcpState::Listen, iface);
    return record;
}

std::vector<int> Ids(const std::vector<LiveRecord>& records) {
    std::vector<int> ids;
    for (const auto& record : records) {
        ids.push_back(record.id);
    }
    return ids;
}

struct OpSummary {
    RowOp::Kind kind;
    int id;
    int visible;
    TcpState state;
    bool operator==(const OpSummary&) const = default;
};

std::vector<OpSummary> Summarize(const std::vector<RowOp>& ops) {
    std::vector<OpSummary> out;
    for (const auto& op : ops) {
        out.push_back({op.kind, op.record.id, op.visible, op.record.state});
    }
    return out;
}

void PrintTo(const OpSummary& op, std::ostream* out) {
    *out << "{kind " << static_cast<int>(op.kind) << ", id " << op.id << ", visible " << op.visible
         << ", state " << static_cast<int>(op.state) << "}";
}

class TrackerTest : public ::testing::Test {
protected:
    void Snapshot(const std::vector<CConnectionRecord>& rows) { test::FeedSnapshot(tracker, rows); }

    std::vector<Sent> SentKinds() const {
        std::vector<Sent> kinds;
        for (const auto& item : host.sent) {
            kinds.push_back(item.kind);
        }
        return kinds;
    }

    RecordingHost host;
    RecordingList list;
    CConnectionTracker tracker{host, list};
};

constexpr auto kInsert = RowOp::Kind::Insert;
constexpr auto kUpdate = RowOp::Kind::Update;
constexpr auto kDelete = RowOp::Kind::Delete;

TEST_F(TrackerTest, FirstSnapshotNumbersRowsAndAnnouncesEachOne) {
    host.filter.reverseLookup = 1;
    host.now = 1234;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound), Listener(80),
              Row("10.0.0.9", 50000, 443, Category::Outbound)});

    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{1, 2, 3}));
    for (const auto& record : tracker.Current()) {
        EXPECT_EQ(record.openTime, 1234);
        EXPECT_TRUE(record.visible);
    }
    // Every address is asked for; the scan watcher hears of the inbound connection alone.
    ASSERT_EQ(SentKinds(), (std::vector<Sent>{kResolve, kResolve, kResolve, kNew}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(host.sent[i].address, tracker.Current()[i].ipAddress);
    }
    EXPECT_EQ(host.sent[3].inbound, (InboundConnection{"10.0.0.7", 21}));
    ASSERT_EQ(list.batches.size(), 1u);
    EXPECT_EQ(Summarize(list.batches[0]),
              (std::vector<OpSummary>{{kInsert, 1, 1, TcpState::Established},
                                      {kInsert, 2, 1, TcpState::Listen},
                                      {kInsert, 3, 1, TcpState::Established}}));
    EXPECT_EQ(list.batches[0][1].record, tracker.Current()[1]);
}

TEST_F(TrackerTest, NoLookupRequestsWhileReverseLookupIsOff) {
    host.filter.reverseLookup = 0;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound), Listener(80)});
    EXPECT_EQ(SentKinds(), (std::vector<Sent>{kNew}));
}

TEST_F(TrackerTest, ScanWatcherHearsOfNewInboundConnectionsAloneInOneValuePerMerge) {
    host.filter.showInbound = 0;  // hidden connections are counted all the same
    const std::vector<CConnectionRecord> rows{Row("10.0.0.7", 21, 40000, Category::Inbound),
                                              Listener(80),
                                              Row("10.0.0.9", 50000, 443, Category::Outbound),
                                              Row("10.0.0.5", 7, 40001, Category::Unknown),
                                              Row("10.0.0.8", 22, 40002, Category::Inbound)};
    Snapshot(rows);
    std::vector<std::optional<InboundConnection>> inbound;
    for (const auto& sent : host.TakeSent()) {
        inbound.push_back(sent.inbound);
    }
    EXPECT_EQ(inbound, (std::vector<std::optional<InboundConnection>>{
                           InboundConnection{"10.0.0.7", 21}, InboundConnection{"10.0.0.8", 22}}));
    EXPECT_EQ(host.inboundBatches, 1);
    Snapshot(rows);  // nothing new
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(host.inboundBatches, 1);
}

TEST_F(TrackerTest, UnchangedEntryCausesNoOperationAndNoMessage) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    host.sent.clear();
    list.batches.clear();

    CConnectionRecord again = Row("10.0.0.7", 21, 40000, Category::Inbound);
    again.serviceText = "other";
    again.hostName = "someone";
    host.now = 5000;
    Snapshot({again});

    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(list.batches.empty());
    ASSERT_EQ(tracker.Current().size(), 1u);
    // The known record keeps its identity and texts.
    EXPECT_EQ(tracker.Current()[0].id, 1);
    EXPECT_EQ(tracker.Current()[0].openTime, 1000);
    EXPECT_EQ(tracker.Current()[0].serviceText, "svc");
    EXPECT_EQ(tracker.Current()[0].hostName, "10.0.0.7");
}

TEST_F(TrackerTest, AnOwnerFoundAfterTheConnectionReachesItsRowOnce) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    list.batches.clear();
    CConnectionRecord owned = Row("10.0.0.7", 21, 40000, Category::Inbound);
    owned.pid = 812;
    owned.command = "vsftpd";
    owned.user = "ftp";
    Snapshot({owned});
    ASSERT_EQ(list.batches.size(), 1u);
    ASSERT_EQ(list.batches[0].size(), 1u);
    EXPECT_EQ(list.batches[0][0].kind, RowOp::Kind::Update);
    EXPECT_EQ(list.batches[0][0].record.pid, 812);
    EXPECT_EQ(list.batches[0][0].record.command, "vsftpd");
    EXPECT_EQ(tracker.Current()[0].user, "ftp");
    EXPECT_EQ(tracker.Current()[0].id, 1);

    // Known owners are not changed, nor the row touched again.
    list.batches.clear();
    owned.pid = 999;
    Snapshot({owned});
    EXPECT_TRUE(list.batches.empty());
    EXPECT_EQ(tracker.Current()[0].pid, 812);
}

TEST_F(TrackerTest, TimeWaitIsLoggedOnceWhenEnteredAndNotAgainAtRemoval) {
    host.now = 1000;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established)});
    host.sent.clear();
    list.batches.clear();

    host.now = 2000;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].kind, kEnded);
    CConnectionRecord expected = Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait);
    expected.id = 1;
    expected.openTime = 1000;
    expected.closeTime = 2000;
    EXPECT_EQ(host.sent[0].record, expected);
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kUpdate, 1, 1, TcpState::TimeWait}}));
    host.sent.clear();

    host.now = 3000;
    Snapshot({});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kDelete, 1, 1, TcpState::TimeWait}}));
    EXPECT_TRUE(tracker.Current().empty());
}

TEST_F(TrackerTest, ConnectionFirstSeenInTimeWaitIsNeverLogged) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    host.sent.clear();
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    Snapshot({});
    EXPECT_TRUE(host.sent.empty());
}

TEST_F(TrackerTest, EndedConnectionIsLoggedOnceWithTheCloseTimeOfThatSnapshot) {
    host.now = 1000;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound),
              Row("10.0.0.8", 22, 40001, Category::Inbound)});
    host.sent.clear();
    list.batches.clear();

    host.now = 4242;
    Snapshot({Row("10.0.0.8", 22, 40001, Category::Inbound)});
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].kind, kEnded);
    CConnectionRecord expected = Row("10.0.0.7", 21, 40000, Category::Inbound);
    expected.id = 1;
    expected.openTime = 1000;
    expected.closeTime = 4242;
    EXPECT_EQ(host.sent[0].record, expected);
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kDelete, 1, 1, TcpState::Established}}));
    host.sent.clear();

    host.now = 5000;
    Snapshot({Row("10.0.0.8", 22, 40001, Category::Inbound)});
    EXPECT_TRUE(host.sent.empty());
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{2}));
}

TEST_F(TrackerTest, EntriesWithTheSameKeyMatchKnownRecordsInOrder) {
    Snapshot({Listener(80), Listener(80)});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{1, 2}));
    list.batches.clear();
    host.sent.clear();

    // The first entry takes id 1, the second id 2, the third is new.
    CConnectionRecord changed = Listener(80);
    changed.state = TcpState::Closed;
    Snapshot({changed, Listener(80), Listener(80)});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(tracker.Current()[0].state, TcpState::Closed);
    EXPECT_EQ(tracker.Current()[1].state, TcpState::Listen);
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kUpdate, 1, 1, TcpState::Closed},
                                      {kInsert, 3, 1, TcpState::Listen}}));
}

TEST_F(TrackerTest, KeyUsesAddressInterfaceAndBothPorts) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    Snapshot({Row("10.0.0.70", 21, 40000, Category::Inbound),
              Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::Established, "10.1.1.1"),
              Row("10.0.0.7", 22, 40000, Category::Inbound),
              Row("10.0.0.7", 21, 40001, Category::Inbound),
              Row("10.0.0.7", 21, 40000, Category::Inbound)});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{2, 3, 4, 5, 1}));
}

TEST_F(TrackerTest, SwitchingListeningPortsShowsAndHidesThemAtTheNextSnapshot) {
    host.filter.showListening = 0;
    Snapshot({Listener(80), Row("10.0.0.7", 21, 40000, Category::Inbound)});
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kInsert, 2, 1, TcpState::Established}}));

    host.filter.showListening = 1;
    Snapshot({Listener(80), Row("10.0.0.7", 21, 40000, Category::Inbound)});
    // An update of a row that is not shown yet makes the list sort and insert it.
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kUpdate, 1, 1, TcpState::Listen}}));

    host.filter.showListening = 0;
    Snapshot({Listener(80), Row("10.0.0.7", 21, 40000, Category::Inbound)});
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kUpdate, 1, 0, TcpState::Listen}}));
}

TEST_F(TrackerTest, CategoryIsShownOnlyWhenItsSwitchIsExactlyOne) {
    host.filter.showInbound = 2;
    host.filter.showOutbound = 1;
    host.filter.showUnknown = 0;
    Snapshot({Row("10.0.0.1", 21, 40000, Category::Inbound),
              Row("10.0.0.2", 40000, 80, Category::Outbound),
              Row("10.0.0.3", 40000, 40001, Category::Unknown),
              Row("10.0.0.4", 1, 2, static_cast<Category>(9999))});
    std::vector<int> visible;
    for (const auto& record : tracker.Current()) {
        visible.push_back(record.visible);
    }
    EXPECT_EQ(visible, (std::vector<int>{0, 1, 0, 1}));
}

TEST_F(TrackerTest, InterfaceFilterShowsOnlyTheChosenInterface) {
    host.filter.interfaces = std::make_shared<const std::vector<std::string>>(
        std::vector<std::string>{"10.0.0.1", "192.168.1.5"});
    const std::vector<CConnectionRecord> rows{
        Row("10.0.0.7", 21, 40000, Category::Inbound),
        Row("10.0.0.8", 21, 40000, Category::Inbound, TcpState::Established, "10.0.0.1")};
    auto visibleWith = [&](int netIf) {
        host.filter.netIf = netIf;
        CConnectionTracker fresh(host, list);
        fresh.BeginSnapshot();
        for (const auto& row : rows) {
            fresh.AddEntry(row);
        }
        fresh.EndSnapshot();
        std::vector<int> visible;
        for (const auto& record : fresh.Current()) {
            visible.push_back(record.visible);
        }
        return visible;
    };
    EXPECT_EQ(visibleWith(-1), (std::vector<int>{1, 1}));
    EXPECT_EQ(visibleWith(0), (std::vector<int>{0, 1}));
    EXPECT_EQ(visibleWith(1), (std::vector<int>{1, 0}));
    // An index outside the list matches no interface.
    EXPECT_EQ(visibleWith(2), (std::vector<int>{0, 0}));
    EXPECT_EQ(visibleWith(-5), (std::vector<int>{0, 0}));
    host.filter.interfaces = nullptr;
    EXPECT_EQ(visibleWith(0), (std::vector<int>{0, 0}));
}

TEST_F(TrackerTest, HostNameIsLowerCasedAndSetOnEveryConnectionWithTheAddress) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound),
              Row("10.0.0.8", 22, 40001, Category::Inbound),
              Row("10.0.0.7", 23, 40002, Category::Inbound)});
    list.batches.clear();

    tracker.ApplyHostName("Mail.Example.ORG", "10.0.0.7");
    ASSERT_EQ(list.batches.size(), 1u);
    EXPECT_EQ(Summarize(list.batches[0]),
              (std::vector<OpSummary>{{kUpdate, 1, 1, TcpState::Established},
                                      {kUpdate, 3, 1, TcpState::Established}}));
    EXPECT_EQ(list.batches[0][0].record.hostName, "mail.example.org");
    EXPECT_EQ(tracker.Current()[0].hostName, "mail.example.org");
    EXPECT_EQ(tracker.Current()[1].hostName, "10.0.0.8");
    EXPECT_EQ(tracker.Current()[2].hostName, "mail.example.org");
}

TEST_F(TrackerTest, HostNameDuringASnapshotReachesEveryRecordOfTheAddress) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound),
              Row("10.0.0.7", 22, 40001, Category::Inbound)});
    list.batches.clear();

    tracker.BeginSnapshot();
    tracker.AddEntry(Row("10.0.0.7", 21, 40000, Category::Inbound));
    tracker.ApplyHostName("Host", "10.0.0.7");
    EXPECT_TRUE(list.batches.empty()) << "joins the snapshot's batch";
    // Carried over after the answer: named as well, since no second answer comes; a new
    // connection from the host is inserted with the name.
    tracker.AddEntry(Row("10.0.0.7", 22, 40001, Category::Inbound));
    tracker.AddEntry(Row("10.0.0.9", 22, 40001, Category::Inbound));
    tracker.AddEntry(Row("10.0.0.7", 23, 40002, Category::Inbound));
    tracker.EndSnapshot();

    ASSERT_EQ(list.batches.size(), 1u);
    EXPECT_EQ(Summarize(list.batches[0]),
              (std::vector<OpSummary>{{kInsert, 3, 1, TcpState::Established},
                                      {kInsert, 4, 1, TcpState::Established},
                                      {kUpdate, 1, 1, TcpState::Established},
                                      {kUpdate, 2, 1, TcpState::Established}}));
    EXPECT_EQ(list.batches[0][1].record.hostName, "host");
    EXPECT_EQ(list.batches[0][3].record.hostName, "host");
    EXPECT_EQ(tracker.Current()[0].hostName, "host");
    EXPECT_EQ(tracker.Current()[1].hostName, "host");
    EXPECT_EQ(tracker.Current()[2].hostName, "10.0.0.9");
}

TEST_F(TrackerTest, MessagesOutsideASnapshotLeaveTheLiveSetIntact) {
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    host.sent.clear();
    list.batches.clear();

    tracker.AddEntry(Row("10.0.0.8", 21, 40000, Category::Inbound));
    tracker.EndSnapshot();
    tracker.EndSnapshot();
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{1}));
    EXPECT_TRUE(host.sent.empty());
    EXPECT_TRUE(list.batches.empty());

    // A begin while a snapshot is open ends the open one first.
    tracker.BeginSnapshot();
    tracker.AddEntry(Row("10.0.0.8", 21, 40000, Category::Inbound));
    tracker.BeginSnapshot();
    EXPECT_EQ(SentKinds(), (std::vector<Sent>{kEnded, kNew}));
    EXPECT_EQ(host.sent[0].record->id, 1);
    tracker.AddEntry(Row("10.0.0.8", 21, 40000, Category::Inbound));
    tracker.EndSnapshot();
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{2}));
}

TEST_F(TrackerTest, ManyConnectionsFromOneHostAskOnceAndAreNamedOnce) {
    constexpr int kRows = 4000;
    host.filter.reverseLookup = 1;
    std::vector<CConnectionRecord> rows;
    for (int i = 0; i < kRows; ++i) {
        rows.push_back(Row("10.9.8.7", 443, 1024 + i, Category::Inbound));
    }
    Snapshot(rows);
    auto requests = [&] {
        const auto numbers = SentKinds();
        return std::count(numbers.begin(), numbers.end(), kResolve);
    };
    EXPECT_EQ(requests(), 1);
    list.batches.clear();

    // The lookup worker may answer more than once (each request it gets, or from its cache).
    tracker.ApplyHostName("Busy.Example.ORG", "10.9.8.7");
    tracker.ApplyHostName("Busy.Example.ORG", "10.9.8.7");
    const auto ops = list.TakeOps();
    EXPECT_EQ(ops.size(), static_cast<std::size_t>(kRows));
    for (const auto& record : tracker.Current()) {
        ASSERT_EQ(record.hostName, "busy.example.org");
    }

    // A connection from the host that appears after the answer is inserted with the name.
    host.sent.clear();
    rows.push_back(Row("10.9.8.7", 443, 1024 + kRows, Category::Inbound));
    Snapshot(rows);
    EXPECT_EQ(requests(), 0);
    const auto later = list.TakeOps();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].kind, kInsert);
    EXPECT_EQ(later[0].record.hostName, "busy.example.org");
}

TEST_F(TrackerTest, WhatIsKnownOfAddressesStaysNearTheSizeOfTheLiveSet) {
    host.filter.reverseLookup = 1;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    tracker.ApplyHostName("Seven", "10.0.0.7");
    // A host that comes back soon keeps its name without a new request.
    Snapshot({});
    host.sent.clear();
    Snapshot({Row("10.0.0.7", 21, 40001, Category::Inbound)});
    EXPECT_EQ(SentKinds(), (std::vector<Sent>{kNew}));
    EXPECT_EQ(tracker.Current()[0].hostName, "seven");

    // Hosts that come and go, each answered, are not remembered without end.
    for (int i = 0; i < 1000; ++i) {
        const std::string address =
            "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        Snapshot({Row(address, 21, 40000, Category::Inbound)});
        tracker.ApplyHostName("host" + std::to_string(i), address);
    }
    EXPECT_GE(tracker.KnownAddresses(), 1u);
    EXPECT_LE(tracker.KnownAddresses(), 200u);
    // An answer for an address that has left changes no row.
    list.batches.clear();
    tracker.ApplyHostName("gone", "10.0.0.7");
    EXPECT_TRUE(list.batches.empty());
}

TEST_F(TrackerTest, NewSocketOnTheAddressesOfATimeWaitOneIsANewConnection) {
    auto withCookie = [](CConnectionRecord record, std::uint64_t cookie) {
        record.cookie = cookie;
        return record;
    };
    const CConnectionRecord row = Row("10.0.0.7", 40000, 80, Category::Outbound);
    host.now = 1000;
    Snapshot({withCookie(row, 0xA)});
    host.now = 2000;
    CConnectionRecord waiting = withCookie(row, 0xA);
    waiting.state = TcpState::TimeWait;
    Snapshot({waiting});
    ASSERT_EQ(SentKinds(), (std::vector<Sent>{kEnded}));
    EXPECT_EQ(host.sent[0].record->openTime, 1000);
    host.sent.clear();
    list.batches.clear();

    // The kernel reuses the 4-tuple for a new socket; the old one is gone.
    host.now = 3000;
    Snapshot({withCookie(row, 0xB)});
    EXPECT_TRUE(host.sent.empty());  // an outbound connection: nothing for the scan watcher
    ASSERT_EQ(tracker.Current().size(), 1u);
    EXPECT_EQ(tracker.Current()[0].id, 2);
    EXPECT_EQ(tracker.Current()[0].openTime, 3000);
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kInsert, 2, 1, TcpState::Established},
                                      {kDelete, 1, 1, TcpState::TimeWait}}));
    host.sent.clear();

    // Both sockets at once are two records too; the new one ends with its own open time.
    Snapshot({waiting, withCookie(row, 0xB)});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{3, 2}));
    host.sent.clear();
    host.now = 4000;
    Snapshot({});
    ASSERT_EQ(SentKinds(), (std::vector<Sent>{kEnded}));
    EXPECT_EQ(host.sent[0].record->id, 2);
    EXPECT_EQ(host.sent[0].record->openTime, 3000);
    EXPECT_EQ(host.sent[0].record->closeTime, 4000);
}

TEST_F(TrackerTest, SocketCookieKeepsIdentityWhateverTheTexts) {
    CConnectionRecord first = Row("10.0.0.7", 40000, 80, Category::Outbound);
    first.cookie = 77;
    Snapshot({first});
    CConnectionRecord again = first;
    again.interfaceText = "10.1.1.1";  // texts are not refreshed from the entry
    Snapshot({again});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{1}));
    // Without a cookie the old key still matches.
    Snapshot({Row("10.0.0.9", 21, 40000, Category::Inbound)});
    Snapshot({Row("10.0.0.9", 21, 40000, Category::Inbound)});
    EXPECT_EQ(Ids(tracker.Current()), (std::vector<int>{2}));
}

TEST_F(TrackerTest, ShowSwitchToggledDuringTimeWaitLogsOnce) {
    host.filter.showInbound = 1;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound)});
    host.sent.clear();
    list.batches.clear();
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    host.filter.showInbound = 0;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    host.filter.showInbound = 1;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    Snapshot({});
    EXPECT_EQ(SentKinds(), (std::vector<Sent>{kEnded}));
    EXPECT_EQ(Summarize(list.TakeOps()),
              (std::vector<OpSummary>{{kUpdate, 1, 1, TcpState::TimeWait},
                                      {kUpdate, 1, 0, TcpState::TimeWait},
                                      {kUpdate, 1, 1, TcpState::TimeWait},
                                      {kDelete, 1, 1, TcpState::TimeWait}}));
}

TEST_F(TrackerTest, EveryConnectionIsToldOpenedAndEndedOnceShownOrNot) {
    host.filter.showInbound = 0;  // hidden rows never reach the list's rows
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound),
              Row("10.0.0.8", 22, 40001, Category::Inbound)});
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait),
              Row("10.0.0.8", 22, 40001, Category::Inbound)});
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    Snapshot({});
    for (const RowOp& op : list.TakeOps()) {
        EXPECT_NE(op.kind, kInsert) << "a hidden row was inserted";
    }
    EXPECT_EQ(list.opened, (std::vector<int>{1, 2}));
    // 1 ends as it enters TIME_WAIT (when it is logged), not again when it leaves the table.
    EXPECT_EQ(list.ended, (std::vector<int>{1, 2}));
    EXPECT_EQ(list.liveCounts, (std::vector<std::size_t>{2, 2, 1, 0}));
}

TEST_F(TrackerTest, AListThatShowsNoRowsGetsNoRowOperationsButEveryOpenAndEnd) {
    list.takesRows = false;
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound), Listener(80)});
    Snapshot({Row("10.0.0.7", 21, 40000, Category::Inbound, TcpState::TimeWait)});
    tracker.ApplyHostName("Host.Example", "10.0.0.7");
    EXPECT_TRUE(list.batches.empty());
    EXPECT_EQ(list.opened, (std::vector<int>{1, 2}));
    EXPECT_EQ(list.ended, (std::vector<int>{1, 2}));
    EXPECT_EQ(list.liveCounts, (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(tracker.Current().at(0).hostName, "host.example");
}

}  // namespace
}  // namespace tarvik
