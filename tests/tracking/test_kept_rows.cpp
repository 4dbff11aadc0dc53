#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>

#include "acquisition/ConnectionRows.h"
#include "settings/SettingsStore.h"
#include "support/AcqFixtures.h"
#include "support/FakeProc.h"
#include "support/TrackerTestDoubles.h"
#include "tracking/DataThread.h"
#include "tracking/SnapshotKept.h"
#include "workers/WorkerHub.h"

namespace tarvik {
namespace {

using testing::Row;

// What one snapshot brought: the cookies of its kept rows and its whole records.
struct Received {
    std::vector<std::uint64_t> kept;
    std::vector<CConnectionRecord> records;
};

class SnapshotTap : public CWorker<std::variant<tarvik::Snapshot>> {
public:
    SnapshotTap() : CWorker("tap") { Subscribe<tarvik::Snapshot>(); }
    ~SnapshotTap() override { Stop(); }

    void Handle(std::variant<tarvik::Snapshot>& message) override {
        tarvik::Snapshot& snapshot = std::get<tarvik::Snapshot>(message);
        snapshot.inFlight.reset();  // as the tracker does once merged: the poller may go on
        Received received;
        received.records = std::move(snapshot.rows);
        for (const std::uint32_t position : snapshot.kept.positions) {
            received.kept.push_back(snapshot.kept.table->at(position).cookie);
        }
        std::lock_guard lock(mutex_);
        snapshots_.push_back(std::move(received));
        changed_.notify_all();
    }

    // The snapshot number `index` (from 0), once it ended; empty after the deadline.
    std::optional<Received> Snapshot(std::size_t index) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10),
                               [&] { return snapshots_.size() > index; })) {
            return std::nullopt;
        }
        return snapshots_[index];
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Received> snapshots_;
};

std::vector<std::uint64_t> Cookies(const std::vector<CConnectionRecord>& records) {
    std::vector<std::uint64_t> cookies;
    for (const auto& record : records) {
        cookies.push_back(record.cookie);
    }
    return cookies;
}

class KeptRowsPollTest : public ::testing::Test {
protected:
    KeptRowsPollTest()
        : settings(std::filesystem::temp_directory_path() / "tarvik-kept-absent" / "t.conf",
                   [] { return std::vector<std::string>{}; }) {
        hub.Register(&tap);
        tap.Start();
    }
    ~KeptRowsPollTest() override { hub.Clear(); }

    CDataThread& Poller(std::unique_ptr<CProcessTable> processes = nullptr) {
        auto source = std::make_unique<CFixtureTableSource>();
        table = source.get();
        poller = std::make_unique<CDataThread>(
            settings, hub, std::move(source),
            std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp")),
            std::move(processes));
        return *poller;
    }

    // One poll, once the tap has the snapshot it sent: the next may read a table.
    void PollOnce(CDataThread& poll) {
        poll.Poll();
        ASSERT_TRUE(tap.Snapshot(polls++));
    }

    CWorkerHub hub;
    CSettingsStore settings;
    SnapshotTap tap;
    std::size_t polls = 0;
    CFixtureTableSource* table = nullptr;
    std::unique_ptr<CDataThread> poller;
};

TEST_F(KeptRowsPollTest, OnlyNewAndChangedRowsAreMadeAgain) {
    CDataThread& poll = Poller();
    const TcpRow a = Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established, 11);
    const TcpRow b = Row("10.0.0.5", 50000, "10.0.0.7", 443, TcpState::Established, 12);
    TcpRow aClosing = a;
    aClosing.state = TcpState::CloseWait;
    const TcpRow c = Row("10.0.0.5", 50001, "10.0.0.8", 443, TcpState::Established, 13);
    const TcpRow fixture =
        Row("10.0.0.5", 50002, "10.0.0.8", 443, TcpState::Established);  // no cookie

    table->SetRows({a, b, fixture});
    PollOnce(poll);
    PollOnce(poll);
    table->SetRows({aClosing, b, c, fixture});
    PollOnce(poll);

    const auto first = tap.Snapshot(0);
    const auto second = tap.Snapshot(1);
    const auto third = tap.Snapshot(2);
    ASSERT_TRUE(first && second && third);
    EXPECT_TRUE(first->kept.empty());
    EXPECT_EQ(Cookies(first->records), (std::vector<std::uint64_t>{11, 12, 0}));
    EXPECT_EQ(first->records[0].serviceText, "inbound ftp");
    EXPECT_EQ(second->kept, (std::vector<std::uint64_t>{11, 12}));
    EXPECT_EQ(Cookies(second->records), (std::vector<std::uint64_t>{0}));
    // A state change and a new socket are whole records, in table order.
    EXPECT_EQ(third->kept, (std::vector<std::uint64_t>{12}));
    EXPECT_EQ(Cookies(third->records), (std::vector<std::uint64_t>{11, 13, 0}));
    EXPECT_EQ(third->records[0].state, TcpState::CloseWait);
}

