#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "acquisition/KernelTableSource.h"
#include "tracking/ConnectionList.h"

namespace tarvik::bench {

using Clock = std::chrono::steady_clock;

// Milliseconds of wall time and of CPU time (every thread of the process that did the work).
struct Timing {
    double wall = -1;
    double cpu = -1;
};

double Millis(Clock::duration duration);
double CpuMillis(const rusage& usage);
// Median of each field on its own.
Timing Median(std::vector<Timing> timings);
// utime + stime of a process in clock ticks; -1 when it cannot be read.
long ProcessTicks(pid_t pid);
// Bytes the allocator has handed out and not had back, over every arena.
double HeapInUse();

// The bare sock_diag dump of both families in one walk: what any reader must pay.
class KernelFloor {
public:
    // `byteCounts` off: without each socket's tcp_info, the kernel's share of their cost.
    explicit KernelFloor(bool byteCounts = true);
    Timing Dump(std::size_t& sockets);

private:
    std::unique_ptr<CKernelTableSource> source_;
};

class PollRig;

// The poll path as tarvikd runs it, kept from one cycle to the next: the poller's dump, rows,
// records, owner lookup and messages, and the tracker's merge on its own worker thread.
class PollPath {
public:
    // Byte counts on every `byteCountPeriod`-th dump; 0: none, to measure what they cost.
    explicit PollPath(int byteCountPeriod = 1);
    ~PollPath();
    PollPath(const PollPath&) = delete;
    PollPath& operator=(const PollPath&) = delete;

    bool Ready() const;
    // One poll, until the list has every change of it; CPU of the whole process.
    Timing Cycle();

private:
    std::unique_ptr<PollRig> rig_;
};

struct CycleResult {
    Timing timing;          // medians of the timed cycles
    double heapBytes = -1;  // heap of the poller's snapshot and the tracker's live set
    std::vector<std::vector<RowOp>> batches;  // the list operations of every cycle, in order
};

// Full poll cycles as the programs run them: the poller's walk of the kernel agent with its
// classification and broadcast, the tracker's merge on its own worker thread, a null list.
// One untimed cycle fills the tracker; then each of `runs` cycles follows `before()`.
CycleResult MeasureCycles(int runs, const std::function<bool()>& before);

struct GuiResult {
    double churnMillis = -1;   // median per batch of `batches` after the first
    double updateMillis = -1;  // median per batch updating 1% of the rows
    double bytesPerRow = -1;   // heap of the table model and view, per row
    double searchMillis = -1;  // median of one keystroke's search over all rows, and its undo
};

// Replays the batches into the window's table model under a shown table view: the first fills
// it, each later one is timed (model update and the events it causes).
GuiResult MeasureGui(const std::vector<std::vector<RowOp>>& batches);
// Without sockets: a first batch of `rows` inserts, then `batches` snapshots that each close
// 1% of the connections and open as many new ones, as the tracker reports them.
std::vector<std::vector<RowOp>> SyntheticChurn(int rows, int batches);

struct BacklogResult {
    double catchUpMillis = -1;       // until the window shows the last batch's state
    double peakExtraMegabytes = -1;  // heap above the filled window while it caught up
    int looks = 0;                   // times the busy GUI thread looked at its events
};

// `batches` of 1% updates from another thread into a window of `rows` rows whose GUI thread is
// busy for `busyMillis` between its looks at the event queue.
BacklogResult MeasureGuiBacklog(int rows, int batches, int busyMillis);

}  // namespace tarvik::bench
