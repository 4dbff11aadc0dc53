#pragma once

#include <cstddef>
#include <vector>

#include "acquisition/ConnectionRecord.h"
#include "tracking/ConnectionColumns.h"

namespace tarvik {

// One change to the shown list. The record is a copy: the list keeps its own rows, so no record
// is read by one thread while another writes it.
struct RowOp {
    enum class Kind {
        Insert,  // new row at index 0 with all seven cells
        Update,  // not visible: Delete; else rewrite cells 0,1,4,5,6 of the row with this id and
                 // re-sort, or re-sort and Insert when no row has the id
        Delete,  // remove every row with this id
    };
    Kind kind;
    CConnectionRecord record;
    // Whether the view filter shows the row; an Insert's row always is, a Delete ignores it.
    bool visible = true;
};

// Where the tracker's list operations land: the window's row model, a console sink or nothing
// in headless mode, a recording fake in tests. Apply runs the operations in order, as one step
// (the window runs it on its own thread and blocks the caller until it is done).
class IConnectionList {
public:
    virtual ~IConnectionList() = default;
    virtual void Apply(std::vector<RowOp> ops) = 0;
    // False for a list that shows no rows (the headless monitor without --rows): the tracker
    // then makes no row operations at all, which on a first read of a large table would be a
    // copy of every record. The calls below come either way.
    virtual bool TakesRows() const { return true; }

    // Every connection, shown or not, when it is first seen and when it ends (as the logger is
    // told: on entering TIME_WAIT, else on leaving the table), and the number of live
    // connections after each snapshot. On the tracker's thread; for event streams, counts and
    // the window's "of M".
    virtual void Opened(const CConnectionRecord& /*record*/) {}
    virtual void Ended(const CConnectionRecord& /*record*/) {}
    // A live connection changed in what its record says: its state, host name or owning
    // process (not its end, which is Ended, nor whether the view shows it). Comes whether or
    // not any list shows rows, so an event stream sees what a window would.
    virtual void Updated(const CConnectionRecord& /*record*/) {}
    virtual void LiveCount(std::size_t /*count*/) {}
    // The kernel dropped notices: a connection that began and ended then may be missing.
    virtual void NoticesLost(std::time_t /*time*/) {}
};

}  // namespace tarvik
