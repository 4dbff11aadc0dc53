#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "ui/model/ConnectionRowModel.h"
#include "ui/model/RowRules.h"

namespace tarvik {
namespace {

CConnectionRecord Record(int id, std::string host, int localPort = 5000) {
    CConnectionRecord record;
    record.id = id;
    record.hostName = std::move(host);
    record.ipAddress = "10.0.0." + std::to_string(id);
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

// The list as the operations define it, one at a time, re-sorting the whole list on every
// update.
class NaiveList {
public:
    void Apply(const RowOp& op) {
        switch (op.kind) {
            case RowOp::Kind::Insert:
                rows_.insert(rows_.begin(), op.record);
                break;
            case RowOp::Kind::Delete:
                Delete(op.record.id);
                break;
            case RowOp::Kind::Update:
                if (op.visible) {
                    Update(op.record);
                } else {
                    Delete(op.record.id);
                }
                break;
        }
    }
    void SetSortKey(int key) {
        key_ = key;
        Sort();
    }
    const std::vector<CConnectionRecord>& Rows() const { return rows_; }

private:
    void Delete(int id) {
        std::erase_if(rows_, [id](const CConnectionRecord& r) { return r.id == id; });
    }
    void Update(const CConnectionRecord& record) {
        const auto found = std::find_if(rows_.begin(), rows_.end(),
                                        [&](const auto& r) { return r.id == record.id; });
        if (found == rows_.end()) {
            Sort();
            rows_.insert(rows_.begin(), record);
            return;
        }
        const int localPort = found->localPort;
        const int remotePort = found->remotePort;
        *found = record;
        found->localPort = localPort;
        found->remotePort = remotePort;
        Sort();
    }
    void Sort() {
        std::stable_sort(rows_.begin(), rows_.end(), [this](const auto& a, const auto& b) {
            return CompareRecords(a, b, key_) < 0;
        });
    }

    int key_ = 0;
    std::vector<CConnectionRecord> rows_;
};

TEST(ConnectionRowModel, InsertGoesToTopAndUpdateResorts) {
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "alpha")),
                 Op(RowOp::Kind::Insert, Record(2, "Zed")),
                 Op(RowOp::Kind::Insert, Record(3, "beta"))});
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"beta", "Zed", "alpha"}));

    // Before any click, a re-sort orders host names descending: lower case first.
    model.Apply({Op(RowOp::Kind::Update, Record(2, "Zed"))});
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"beta", "alpha", "Zed"}));
}

TEST(ConnectionRowModel, UpdateKeepsPortsAndRewritesTheOtherCells) {
    CConnectionRowModel model;
    model.Insert(Record(7, "old", 80));
    CConnectionRecord changed = Record(7, "new.example", 9999);
    changed.remotePort = 1;
    changed.serviceText = "http";
    model.Update(changed);
    const std::vector<ShownRow> rows = model.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].record.hostName, "new.example");
    EXPECT_EQ(rows[0].record.serviceText, "http");
    EXPECT_EQ(rows[0].record.localPort, 80);
    EXPECT_EQ(rows[0].record.remotePort, 40007);
}

TEST(ConnectionRowModel, HiddenUpdateAndDeleteRemoveEveryRowWithTheId) {
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "a")), Op(RowOp::Kind::Insert, Record(1, "b")),
                 Op(RowOp::Kind::Insert, Record(2, "c"))});
    model.Delete(1);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"c"}));
    model.Apply({Op(RowOp::Kind::Update, Record(2, "c"), false)});
    EXPECT_EQ(model.Size(), 0u);
    model.Delete(42);  // unknown ids are ignored
    EXPECT_EQ(model.Size(), 0u);
}

TEST(ConnectionRowModel, UpdateOfUnknownIdSortsThenInsertsOnTop) {
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "a")), Op(RowOp::Kind::Insert, Record(2, "b")),
                 Op(RowOp::Kind::Update, Record(3, "0-first-after-sort-would-be-last"))});
    EXPECT_EQ(Hosts(model),
              (std::vector<std::string>{"0-first-after-sort-would-be-last", "b", "a"}));
}

TEST(ConnectionRowModel, HeadingClicksSortAscendingDescendingAscending) {
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "m", 443)),
                 Op(RowOp::Kind::Insert, Record(2, "x", 22)),
                 Op(RowOp::Kind::Insert, Record(3, "a", 8080)),
                 Op(RowOp::Kind::Insert, Record(4, "b", 443))});
    const int localPort = static_cast<int>(Column::LocalPort);
    model.ClickHeading(localPort);
    EXPECT_EQ(model.SortKey(), 3);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"x", "b", "m", "a"}));
    model.ClickHeading(localPort);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"a", "m", "b", "x"}));
    model.ClickHeading(localPort);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"x", "b", "m", "a"}));
    model.ClickHeading(static_cast<int>(Column::HostName));
    EXPECT_EQ(model.SortKey(), 1);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"a", "b", "m", "x"}));
}

TEST(ConnectionRowModel, EmptyListHeadingClickOnlyChangesKey) {
    CConnectionRowModel model;
    model.ClickHeading(4);
    EXPECT_EQ(model.SortKey(), 5);
    EXPECT_EQ(model.Size(), 0u);
}