TEST_F(KeptRowsPollTest, ARowGoesWholeAgainOnlyWhenItsOwnerIsFound) {
    testing::CFakeProc proc;
    proc.AddProcess(10, "idle", {});
    proc.AddProcess(15, "other", {});
    proc.AddProcess(20, "sshd", {777});
    // One process per poll: the owner is found by the third.
    CDataThread& poll = Poller(std::make_unique<CProcessTable>(proc.Root(), 1));
    TcpRow held = Row("10.0.0.5", 22, "10.0.0.9", 40000, TcpState::Established, 21);
    held.inode = 777;
    table->SetRows({held});
    for (int i = 0; i < 4; ++i) {
        PollOnce(poll);
    }

    std::vector<std::optional<Received>> polls;
    for (int i = 0; i < 4; ++i) {
        polls.push_back(tap.Snapshot(i));
        ASSERT_TRUE(polls.back()) << i;
    }
    ASSERT_EQ(polls[0]->records.size(), 1u);
    EXPECT_EQ(polls[0]->records[0].pid, 0);
    // Still looked for: the record the tracker has says all there is.
    EXPECT_TRUE(polls[1]->records.empty());
    EXPECT_EQ(polls[1]->kept, (std::vector<std::uint64_t>{21}));
    ASSERT_EQ(polls[2]->records.size(), 1u);
    EXPECT_EQ(polls[2]->records[0].pid, 20);
    EXPECT_EQ(polls[2]->records[0].command, "sshd");
    EXPECT_TRUE(polls[3]->records.empty());
    EXPECT_EQ(polls[3]->kept, (std::vector<std::uint64_t>{21}));
}

TEST_F(KeptRowsPollTest, RowsOnAPortWhoseListenerCameOrWentGoWhole) {
    CDataThread& poll = Poller();
    // Port 50000 becomes a server's port: the connection on it turns inbound; the one on
    // another port stays as it was.
    const TcpRow connection = Row("10.0.0.5", 50000, "10.0.0.9", 40000, TcpState::Established, 31);
    const TcpRow other = Row("10.0.0.5", 50001, "10.0.0.9", 40001, TcpState::Established, 33);
    const TcpRow listener = Row("0.0.0.0", 50000, "0.0.0.0", 0, TcpState::Listen, 32);
    table->SetRows({connection, other});
    PollOnce(poll);
    table->SetRows({connection, other, listener});
    PollOnce(poll);
    PollOnce(poll);
    table->SetRows({connection, other});
    PollOnce(poll);

    const auto second = tap.Snapshot(1);
    const auto third = tap.Snapshot(2);
    const auto fourth = tap.Snapshot(3);
    ASSERT_TRUE(second && third && fourth);
    EXPECT_EQ(second->kept, (std::vector<std::uint64_t>{33}));
    ASSERT_EQ(Cookies(second->records), (std::vector<std::uint64_t>{31, 32}));
    EXPECT_EQ(second->records[0].category, Category::Inbound);
    EXPECT_EQ(third->kept, (std::vector<std::uint64_t>{31, 33, 32}));
    EXPECT_EQ(fourth->kept, (std::vector<std::uint64_t>{33}));
    ASSERT_EQ(Cookies(fourth->records), (std::vector<std::uint64_t>{31}));
    EXPECT_EQ(fourth->records[0].category, Category::Unknown);
}

