#include "ui/model/ConnectionRowModel.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "ui/model/RowRules.h"

namespace tarvik {

namespace {

std::uint64_t BothWays(const CConnectionRecord& record) {
    return record.bytes.sent + record.bytes.received;
}

}  // namespace

int CompareRows(const ShownRow& a, const ShownRow& b, int sortKey) {
    if (std::abs(sortKey) - 1 == kRateColumn && a.rate != b.rate) {
        return (a.rate < b.rate) == (sortKey > 0) ? -1 : 1;
    }
    return CompareRecords(a.record, b.record, sortKey);
}

bool CConnectionRowModel::SortedLess::operator()(const Node* a, const Node* b) const {
    const int order = CompareRows(a->row, b->row, *sortKey);
    if (order != 0) {
        return order < 0;
    }
    return a->tie < b->tie;
}

CConnectionRowModel::CConnectionRowModel() : sorted_(SortedLess{&sortKey_}) {}

CConnectionRowModel::~CConnectionRowModel() = default;

void CConnectionRowModel::Apply(const std::vector<RowOp>& ops) {
    for (const RowOp& op : ops) {
        switch (op.kind) {
            case RowOp::Kind::Insert:
                Insert(op.record);
                break;
            case RowOp::Kind::Update:
                if (op.visible) {
                    Update(op.record);
                } else {
                    Delete(op.record.id);
                }
                break;
            case RowOp::Kind::Delete:
                Delete(op.record.id);
                break;
        }
    }
}

void CConnectionRowModel::Insert(const CConnectionRecord& record) {
    const std::uint64_t serial = nextSerial_++;
    Node& node = nodes_[serial];
    node.row = ShownRow{serial, record};
    node.row.bytesAtRefresh = BothWays(record);  // its rate counts from now
    node.insertSeq = nextInsertSeq_++;
    node.inTop = true;
    node.matches = RowMatches(record, filter_);
    matching_ += node.matches ? 1 : 0;
    top_.emplace(node.insertSeq, &node);
    byId_[record.id].push_back(&node);
}

void CConnectionRowModel::Delete(int id) {
    const auto found = byId_.find(id);
    if (found == byId_.end()) {
        return;
    }
    for (Node* node : found->second) {
        if (node->inTop) {
            top_.erase(node->insertSeq);
        } else {
            sorted_.erase(node);
        }
        matching_ -= node->matches ? 1 : 0;
        revealed_.erase(node->row.serial);
        changes_.removed.insert(node->row.serial);
        nodes_.erase(node->row.serial);
    }
    byId_.erase(found);
}

void CConnectionRowModel::Update(const CConnectionRecord& record) {
    Node* node = FirstWithId(record.id);
    if (node == nullptr) {
        Sort(nullptr, nullptr);
        Insert(record);
        return;
    }
    const CConnectionRecord before = node->row.record;
    if (!node->inTop) {
        sorted_.erase(node);
    }
    // The port cells are never rewritten.
    node->row.record = record;
    node->row.record.localPort = before.localPort;
    node->row.record.remotePort = before.remotePort;
    node->row.version = nextVersion_++;
    changes_.updated.insert(node->row.serial);
    SetMatches(*node, RowMatches(node->row.record, filter_));
    Sort(node, &before);
}

void CConnectionRowModel::SetMatches(Node& node, bool matches) {
    if (node.matches == matches) {
        return;
    }
    node.matches = matches;
    if (matches) {
        ++matching_;
        revealed_.insert(node.row.serial);
    } else {
        --matching_;
        revealed_.erase(node.row.serial);
        changes_.removed.insert(node.row.serial);
    }
}

void CConnectionRowModel::SetFilter(std::string_view text) {
    filter_ = LowerAscii(text);
    matching_ = 0;
    for (auto& [serial, node] : nodes_) {
        node.matches = RowMatches(node.row.record, filter_);
        matching_ += node.matches ? 1 : 0;
    }
    // Whoever shows the rows takes them all afresh after a new search.
    revealed_.clear();
    changes_.reordered = true;
}

bool CConnectionRowModel::Shows(std::uint64_t serial) const {
    const auto found = nodes_.find(serial);
    return found != nodes_.end() && found->second.matches;
}

std::unordered_set<std::uint64_t> CConnectionRowModel::TakeRevealed() {
    return std::exchange(revealed_, {});
}

CConnectionRowModel::Changes CConnectionRowModel::TakeChanges() {
    return std::exchange(changes_, {});
}

const ShownRow* CConnectionRowModel::Find(std::uint64_t serial) const {
    const auto found = nodes_.find(serial);
    return found == nodes_.end() ? nullptr : &found->second.row;
}

std::vector<const ShownRow*> CConnectionRowModel::NewRows(std::uint64_t from) const {
    std::vector<const ShownRow*> rows;
    for (auto it = top_.rbegin(); it != top_.rend() && it->second->row.serial >= from; ++it) {
        if (it->second->matches) {
            rows.push_back(&it->second->row);
        }
    }
    return rows;
}

void CConnectionRowModel::Sort(Node* updated, const CConnectionRecord* before) {
    // The updated row was taken out of the tree and stood where its old values put it: before
    // every row that now compares equal to it when its old values compared lower, after them
    // when higher, and among them by its tie when its place in the order did not change.
    if (updated != nullptr && !updated->inTop) {
        const int moved = CompareRecords(*before, updated->row.record, sortKey_);
        if (moved < 0) {
            updated->tie = --lowTie_;
        } else if (moved > 0) {
            updated->tie = ++highTie_;
        }
        changes_.reordered = changes_.reordered || moved != 0;
        sorted_.insert(updated);
    }
    // Rows inserted since the last sort stood above all the others, the newest first.
    changes_.reordered = changes_.reordered || !top_.empty();
    for (auto& [seq, node] : top_) {
        node->tie = --lowTie_;
        node->inTop = false;
        sorted_.insert(node);
    }
    top_.clear();
}

void CConnectionRowModel::RefreshRates(double seconds) {
    bool changed = false;
    for (auto& [serial, node] : nodes_) {
        ShownRow& row = node.row;
        const std::uint64_t now = BothWays(row.record);
        const std::uint64_t moved = now > row.bytesAtRefresh ? now - row.bytesAtRefresh : 0;
        const auto rate =
            seconds > 0 ? static_cast<std::uint64_t>(static_cast<double>(moved) / seconds) : 0;
        row.bytesAtRefresh = now;
        if (rate != row.rate) {
            row.rate = rate;
            row.version = nextVersion_++;
            changes_.updated.insert(serial);
            changed = true;
        }
    }
    if (changed && std::abs(sortKey_) - 1 == kRateColumn) {
        SetSortKey(sortKey_);
    }
}

CConnectionRowModel::Node* CConnectionRowModel::FirstWithId(int id) {
    const auto found = byId_.find(id);
    if (found == byId_.end() || found->second.empty()) {
        return nullptr;
    }
    Node* first = found->second.front();
    for (Node* node : found->second) {
        if (IsAbove(node, first)) {
            first = node;
        }
    }
    return first;
}

bool CConnectionRowModel::IsAbove(const Node* a, const Node* b) const {
    if (a->inTop != b->inTop) {
        return a->inTop;
    }
    if (a->inTop) {
        return a->insertSeq > b->insertSeq;
    }
    return sorted_.key_comp()(a, b);
}

void CConnectionRowModel::ClickHeading(int column) {
    SetSortKey(NextSortKey(sortKey_, column));
}

void CConnectionRowModel::SetSortKey(int sortKey) {
    changes_.reordered = true;
    std::vector<Node*> order = InOrder();
    sortKey_ = sortKey;
    std::stable_sort(order.begin(), order.end(), [this](const Node* a, const Node* b) {
        return CompareRows(a->row, b->row, sortKey_) < 0;
    });
    top_.clear();
    sorted_.clear();
    std::int64_t tie = 0;
    for (Node* node : order) {
        node->tie = tie++;
        node->inTop = false;
        sorted_.insert(sorted_.end(), node);
    }
    lowTie_ = 0;
    highTie_ = tie;
}

std::vector<CConnectionRowModel::Node*> CConnectionRowModel::InOrder() const {
    std::vector<Node*> order;
    order.reserve(nodes_.size());
    for (auto it = top_.rbegin(); it != top_.rend(); ++it) {
        order.push_back(it->second);
    }
    order.insert(order.end(), sorted_.begin(), sorted_.end());
    return order;
}

std::vector<ShownRow> CConnectionRowModel::Rows() const {
    std::vector<ShownRow> rows;
    rows.reserve(matching_);
    for (const ShownRow* row : RowRefs()) {
        rows.push_back(*row);
    }
    return rows;
}

std::vector<const ShownRow*> CConnectionRowModel::RowRefs() const {
    std::vector<const ShownRow*> rows;
    rows.reserve(matching_);
    const auto add = [&rows](const Node* node) {
        if (node->matches) {
            rows.push_back(&node->row);
        }
    };
    for (auto it = top_.rbegin(); it != top_.rend(); ++it) {
        add(it->second);
    }
    for (const Node* node : sorted_) {
        add(node);
    }
    return rows;
}

}  // namespace tarvik