TEST(ConnectionRowModel, TheMatchingCountFollowsDeletesUpdatesAndSearches) {
    auto hidden = [](int id, std::string host) {
        // an update that hides a row deletes it
        return Op(RowOp::Kind::Update, Record(id, std::move(host)), false);
    };
    struct Step {
        const char* what;
        std::vector<RowOp> ops;
        std::size_t matching;
    };
    const std::vector<Step> steps = {
        {"search", {}, 1},
        {"a row that matches now", {Op(RowOp::Kind::Update, Record(2, "alphabet"))}, 2},
        {"a matching row deleted", {Op(RowOp::Kind::Delete, Record(1, ""))}, 1},
        {"another row hidden", {hidden(3, "gamma")}, 1},
        {"a row that no longer matches", {Op(RowOp::Kind::Update, Record(2, "b"))}, 0},
        {"a new matching row", {Op(RowOp::Kind::Insert, Record(4, "Alpha"))}, 1},
        {"a matching row hidden", {hidden(4, "Alpha")}, 0},
    };
    CConnectionRowModel model;
    model.Apply({Op(RowOp::Kind::Insert, Record(1, "alpha")),
                 Op(RowOp::Kind::Insert, Record(2, "beta")),
                 Op(RowOp::Kind::Insert, Record(3, "gamma"))});
    model.SetFilter("ALPHA");
    for (const Step& step : steps) {
        model.Apply(step.ops);
        EXPECT_EQ(model.MatchingSize(), step.matching) << step.what;
        EXPECT_EQ(model.Rows().size(), step.matching) << step.what;
    }
    model.SetFilter("");
    EXPECT_EQ(model.MatchingSize(), model.Size());
}

// A stable sort keeps the earlier order of rows that compare equal, so the result of a batch
// depends on every intermediate sort. Random batches with few distinct values (many ties) and
// records whose values change check the batched model against the one-by-one definition.
TEST(ConnectionRowModel, BatchesMatchOperationsAppliedOneByOne) {
    std::mt19937 random(20030705);
    const std::vector<std::string> hosts = {"a", "B", "b", "zz", "", "\xe9"};
    const std::vector<int> ports = {22, 80, 1024};
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto randomRecord = [&] {
        CConnectionRecord record = Record(1 + pick(12), hosts[pick(6)], ports[pick(3)]);
        record.remotePort = ports[pick(3)];
        record.serviceText = hosts[pick(3)];
        record.state = pick(4) == 0 ? TcpState::Listen : TcpState::Established;
        return record;
    };
    for (int trial = 0; trial < 60; ++trial) {
        CConnectionRowModel model;
        NaiveList naive;
        for (int batch = 0; batch < 25; ++batch) {
            if (pick(6) == 0) {
                const int key = pick(15) - 7;
                model.SetSortKey(key);
                naive.SetSortKey(key);
            }
            std::vector<RowOp> ops;
            const int count = pick(12);
            for (int i = 0; i < count; ++i) {
                const int kind = pick(10);
                const RowOp::Kind opKind = kind < 4   ? RowOp::Kind::Insert
                                           : kind < 8 ? RowOp::Kind::Update
                                                      : RowOp::Kind::Delete;
                CConnectionRecord record = randomRecord();
                const bool visible = pick(8) != 0;
                ops.push_back(Op(opKind, std::move(record), visible));
            }
            for (const RowOp& op : ops) {
                naive.Apply(op);
            }
            model.Apply(ops);
            std::vector<CConnectionRecord> shown;
            for (const ShownRow& row : model.Rows()) {
                shown.push_back(row.record);
            }
            ASSERT_EQ(shown, naive.Rows()) << "trial " << trial << " batch " << batch;
        }
    }
}

TEST(ConnectionRowModelTest, ByteColumnsSortByNumberAndRatesFollowEachRefresh) {
    const auto with = [](CConnectionRecord record, ByteCounts bytes) {
        record.bytes = bytes;
        return record;
    };
    CConnectionRowModel model;
    // "9 B" sorts below "10 B" although its text is greater.
    model.Apply({Op(RowOp::Kind::Insert, with(Record(1, "a"), {9, 5000})),
                 Op(RowOp::Kind::Insert, with(Record(2, "b"), {10, 0})),
                 Op(RowOp::Kind::Insert, with(Record(3, "c"), {2000, 1}))});
    model.ClickHeading(kSentColumn);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"a", "b", "c"}));
    model.ClickHeading(kReceivedColumn);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"b", "c", "a"}));

    // b moves 4,000 bytes in two seconds, c 1,000; a nothing: b has the highest rate.
    model.Apply({Op(RowOp::Kind::Update, with(Record(2, "b"), {4010, 0})),
                 Op(RowOp::Kind::Update, with(Record(3, "c"), {2500, 501}))});
    model.SetSortKey(-(kRateColumn + 1));
    model.TakeChanges();
    model.RefreshRates(2.0);
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"b", "c", "a"}));
    std::vector<std::uint64_t> rates;
    for (const ShownRow& row : model.Rows()) {
        rates.push_back(row.rate);
    }
    EXPECT_EQ(rates, (std::vector<std::uint64_t>{2000, 500, 0}));
    EXPECT_EQ(model.TakeChanges().updated.size(), 2u);
    // Nothing moved since: every rate is back to 0 and the rows fall back to the host order.
    model.RefreshRates(1.0);
    for (const ShownRow& row : model.Rows()) {
        EXPECT_EQ(row.rate, 0u) << row.record.hostName;
    }
    EXPECT_EQ(Hosts(model), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(RateText(2000), "2.0 kB/s");
    EXPECT_EQ(ExactByteText(with(Record(4, "d"), {1234567, 0}), kSentColumn, 0), "1,234,567 bytes");
}

}  // namespace
}  // namespace tarvik
