#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QBrush>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <algorithm>
#include <random>

#include "support/WindowTestSupport.h"
#include "ui/model/ConnectionRowModel.h"
#include "ui/model/RowRules.h"
#include "ui/window/RowTableModel.h"

namespace tarvik {
namespace {

const std::vector<std::string> kTitles = {"Hostname",        "IP Address",   "Local Port",
                                          "Remote Port",     "Service Type", "Interface",
                                          "Connection State"};

CConnectionRecord Record(int id, std::string host, int localPort = 5000,
                         TcpState state = TcpState::Established) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = std::move(host);
    record.ipAddress = "10.0.0." + std::to_string(id);
    record.localPort = localPort;
    record.remotePort = 2000 + id;
    record.state = state;
    return record;
}

class RowTableModelTest : public ::testing::Test {
protected:
    void SetUp() override { test::TestApp(); }
};

TEST_F(RowTableModelTest, CellsHeadingsAndColours) {
    CRowTableModel model(kTitles);
    // Black on white: today's colours exactly, as they already read well there.
    QPalette light;
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    model.SetPalette(light);
    model.Apply({RowOp{RowOp::Kind::Insert, Record(1, "web", 80)},
                 RowOp{RowOp::Kind::Insert, Record(2, "", 22, TcpState::Listen)}});
    ASSERT_EQ(model.rowCount(), 2);
    ASSERT_EQ(model.columnCount(), 12);  // the seven, Process, Sent, Received, Rate, Protocol
    for (int column = 0; column < 7; ++column) {
        EXPECT_EQ(model.headerData(column, Qt::Horizontal).toString().toStdString(),
                  kTitles[static_cast<std::size_t>(column)]);
    }
    EXPECT_EQ(model.headerData(7, Qt::Horizontal).toString(), "Process");
    EXPECT_EQ(model.headerData(10, Qt::Horizontal).toString(), "Rate");
    EXPECT_EQ(model.headerData(11, Qt::Horizontal).toString(), "Protocol");
    EXPECT_EQ(model.index(0, 11).data().toString(), "TCP");
    for (const int outside : {-1, 12}) {
        EXPECT_FALSE(model.headerData(outside, Qt::Horizontal, Qt::TextAlignmentRole).isValid())
            << "no heading of ours at " << outside;
    }
    EXPECT_EQ(model.index(0, 3).data().toString(), "n/a");
    EXPECT_EQ(model.index(0, 6).data().toString(), "Listening");
    EXPECT_EQ(model.index(0, 0).data(Qt::ForegroundRole).value<QBrush>().color(),
              QColor(80, 80, 80));
    EXPECT_EQ(model.index(1, 0).data().toString(), "web");
    EXPECT_EQ(model.index(1, 2).data().toString(), "80");
    EXPECT_EQ(model.index(1, 3).data().toString(), "2001");
    EXPECT_EQ(model.index(1, 0).data(Qt::ForegroundRole).value<QBrush>().color(),
              QColor(230, 10, 10));
    EXPECT_FALSE(model.index(2, 0).isValid());
}

TEST_F(RowTableModelTest, ARunOfRemovedRowsAtEitherEdgeGoesOutAsOneRemoval) {
    struct Case {
        std::vector<int> deleted;  // ids; the rows show newest first: 4, 3, 2, 1
        int first;
        int last;
    };
    for (const Case& c : {Case{{4, 3}, 0, 1}, Case{{2, 1}, 2, 3}, Case{{1, 2, 3, 4}, 0, 3}}) {
        CRowTableModel model(kTitles);
        std::vector<RowOp> ops;
        for (int id = 1; id <= 4; ++id) {
            ops.push_back(RowOp{RowOp::Kind::Insert, Record(id, "h")});
        }
        model.Apply(ops);
        QSignalSpy removals(&model, &QAbstractItemModel::rowsRemoved);
        ops.clear();
        for (const int id : c.deleted) {
            ops.push_back(RowOp{RowOp::Kind::Delete, Record(id, "")});
        }
        model.Apply(ops);
        ASSERT_EQ(removals.size(), 1) << c.first << ".." << c.last;
        EXPECT_EQ(removals[0][1].toInt(), c.first);
        EXPECT_EQ(removals[0][2].toInt(), c.last);
        EXPECT_EQ(model.rowCount(), 4 - static_cast<int>(c.deleted.size()));
    }
}

TEST_F(RowTableModelTest, PersistentIndexFollowsItsRowThroughSortsAndRemovals) {
    CRowTableModel model(kTitles);
    model.Apply({RowOp{RowOp::Kind::Insert, Record(1, "a")},
                 RowOp{RowOp::Kind::Insert, Record(2, "b")},
                 RowOp{RowOp::Kind::Insert, Record(3, "c")}});
    const QPersistentModelIndex tracked(model.index(2, 1));  // "a"
    ASSERT_EQ(tracked.data().toString(), "10.0.0.1");

    model.ClickHeading(0);  // ascending by host name: a, b, c
    EXPECT_EQ(tracked.row(), 0);
    model.Apply(
        {RowOp{RowOp::Kind::Delete, Record(2, "")}, RowOp{RowOp::Kind::Insert, Record(4, "d")}});
    EXPECT_EQ(tracked.row(), 1);
    EXPECT_EQ(tracked.data().toString(), "10.0.0.1");
    model.Apply({RowOp{RowOp::Kind::Delete, Record(1, "")}});
    EXPECT_FALSE(tracked.isValid());
}

// The model tester checks every signal and index against the model's contract while random
// batches insert, update, remove and re-sort rows.
TEST_F(RowTableModelTest, ContractHoldsUnderRandomBatches) {
    CRowTableModel model(kTitles);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<QPersistentModelIndex> held;
    std::mt19937 random(7);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int batch = 0; batch < 200; ++batch) {
        std::vector<RowOp> ops;
        for (int i = pick(8); i > 0; --i) {
            CConnectionRecord record =
                Record(1 + pick(20), std::string(1, 'a' + pick(5)), 1000 + pick(50));
            const bool visible = pick(6) != 0;
            const int kind = pick(3);
            ops.push_back(RowOp{kind == 0   ? RowOp::Kind::Insert
                                : kind == 1 ? RowOp::Kind::Update
                                            : RowOp::Kind::Delete,
                                record, visible});
        }
        model.Apply(ops);
        if (pick(10) == 0) {
            model.ClickHeading(pick(7));
        }
        if (model.rowCount() > 0) {
            held.emplace_back(model.index(pick(model.rowCount()), pick(7)));
        }
        for (const QPersistentModelIndex& index : held) {
            ASSERT_TRUE(!index.isValid() || index.row() < model.rowCount());
        }
    }
}

