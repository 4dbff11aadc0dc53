#pragma once

#include <condition_variable>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <typeindex>
#include <vector>

namespace tarvik {

// One published value on its way to a worker: a `type` at `value`, which the worker copies, or
// moves from when `take` is set (the value's last subscriber).
struct Offered {
    std::type_index type;
    void* value;
    bool take;
};

// A long-lived worker thread with its own queue. This part is what the hub and the program see:
// the thread's life, the quit and the types the worker takes; the queue of typed messages and
// the loop that hands them to the handler are CWorker<Inbox>'s (Worker.h).
//
// A quit ends the worker: it handles what was queued before it, runs OnQuit(), then
// ExitInstance(), and leaves its loop. Destroying a worker asks it to stop and joins it; what is
// still queued is freed unhandled.
class CWorkerThread {
public:
    explicit CWorkerThread(std::string name);
    virtual ~CWorkerThread();

    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread: InitInstance(), then the loop. Call once.
    void Start();

    // Queues the quit. False when the worker no longer accepts messages.
    virtual bool PostQuit() = 0;

    // Whether the worker takes published values of `type`; fixed by its constructor.
    bool Subscribes(std::type_index type) const;
    // Queues the values (of types it subscribes to) in order, as one step with one wake-up.
    // False, freeing nothing the caller owns, when the worker no longer accepts messages.
    virtual bool Offer(std::span<const Offered> values) = 0;

    // Waits until the thread has ended. Safe to call more than once, and on an unstarted worker.
    void Join();

    // Asks the loop to end without a quit and waits for it. Subclasses whose handlers use their
    // own members call this first thing in their destructor.
    void Stop();

    // True while the thread runs its loop (between Start and the end of the loop).
    bool Running() const;

    const std::string& Name() const { return name_; }

protected:
    // Start-up work on the worker's thread; returning false ends the thread at once.
    virtual bool InitInstance() { return true; }
    // Last work on the worker's thread, after the loop.
    virtual int ExitInstance() { return 0; }
    // Extra work at the quit, before ExitInstance (the scan watcher stops its listener here).
    virtual void OnQuit() {}
    // Called on the worker's thread each time it has handled every message it took, before it
    // waits for more, and once after the loop: the place to send what the handlers gathered.
    virtual void OnInboxDone() {}

    // Ends the loop after the current message.
    void QuitLoop();

    // Only from a constructor, before Start().
    void AddSubscription(std::type_index type);

    // The loop, on the worker's own thread (CWorker<Inbox>).
    virtual void Run(std::stop_token stop) = 0;

    // Guards the queue of the subclass and the flags below; `wake_` is signalled when the
    // queue stops being empty.
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    bool accepting_ = true;
    bool quitRequested_ = false;

    // Marks the end of the loop: no more posts are accepted. Under no lock.
    void EndRunning();

private:
    std::string name_;
    std::vector<std::type_index> subscriptions_;  // fixed before Start()
    bool running_ = false;
    std::jthread thread_;
};

}  // namespace tarvik
