#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tracking/ConnectionList.h"

namespace tarvik {

class CConnectionRowModel;

// One step of a merged batch, in the order it is to be applied.
struct RowStep {
    enum class Kind {
        Delete,  // remove the rows with this id
        Insert,  // new row at the top
        Update,  // as RowOp's Update
        Resort,  // re-sort, as an Update does, without changing a row
    };
    Kind kind;
    CConnectionRecord record;  // only the id for Delete, nothing for Resort
};
using RowBatch = std::vector<RowStep>;

void ApplyBatch(const RowBatch& batch, CConnectionRowModel& model);

// Row operations from the tracker's thread, merged until the GUI thread takes them at once, so
// that a GUI that falls behind catches up with the newest state in one step and the memory held
// stays within one entry per id (a later Update or Delete of an id replaces what was pending for
// it; a Delete cancels a pending Insert; a Delete of an id that has no row is dropped).
//
// Taken and applied to the model, a batch gives the rows and the unsorted top rows exactly as
// running every operation in turn would; only rows the sort comparison finds equal may stand in
// another order. Ids name one row each, as the tracker's do.
class CRowOpBuffer {
public:
    // Adds a batch. True when the taker has to be woken: the buffer holds work and no wake-up
    // is outstanding since the last Take.
    bool Add(const std::vector<RowOp>& ops);
    // Everything added since the last Take, merged; clears the buffer.
    RowBatch Take();
    // Entries held now: at most one per id.
    std::size_t PendingIds() const;

private:
    enum class Change { None, Insert, Rewrite };
    struct Entry {
        bool deleteFirst = false;  // rows the taker already has for the id go first
        Change change = Change::None;
        CConnectionRecord record;
        std::uint64_t seq = 0;  // when the row appeared (Insert, or the first Update)
    };

    void AddOne(const RowOp& op);
    void AddInsert(const CConnectionRecord& record, std::uint64_t seq);
    void AddUpdate(const CConnectionRecord& record, std::uint64_t seq);
    void AddDelete(int id);
    bool HasWork() const { return !entries_.empty() || lastSortSeq_ != 0; }

    mutable std::mutex mutex_;
    std::unordered_map<int, Entry> entries_;
    // Ids that have a row once everything added so far is applied.
    std::unordered_set<int> live_;
    std::uint64_t nextSeq_ = 1;
    std::uint64_t lastSortSeq_ = 0;  // the last Update's re-sort; 0 when none is pending
    bool wakePending_ = false;
};

}  // namespace tarvik
