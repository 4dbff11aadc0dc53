#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "ui/model/ConnectionRowModel.h"
#include "ui/model/RowOpBuffer.h"
#include "ui/model/RowRules.h"

namespace tarvik {
namespace {

CConnectionRecord Record(int id, std::string host, int localPort = 5000) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = std::move(host);
    record.ipAddress = "10.0.0." + std::to_string(id % 250);
    record.localPort = localPort;
    record.remotePort = 40000 + id;
    record.state = TcpState::Established;
    return record;
}

RowOp Op(RowOp::Kind kind, CConnectionRecord record, bool visible = true) {
    return RowOp{kind, std::move(record), visible};
}

std::vector<std::string> Hosts(const CConnectionRowModel& model) {
    std::vector<std::string> hosts;
    for (const ShownRow& row : model.Rows()) {
        hosts.push_back(row.record.hostName);
    }
    return hosts;
}

std::vector<CConnectionRecord> Records(const CConnectionRowModel& model) {
    std::vector<CConnectionRecord> records;
    for (const ShownRow& row : model.Rows()) {
        records.push_back(row.record);
    }
    return records;
}

TEST(RowOpBuffer, WakesOnceUntilTakenAndCancelsInsertThenDelete) {
    CRowOpBuffer buffer;
    EXPECT_TRUE(buffer.Add({Op(RowOp::Kind::Insert, Record(1, "a"))}));
    EXPECT_FALSE(buffer.Add({Op(RowOp::Kind::Insert, Record(2, "b"))}));  // wake-up outstanding
    EXPECT_EQ(buffer.Take().size(), 2u);
    EXPECT_TRUE(buffer.Take().empty());

    // Born and gone before the window looked: nothing to do, nobody to wake.
    EXPECT_FALSE(buffer.Add(
        {Op(RowOp::Kind::Insert, Record(3, "c")), Op(RowOp::Kind::Delete, Record(3, ""))}));
    EXPECT_EQ(buffer.PendingIds(), 0u);
    EXPECT_TRUE(buffer.Take().empty());
    // A Delete of an id without a row is dropped too; of one with a row it wakes the taker.
    EXPECT_FALSE(buffer.Add({Op(RowOp::Kind::Delete, Record(99, ""))}));
    EXPECT_TRUE(buffer.Add({Op(RowOp::Kind::Delete, Record(1, ""))}));
}

TEST(RowOpBuffer, HeldEntriesStayWithinOnePerIdHoweverFarBehind) {
    CRowOpBuffer buffer;
    std::vector<RowOp> first;
    for (int id = 1; id <= 50; ++id) {
        first.push_back(Op(RowOp::Kind::Insert, Record(id, "h")));
    }
    buffer.Add(first);
    for (int round = 0; round < 2000; ++round) {
        std::vector<RowOp> batch;
        for (int id = 1; id <= 50; ++id) {
            CConnectionRecord record = Record(id, "h" + std::to_string(round % 7));
            record.state = round % 2 == 0 ? TcpState::Established : TcpState::TimeWait;
            batch.push_back(Op(RowOp::Kind::Update, std::move(record)));
        }
        // Short-lived connections come and go between the window's looks.
        batch.push_back(Op(RowOp::Kind::Insert, Record(1000 + round, "brief")));
        batch.push_back(Op(RowOp::Kind::Delete, Record(1000 + round, "")));
        buffer.Add(batch);
        ASSERT_LE(buffer.PendingIds(), 50u) << round;
    }
    CConnectionRowModel model;
    ApplyBatch(buffer.Take(), model);
    ASSERT_EQ(model.Size(), 50u);
    for (const ShownRow& row : model.Rows()) {
        EXPECT_EQ(row.record.hostName, "h" + std::to_string(1999 % 7));
        EXPECT_EQ(row.record.state, TcpState::TimeWait);
    }
}

TEST(RowOpBuffer, UpdateOfAPendingInsertKeepsItsPortsAndSortsIt) {
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "m"))});
    CRowOpBuffer buffer;
    CConnectionRecord moved = Record(2, "z", 9999);
    buffer.Add({Op(RowOp::Kind::Insert, Record(2, "a", 80)), Op(RowOp::Kind::Update, moved),
                Op(RowOp::Kind::Insert, Record(3, "0-new-on-top"))});
    ApplyBatch(buffer.Take(), model);
    // Sorted by host name descending before any click; the later Insert stays on top.
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"0-new-on-top", "z", "m"}));
    EXPECT_EQ(model.Rows()[1].record.localPort, 80);

    // A re-sort whose Update was then cancelled by a Delete still sorts the rows above it.
    model.Apply({Op(RowOp::Kind::Insert, Record(4, "b"))});
    buffer.Add({Op(RowOp::Kind::Update, Record(1, "m")), Op(RowOp::Kind::Delete, Record(1, ""))});
    ApplyBatch(buffer.Take(), model);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"z", "b", "0-new-on-top"}));
}

