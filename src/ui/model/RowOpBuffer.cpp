#include "ui/model/RowOpBuffer.h"

#include <algorithm>

#include "ui/model/ConnectionRowModel.h"

namespace tarvik {

void ApplyBatch(const RowBatch& batch, CConnectionRowModel& model) {
    for (const RowStep& step : batch) {
        switch (step.kind) {
            case RowStep::Kind::Delete:
                model.Delete(step.record.id);
                break;
            case RowStep::Kind::Insert:
                model.Insert(step.record);
                break;
            case RowStep::Kind::Update:
                model.Update(step.record);
                break;
            case RowStep::Kind::Resort:
                model.Resort();
                break;
        }
    }
}

bool CRowOpBuffer::Add(const std::vector<RowOp>& ops) {
    std::lock_guard lock(mutex_);
    for (const RowOp& op : ops) {
        AddOne(op);
    }
    if (wakePending_ || !HasWork()) {
        return false;
    }
    wakePending_ = true;
    return true;
}

void CRowOpBuffer::AddOne(const RowOp& op) {
    const std::uint64_t seq = nextSeq_++;
    switch (op.kind) {
        case RowOp::Kind::Insert:
            AddInsert(op.record, seq);
            break;
        case RowOp::Kind::Update:
            if (op.visible) {
                AddUpdate(op.record, seq);
            } else {
                AddDelete(op.record.id);
            }
            break;
        case RowOp::Kind::Delete:
            AddDelete(op.record.id);
            break;
    }
}

void CRowOpBuffer::AddInsert(const CConnectionRecord& record, std::uint64_t seq) {
    Entry& entry = entries_[record.id];
    entry.change = Change::Insert;
    entry.record = record;
    entry.seq = seq;
    live_.insert(record.id);
}

void CRowOpBuffer::AddUpdate(const CConnectionRecord& record, std::uint64_t seq) {
    lastSortSeq_ = seq;
    live_.insert(record.id);
    Entry& entry = entries_[record.id];
    if (entry.change == Change::None) {
        entry.change = Change::Rewrite;
        entry.record = record;
        entry.seq = seq;
        return;
    }
    // The row already pending keeps its ports and its place in time; the update re-sorts it.
    const int localPort = entry.record.localPort;
    const int remotePort = entry.record.remotePort;
    entry.record = record;
    entry.record.localPort = localPort;
    entry.record.remotePort = remotePort;
}

void CRowOpBuffer::AddDelete(int id) {
    const bool hadRow = live_.erase(id) != 0;
    const auto found = entries_.find(id);
    if (found == entries_.end()) {
        if (hadRow) {
            entries_[id].deleteFirst = true;
        }
        return;
    }
    Entry& entry = found->second;
    // An inserted id is new, so the taker has no row of it: cancelling the Insert is enough.
    if (entry.change == Change::Insert && !entry.deleteFirst) {
        entries_.erase(found);
        return;
    }
    entry.change = Change::None;
    entry.record = CConnectionRecord{};
    entry.deleteFirst = true;
}

RowBatch CRowOpBuffer::Take() {
    std::unordered_map<int, Entry> entries;
    std::uint64_t lastSort = 0;
    {
        std::lock_guard lock(mutex_);
        entries.swap(entries_);
        lastSort = lastSortSeq_;
        lastSortSeq_ = 0;
        wakePending_ = false;
    }
    RowBatch batch;
    batch.reserve(entries.size() + 1);
    std::vector<std::pair<std::uint64_t, Entry*>> changes;
    for (auto& [id, entry] : entries) {
        if (entry.deleteFirst) {
            CConnectionRecord record;
            record.id = id;
            batch.push_back(RowStep{RowStep::Kind::Delete, std::move(record)});
        }
        if (entry.change != Change::None) {
            changes.emplace_back(entry.seq, &entry);
        }
    }
    std::sort(changes.begin(), changes.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    // The last Update's re-sort goes where that Update stood: every row that appeared before it
    // is sorted in, every later Insert stays on top.
    bool resorted = lastSort == 0;
    for (auto& [seq, entry] : changes) {
        if (!resorted && seq >= lastSort) {
            batch.push_back(RowStep{RowStep::Kind::Resort, {}});
            resorted = true;
        }
        const RowStep::Kind kind =
            entry->change == Change::Insert ? RowStep::Kind::Insert : RowStep::Kind::Update;
        batch.push_back(RowStep{kind, std::move(entry->record)});
    }
    if (!resorted) {
        batch.push_back(RowStep{RowStep::Kind::Resort, {}});
    }
    return batch;
}

std::size_t CRowOpBuffer::PendingIds() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

}  // namespace tarvik
