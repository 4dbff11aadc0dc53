#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tracking/ConnectionList.h"

namespace tarvik {

// One shown row: its own copy of the record, and a serial that names the row (ids may repeat).
struct ShownRow {
    std::uint64_t serial = 0;
    CConnectionRecord record;
    std::uint64_t version = 0;         // changes with every update of the row
    std::uint64_t rate = 0;            // bytes a second, both ways, between the last two refreshes
    std::uint64_t bytesAtRefresh = 0;  // both ways, at the last refresh
};

// Negative when `a` goes first: CompareRecords, and by the rate for the rate column.
int CompareRows(const ShownRow& a, const ShownRow& b, int sortKey);

// The rows of the connection list, without a window system. Apply gives exactly the order that
// running the operations one at a time would give (every Update re-sorts the whole list with a
// stable sort, every Insert goes to the top), at O(log n) per operation:
//
// The list is always "rows inserted since the last sort, newest first" above "the rest, sorted".
// The sorted part lives in a tree ordered by (sort comparison, tie). Ties record the order the
// rows had before the sort that placed them, which is what a stable sort keeps. A sort then only
// has to move the rows inserted since the last sort and the one updated row into the tree.
class CConnectionRowModel {
public:
    CConnectionRowModel();
    ~CConnectionRowModel();
    CConnectionRowModel(const CConnectionRowModel&) = delete;
    CConnectionRowModel& operator=(const CConnectionRowModel&) = delete;

    void Apply(const std::vector<RowOp>& ops);
    void Insert(const CConnectionRecord& record);
    void Update(const CConnectionRecord& record);
    void Delete(int id);
    // Each row's rate from the bytes it moved since the last call, `seconds` ago. O(n); a
    // list sorted by the rate is sorted again when a rate changed.
    void RefreshRates(double seconds);
    // The re-sort an Update does, without changing a row.
    void Resort() { Sort(nullptr, nullptr); }

    int SortKey() const { return sortKey_; }
    // Applies the heading-click rule for `column` and re-sorts.
    void ClickHeading(int column);
    void SetSortKey(int sortKey);

    // The search: only rows with a cell that contains `text` (any case) are shown. One pass
    // over the rows; each later Insert or Update tests only its own row.
    void SetFilter(std::string_view text);
    const std::string& Filter() const { return filter_; }

    // Every row, shown or not.
    std::size_t Size() const { return nodes_.size(); }
    // The rows the search lets through.
    std::size_t MatchingSize() const { return matching_; }
    // The rows the search lets through, in display order.
    std::vector<ShownRow> Rows() const;
    // The same without copies; the pointers stay valid until the next change of the model.
    std::vector<const ShownRow*> RowRefs() const;
    bool Contains(std::uint64_t serial) const { return nodes_.contains(serial); }
    // The row exists and the search lets it through.
    bool Shows(std::uint64_t serial) const;
    // Rows that an Update let through the search since the last call (they may be gone again).
    std::unordered_set<std::uint64_t> TakeRevealed();

    // What happened since the last call, so that whoever shows the rows need not compare them
    // all: whether any row moved relative to the others (new rows on top do not count), and
    // which rows were updated, and which were deleted or hidden by the search (each may have
    // come back since).
    struct Changes {
        bool reordered = false;
        std::unordered_set<std::uint64_t> updated;
        std::unordered_set<std::uint64_t> removed;
    };
    Changes TakeChanges();
    // The row, or nullptr.
    const ShownRow* Find(std::uint64_t serial) const;
    // The rows above the sorted part (inserted since the last sort) that the search lets
    // through, newest first, while their serial is at least `from`.
    std::vector<const ShownRow*> NewRows(std::uint64_t from) const;
    // Serials are handed out in increasing order: rows inserted from now on get this or more.
    std::uint64_t NextSerial() const { return nextSerial_; }

private:
    struct Node {
        ShownRow row;
        std::int64_t tie = 0;         // order among equal rows in the sorted part
        std::uint64_t insertSeq = 0;  // order in the unsorted top part
        bool inTop = true;
        bool matches = true;  // the search lets it through
    };
    struct SortedLess {
        const int* sortKey;
        bool operator()(const Node* a, const Node* b) const;
    };

    Node* FirstWithId(int id);
    bool IsAbove(const Node* a, const Node* b) const;
    // Re-sorts the whole list; `updated` (with its record before the change) moved in place.
    void Sort(Node* updated, const CConnectionRecord* before);
    std::vector<Node*> InOrder() const;
    void SetMatches(Node& node, bool matches);

    int sortKey_ = 0;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t nextInsertSeq_ = 1;
    std::int64_t lowTie_ = 0;
    std::int64_t highTie_ = 0;
    std::unordered_map<std::uint64_t, Node> nodes_;  // element addresses are stable
    std::unordered_map<int, std::vector<Node*>> byId_;
    std::map<std::uint64_t, Node*> top_;  // by insertSeq; the newest is shown first
    std::set<Node*, SortedLess> sorted_;
    std::string filter_;  // lower-cased
    std::size_t matching_ = 0;
    std::unordered_set<std::uint64_t> revealed_;
    std::uint64_t nextVersion_ = 1;
    Changes changes_;
};

}  // namespace tarvik