// The shown rows under a search are always the unsearched list's rows that match, in its order,
// whatever mix of inserts, updates (that change whether a row matches), removals, re-sorts and
// new searches comes, and every signal keeps the model's contract.
TEST_F(RowTableModelTest, SearchShowsExactlyTheMatchingRowsInOrderThroughRandomBatches) {
    CRowTableModel model(kTitles);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    CConnectionRowModel reference;
    // The row count as the view learns it from the signals alone.
    int signalled = 0;
    QObject::connect(
        &model, &QAbstractItemModel::rowsInserted,
        [&signalled](const QModelIndex&, int first, int last) { signalled += last - first + 1; });
    QObject::connect(
        &model, &QAbstractItemModel::rowsRemoved,
        [&signalled](const QModelIndex&, int first, int last) { signalled -= last - first + 1; });
    QObject::connect(&model, &QAbstractItemModel::modelReset,
                     [&signalled, &model] { signalled = model.rowCount(); });
    std::mt19937 random(11);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<QString> searches = {"", "B", "ab", "10.0.0.1", "estab", "zzz", "50"};
    QString search;
    for (int batch = 0; batch < 300; ++batch) {
        std::vector<RowOp> ops;
        for (int i = pick(8); i > 0; --i) {
            CConnectionRecord record =
                Record(1 + pick(20), std::string(1, 'a' + pick(3)) + std::string(1, 'a' + pick(3)),
                       4990 + pick(20), pick(4) == 0 ? TcpState::CloseWait : TcpState::Established);
            const bool visible = pick(6) != 0;
            const int kind = pick(3);
            ops.push_back(RowOp{kind == 0   ? RowOp::Kind::Insert
                                : kind == 1 ? RowOp::Kind::Update
                                            : RowOp::Kind::Delete,
                                record, visible});
        }
        model.Apply(ops);
        reference.Apply(ops);
        if (pick(10) == 0) {
            const int column = pick(8);
            model.ClickHeading(column);
            reference.ClickHeading(column);
        }
        if (pick(15) == 0) {
            search = searches[static_cast<std::size_t>(pick(7))];
            model.SetFilter(search);
        }
        const std::string needle = LowerAscii(search.toStdString());
        std::vector<std::uint64_t> expected;
        for (const ShownRow& row : reference.Rows()) {
            if (RowMatches(row.record, needle)) {
                expected.push_back(row.serial);
            }
        }
        std::vector<std::uint64_t> shown;
        for (int row = 0; row < model.rowCount(); ++row) {
            shown.push_back(model.Row(row).serial);
        }
        ASSERT_EQ(shown, expected) << "batch " << batch << " search " << search.toStdString();
        ASSERT_EQ(signalled, model.rowCount()) << "batch " << batch;
        const std::vector<ShownRow> rows = reference.Rows();
        for (int row = 0; row < model.rowCount(); ++row) {
            const auto same = std::find_if(rows.begin(), rows.end(), [&](const ShownRow& r) {
                return r.serial == model.Row(row).serial;
            });
            ASSERT_EQ(model.Row(row).record, same->record) << "stale cells in row " << row;
        }
        ASSERT_EQ(model.TotalRows(), static_cast<int>(reference.Size()));
    }
}

TEST_F(RowTableModelTest, SearchIgnoresCaseAndCoversEveryCellIncludingTheProcess) {
    CRowTableModel model(kTitles);
    CConnectionRecord sshd = Record(1, "Gate.Example", 22, TcpState::Listen);
    sshd.command = "sshd";
    sshd.pid = 4242;
    sshd.serviceText = "ssh";
    sshd.interfaceText = "192.0.2.2";
    model.Apply({RowOp{RowOp::Kind::Insert, sshd}, RowOp{RowOp::Kind::Insert, Record(2, "web")}});
    const auto shownFor = [&model](const QString& text) {
        model.SetFilter(text);
        return model.rowCount();
    };
    EXPECT_EQ(shownFor("gate.EXAMPLE"), 1);
    EXPECT_EQ(shownFor("N/A"), 1);  // the listening row's remote port cell
    EXPECT_EQ(shownFor("sshd (4242)"), 1);
    EXPECT_EQ(shownFor("192.0.2"), 1);
    EXPECT_EQ(shownFor("listening"), 1);
    EXPECT_EQ(shownFor("2002"), 1);  // the other row's remote port
    EXPECT_EQ(shownFor("10.0.0."), 2);
    EXPECT_EQ(shownFor("nowhere"), 0);
    EXPECT_EQ(model.TotalRows(), 2);
    EXPECT_EQ(shownFor(""), 2);
}

}  // namespace
}  // namespace tarvik
