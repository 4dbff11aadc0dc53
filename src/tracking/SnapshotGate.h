#pragma once

#include <atomic>

namespace tarvik {

// Keeps at most one snapshot in flight between the poller and the tracker. The poller enters
// before it reads the kernel's table and skips the poll when the tracker still holds the last
// snapshot; the tracker leaves once it has merged it. Only the newest state matters, so a busy
// machine coalesces polls instead of queueing whole tables.
class CSnapshotGate {
public:
    // True when no snapshot is in flight; the caller then owns the gate until Leave().
    bool TryEnter() { return !busy_.exchange(true, std::memory_order_acq_rel); }
    // Ends the snapshot in flight (the tracker merged it, or the poller sent none).
    void Leave() { busy_.store(false, std::memory_order_release); }
    bool Busy() const { return busy_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> busy_{false};
};

}  // namespace tarvik