TEST(SentRowsTest, ACookieTwiceInOneDumpIsNeverKept) {
    CSentRows sent;
    const TcpRow row = Row("10.0.0.5", 50000, "10.0.0.9", 40000, TcpState::Established, 41);
    TcpRow other = Row("10.0.0.5", 50001, "10.0.0.9", 40001, TcpState::Established, 41);
    const TcpRow single = Row("10.0.0.5", 50002, "10.0.0.9", 40002, TcpState::Established, 42);
    using Table = std::vector<TcpRow>;
    sent.Remember(std::make_shared<const Table>(Table{row, other, single}), {true, true, true});
    EXPECT_FALSE(sent.Unchanged(row, true));
    EXPECT_FALSE(sent.Unchanged(other, true));
    EXPECT_TRUE(sent.Unchanged(single, true));
    sent.Remember(std::make_shared<const Table>(Table{single}), {false});
    EXPECT_FALSE(sent.Unchanged(single, true));  // its owner was found since
    EXPECT_TRUE(sent.Unchanged(single, false));  // still looked for: nothing new to send
    sent.Clear();
    EXPECT_FALSE(sent.Unchanged(single, false));
}

using test::RecordingHost;
using test::RecordingList;

class KeptRowsTrackerTest : public ::testing::Test {
protected:
    static CConnectionRecord Record(const TcpRow& row, const CServicesDatabase& services) {
        CConnectionRecord record = RecordFromRow(row);
        ClassifyConnection(record, services);
        return record;
    }

    SnapshotKept Kept(std::vector<TcpRow> rows) {
        SnapshotKept kept;
        for (std::uint32_t i = 0; i < rows.size(); ++i) {
            kept.positions.push_back(i);
        }
        kept.table = std::make_shared<const std::vector<TcpRow>>(std::move(rows));
        kept.services = services;
        kept.listening = std::make_shared<const CListeningPorts>();
        return kept;
    }

    std::shared_ptr<const CServicesDatabase> services =
        std::make_shared<const CServicesDatabase>(CServicesDatabase::FromText("ftp 21/tcp"));
    RecordingHost host;
    RecordingList list;
    CConnectionTracker tracker{host, list};
    TcpRow ftp = Row("10.0.0.5", 21, "10.0.0.9", 40000, TcpState::Established, 51);
    TcpRow web = Row("10.0.0.5", 50000, "10.0.0.7", 443, TcpState::Established, 52);
};

TEST_F(KeptRowsTrackerTest, KeptRowsKeepTheirRecordsAndTheOthersEnd) {
    tracker.BeginSnapshot();
    CConnectionRecord owned = Record(ftp, *services);
    owned.pid = 812;
    owned.command = "vsftpd";
    tracker.AddEntry(owned);
    tracker.AddEntry(Record(web, *services));
    tracker.EndSnapshot();
    tracker.ApplyHostName("Files.Example.org", "10.0.0.9");
    list.TakeOps();
    host.TakeSent();

    host.now = 2000;
    tracker.BeginSnapshot();
    tracker.AddKept(Kept({ftp}));
    tracker.EndSnapshot();

    ASSERT_EQ(tracker.Current().size(), 1u);
    const CConnectionRecord& kept = tracker.Current()[0];
    EXPECT_EQ(kept.id, 1);
    EXPECT_EQ(kept.openTime, 1000);
    EXPECT_EQ(kept.pid, 812);
    EXPECT_EQ(kept.command, "vsftpd");
    EXPECT_EQ(kept.hostName, "files.example.org");
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Delete);
    EXPECT_EQ(ops[0].record.id, 2);
    EXPECT_EQ(list.ended, (std::vector<int>{2}));
}

TEST_F(KeptRowsTrackerTest, KeptRowsSeeTheViewFilterOfTheirSnapshot) {
    tracker.BeginSnapshot();
    tracker.AddEntry(Record(web, *services));
    tracker.EndSnapshot();
    list.TakeOps();

    host.filter.showOutbound = 0;
    tracker.BeginSnapshot();
    tracker.AddKept(Kept({web}));
    tracker.EndSnapshot();

    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Update);
    EXPECT_EQ(ops[0].visible, 0);
    EXPECT_EQ(ops[0].record.id, 1);
}

