#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <map>
#include <random>

#include "support/WindowTestSupport.h"
#include "ui/window/RowTableModel.h"

namespace tarvik {
namespace {

const std::vector<std::string> kTitles = {"Hostname",        "IP Address",   "Local Port",
                                          "Remote Port",     "Service Type", "Interface",
                                          "Connection State"};

CConnectionRecord Record(int id, int host, TcpState state) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = "host" + std::to_string(host);
    record.ipAddress = "10.0.0." + std::to_string(id % 250);
    record.localPort = 1000 + id;
    record.remotePort = 2000 + id;
    record.state = state;
    return record;
}

class RowTablePublishTest : public ::testing::Test {
protected:
    void SetUp() override { test::TestApp(); }
};

// Batches that end many connections at scattered places, as a busy machine's snapshots do: the
// table shows exactly the row model's rows, in its order, and every persistent index still
// names its own row (or, once that row is gone, nothing).
TEST_F(RowTablePublishTest, ScatteredRemovalsKeepRowsOrderAndPersistentIndexes) {
    CRowTableModel table(kTitles);
    QAbstractItemModelTester tester(&table, QAbstractItemModelTester::FailureReportingMode::Fatal);
    CConnectionRowModel reference;
    std::mt19937 random(4711);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    int nextId = 1;
    std::vector<int> live;
    std::map<int, TcpState> stateOf;  // id -> state
    std::vector<std::pair<QPersistentModelIndex, std::uint64_t>> held;
    for (int batch = 0; batch < 60; ++batch) {
        std::vector<RowOp> ops;
        for (int i = 0; i < 30 + pick(40); ++i) {
            const int id = nextId++;
            live.push_back(id);
            stateOf[id] = TcpState::Established;
            ops.push_back(RowOp{RowOp::Kind::Insert, Record(id, pick(7), TcpState::Established)});
        }
        // Between a handful and a third of the live rows end, wherever they stand.
        const int ending = live.empty() ? 0 : pick(static_cast<int>(live.size()) / 3 + 10);
        for (int i = 0; i < ending && !live.empty(); ++i) {
            const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(live.size())));
            ops.push_back(RowOp{RowOp::Kind::Delete, Record(live[at], 0, TcpState{})});
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (!live.empty() && pick(3) == 0) {
            const int id = live[static_cast<std::size_t>(pick(static_cast<int>(live.size())))];
            stateOf[id] =
                stateOf[id] == TcpState::Established ? TcpState::CloseWait : TcpState::Established;
            ops.push_back(RowOp{RowOp::Kind::Update, Record(id, pick(7), stateOf[id])});
        }
        table.Apply(ops);
        reference.Apply(ops);
        if (pick(8) == 0) {
            const int column = pick(7);
            table.ClickHeading(column);
            reference.ClickHeading(column);
        }

        const std::vector<ShownRow> expected = reference.Rows();
        ASSERT_EQ(table.rowCount(), static_cast<int>(expected.size()));
        for (std::size_t row = 0; row < expected.size(); ++row) {
            ASSERT_EQ(table.Row(static_cast<int>(row)).serial, expected[row].serial);
            ASSERT_EQ(table.Row(static_cast<int>(row)).record, expected[row].record);
        }
        for (const auto& [index, serial] : held) {
            if (reference.Contains(serial)) {
                ASSERT_TRUE(index.isValid());
                EXPECT_EQ(table.Row(index.row()).serial, serial);
            } else {
                EXPECT_FALSE(index.isValid());
            }
        }
        if (table.rowCount() > 0) {
            const int row = pick(table.rowCount());
            held.emplace_back(table.index(row, pick(7)), table.Row(row).serial);
        }
    }
}

}  // namespace
}  // namespace tarvik
