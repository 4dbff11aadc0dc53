#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "base/UniqueFd.h"

namespace tarvik {

// A descriptor or a timer of a CWaitSet.
enum class WaitKey : std::size_t {};

// The one wait of an I/O thread: the descriptors it reads or writes, timers for its periodic
// work, a wake-up for work other threads hand it and a stop, all in one poll(2). The thread
// sleeps until one of them is ready, so a stop ends it at once and an idle thread costs no
// wake-ups. poll rather than epoll because epoll refuses regular files, and standard output
// may be one.
//
// Stop(), Stopped() and Wake() may be called from any thread, everything else only from the
// thread that waits (or before it starts).
class CWaitSet {
public:
    struct Ready {
        WaitKey key;
        int fd;
        short events;  // as poll(2) returned them: POLLIN, POLLOUT, POLLERR...
    };
    // What one Wait() saw.
    struct Result {
        bool stopped = false;      // Stop() was called: the thread is to end
        bool woken = false;        // Wake() was called since the last Wait
        bool timedOut = false;     // the timeout ran out with nothing ready
        bool failed = false;       // poll(2) failed for good (not EINTR)
        std::vector<Ready> ready;  // descriptors ready and timers run out, in the order added

        bool Has(WaitKey key) const;
    };

    CWaitSet();
    CWaitSet(const CWaitSet&) = delete;
    CWaitSet& operator=(const CWaitSet&) = delete;

    // False when the eventfds could not be made (out of descriptors): Wait then fails at once.
    bool Valid() const { return stop_.Valid() && wake_.Valid(); }

    // Makes every Wait, the one under way and all later ones, report `stopped`. Any thread.
    void Stop();
    bool Stopped() const { return stopped_.load(); }
    // The next Wait reports `woken`, once for any number of wakes since the last. Any thread.
    void Wake();

    // Watches `fd` (kept open by the caller) for `events`.
    WaitKey Watch(int fd, short events);
    // A key switched off is not waited on until switched on again.
    void Enable(WaitKey key, bool on);
    // Gives a watched key another descriptor (-1: none, switched off) and events, so that a
    // thread serving connections that come and go keeps a fixed set of keys.
    void Rewatch(WaitKey key, int fd, short events);
    // A timer of the set's own, not running until armed.
    WaitKey AddTimer();
    // Runs the timer out once, `delay` from now (zero or less: at once).
    void Arm(WaitKey timer, std::chrono::nanoseconds delay);

    // Waits until something is ready or the timeout (none: no limit) runs out. The result is
    // valid until the next Wait.
    const Result& Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Waits `pause` unless the stop comes first; true when stopped.
    bool PauseUnlessStopped(std::chrono::milliseconds pause) const;

private:
    struct Entry {
        int fd;
        UniqueFd timer;  // the timerfd of a timer; invalid for a watched descriptor
    };

    std::size_t IndexOf(WaitKey key) const { return static_cast<std::size_t>(key); }

    UniqueFd stop_;
    UniqueFd wake_;
    std::atomic<bool> stopped_{false};
    std::vector<Entry> entries_;  // one per key
    std::vector<pollfd> polled_;  // the stop, the wake, then one per key; -1 when switched off
    Result result_;
};

}  // namespace tarvik