TEST_F(KeptRowsTrackerTest, AKeptRowNotKnownHereIsAddedFromItsRow) {
    tracker.BeginSnapshot();
    tracker.AddKept(Kept({ftp}));
    tracker.EndSnapshot();

    ASSERT_EQ(tracker.Current().size(), 1u);
    EXPECT_EQ(tracker.Current()[0].serviceText, "inbound ftp");
    EXPECT_EQ(tracker.Current()[0].category, Category::Inbound);
    EXPECT_EQ(tracker.Current()[0].cookie, 51u);
    const auto ops = list.TakeOps();
    ASSERT_EQ(ops.size(), 1u);
    EXPECT_EQ(ops[0].kind, RowOp::Kind::Insert);
    EXPECT_EQ(list.opened, (std::vector<int>{1}));
}

TEST_F(KeptRowsTrackerTest, KeptPositionsOutsideTheTableAreSkipped) {
    // The position just past the end holds a row that was taken off: read, it would be added.
    std::vector<TcpRow> rows{ftp, web};
    rows.pop_back();
    SnapshotKept kept = Kept({});
    kept.table = std::make_shared<const std::vector<TcpRow>>(std::move(rows));
    kept.positions = {0, 1, 7};
    tracker.BeginSnapshot();
    tracker.AddKept(kept);
    tracker.EndSnapshot();
    ASSERT_EQ(tracker.Current().size(), 1u);
    EXPECT_EQ(tracker.Current()[0].cookie, 51u);
}

TEST_F(KeptRowsTrackerTest, ChurnKeepsSnapshotOrderAndEndsInTheOrderOfTheLastSet) {
    // The merge moves records in place: after any mix of kept, whole, new, repeated and ended
    // rows the live set is in snapshot order, every survivor keeps its id, and the ended ones
    // are told in the order of the last set.
    std::mt19937 random(7);
    struct Model {
        std::uint64_t cookie;
        int id;
    };
    std::vector<Model> live;
    int nextId = 1;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint64_t> cookies;
        const int size = static_cast<int>(random() % 40);
        for (int i = 0; i < size; ++i) {
            cookies.push_back(1 + random() % 60);  // repeats now and then
        }
        std::vector<Model> previous = live;
        std::vector<bool> taken(previous.size(), false);
        std::vector<Model> expected;
        for (const std::uint64_t cookie : cookies) {
            int id = 0;
            for (std::size_t i = 0; i < previous.size() && id == 0; ++i) {
                if (!taken[i] && previous[i].cookie == cookie) {
                    taken[i] = true;
                    id = previous[i].id;
                }
            }
            expected.push_back({cookie, id != 0 ? id : nextId++});
        }
        std::vector<int> expectedEnded;
        for (std::size_t i = 0; i < previous.size(); ++i) {
            if (!taken[i]) {
                expectedEnded.push_back(previous[i].id);
            }
        }
        list.ended.clear();
        tracker.BeginSnapshot();
        for (const std::uint64_t cookie : cookies) {
            TcpRow row = Row("10.0.0.5", static_cast<int>(40000 + cookie), "10.0.0.9", 50000,
                             TcpState::Established, cookie);
            if (random() % 2 == 0) {
                tracker.AddKept(Kept({row}));
            } else {
                tracker.AddEntry(Record(row, *services));
            }
        }
        tracker.EndSnapshot();
        live = expected;
        ASSERT_EQ(tracker.Current().size(), expected.size()) << "round " << round;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(tracker.Current()[i].id, expected[i].id) << "round " << round << " row " << i;
            ASSERT_EQ(tracker.Current()[i].cookie, expected[i].cookie);
        }
        ASSERT_EQ(list.ended, expectedEnded) << "round " << round;
    }
}

TEST_F(KeptRowsTrackerTest, KeptRowsOutsideASnapshotAreDropped) {
    tracker.AddKept(Kept({ftp}));
    EXPECT_TRUE(tracker.Current().empty());
    EXPECT_TRUE(list.batches.empty());
}

}  // namespace
}  // namespace tarvik