// The tracker's kind of traffic (Inserts of new ids, Updates shown or hidden, Deletes of any id)
// in random batches, with the window taking the buffer at random moments and heading clicks in
// between. The rows, their values and the unsorted top rows must be those of running each
// operation in turn; only rows the sort cannot tell apart may stand in another order.
TEST(RowOpBuffer, MergedBatchesGiveTheStateOfOperationsAppliedOneByOne) {
    std::mt19937 random(20030822);
    const std::vector<std::string> hosts = {"a", "B", "b", "zz", ""};
    const std::vector<int> ports = {22, 80, 1024};
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int trial = 0; trial < 80; ++trial) {
        CConnectionRowModel merged;
        CConnectionRowModel oneByOne;
        CRowOpBuffer buffer;
        int nextId = 1;
        auto randomRecord = [&](int id) {
            CConnectionRecord record = Record(id, hosts[pick(5)], ports[pick(3)]);
            record.remotePort = ports[pick(3)];
            record.state = pick(4) == 0 ? TcpState::Listen : TcpState::Established;
            return record;
        };
        for (int step = 0; step < 40; ++step) {
            std::vector<RowOp> ops;
            for (int i = pick(10); i > 0; --i) {
                const int kind = pick(10);
                if (kind < 4 || nextId == 1) {
                    ops.push_back(Op(RowOp::Kind::Insert, randomRecord(nextId++)));
                    continue;
                }
                CConnectionRecord record = randomRecord(1 + pick(nextId - 1));
                if (kind < 8) {
                    const bool visible = pick(5) != 0;
                    ops.push_back(Op(RowOp::Kind::Update, std::move(record), visible));
                } else {
                    ops.push_back(Op(RowOp::Kind::Delete, std::move(record)));
                }
            }
            oneByOne.Apply(ops);
            buffer.Add(ops);
            if (pick(3) != 0) {
                continue;
            }
            ApplyBatch(buffer.Take(), merged);
            if (pick(5) == 0) {
                const int key = pick(15) - 7;
                merged.SetSortKey(key);
                oneByOne.SetSortKey(key);
            }
            const std::vector<CConnectionRecord> got = Records(merged);
            const std::vector<CConnectionRecord> want = Records(oneByOne);
            ASSERT_EQ(got.size(), want.size()) << "trial " << trial << " step " << step;
            for (std::size_t row = 0; row < got.size(); ++row) {
                ASSERT_TRUE(got[row] == want[row] ||
                            CompareRecords(got[row], want[row], merged.SortKey()) == 0)
                    << "trial " << trial << " step " << step << " row " << row;
            }
            auto byId = [](std::vector<CConnectionRecord> records) {
                std::sort(records.begin(), records.end(),
                          [](const auto& a, const auto& b) { return a.id < b.id; });
                return records;
            };
            ASSERT_EQ(byId(got), byId(want)) << "trial " << trial << " step " << step;
        }
    }
}

TEST(RowOpBuffer, ConcurrentAddsAreAllSeenByTheTaker) {
    CRowOpBuffer buffer;
    std::atomic<int> wakes{0};
    std::thread tracker([&] {
        for (int id = 1; id <= 2000; ++id) {
            if (buffer.Add({Op(RowOp::Kind::Insert, Record(id, "h"))})) {
                wakes.fetch_add(1);
            }
        }
    });
    CConnectionRowModel model;
    int taken = 0;
    // Every wake-up is answered by one Take, as the window does.
    for (int round = 0; round < 100000 && model.Size() < 2000; ++round) {
        if (taken < wakes.load()) {
            ++taken;
            ApplyBatch(buffer.Take(), model);
        } else {
            std::this_thread::yield();
        }
    }
    tracker.join();
    ApplyBatch(buffer.Take(), model);
    EXPECT_EQ(model.Size(), 2000u);
}

}  // namespace
}  // namespace tarvik
