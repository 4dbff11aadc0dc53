#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tracking/Message.h"

namespace tarvik {

// A long-lived worker with its own message queue. Subclasses fill their handler table in their
// constructor with On(number, handler); messages are handled one at a time in arrival order on
// the worker's own thread, and numbers without a handler are dropped (their payloads freed).
//
// Every worker handles kMsgQuit: it runs OnQuit(), then ExitInstance(), and leaves its loop.
// Destroying a worker asks it to stop and joins it; unhandled queued messages are freed.
class CWorkerThread {
public:
    explicit CWorkerThread(std::string name);
    virtual ~CWorkerThread();

    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Starts the thread: InitInstance(), then the message loop. Call once.
    void Start();

    // Queues a message. Returns false (and frees nothing the caller still owns: the payloads
    // are released with the message) when the worker no longer accepts messages.
    bool Post(Message message);
    // Queues the messages in order as one step, with a single wake-up. Returns false (freeing
    // them all) when the worker no longer accepts messages.
    bool PostAll(std::vector<Message> messages);

    // True when the handler table has an entry for the number (always for kMsgQuit).
    bool Handles(int number) const;

    // Waits until the thread has ended. Safe to call more than once, and on an unstarted worker.
    void Join();

    // Asks the loop to end without a quit message and waits for it. Subclasses whose handlers
    // use their own members call this first thing in their destructor.
    void Stop();

    // True while the thread runs its loop (between Start and the end of the loop).
    bool Running() const;

    const std::string& Name() const { return name_; }

protected:
    using Handler = std::function<void(Message&)>;

    // Adds a handler to the table. Only from the subclass constructor, before Start().
    void On(int number, Handler handler);

    // A message of this number that arrives while another of the same number still waits is
    // dropped: for requests where one pending is as good as many (a poll tick), so a worker
    // that falls behind its ticks never builds an unbounded backlog. Constructor only.
    void CoalesceQueued(int number);

    // A message of this number that is not yet handled when a quit is queued is dropped
    // unhandled (payloads freed): work whose result nobody waits for at the end, such as a
    // host-name request, so that the quit is not stuck behind it. Other numbers queued before
    // the quit are still handled. Constructor only.
    void DropQueuedAtQuit(int number);

    // Start-up work on the worker's thread; returning false ends the thread at once.
    virtual bool InitInstance() { return true; }
    // Last work on the worker's thread, after the loop.
    virtual int ExitInstance() { return 0; }
    // Extra work on kMsgQuit, before ExitInstance (the scan watcher stops its listener here).
    virtual void OnQuit() {}
    // Called on the worker's thread each time it has handled every message it took, before it
    // waits for more, and once after the loop: the place to send what the handlers gathered.
    virtual void OnInboxDone() {}

    // Ends the loop after the current message.
    void QuitLoop();

private:
    void Run(std::stop_token stop);
    bool NextMessage(std::stop_token& stop, Message& message);
    // Under mutex_: false when the message is to be dropped as a duplicate of a waiting one.
    bool AdmitLocked(const Message& message);
    void MarkHandled(int number);
    // Under mutex_: notes a queued quit and frees the waiting messages it makes moot.
    void QuitQueuedLocked();
    bool DroppedByQuit(int number) const;

    std::string name_;
    std::unordered_map<int, Handler> handlers_;
    std::unordered_map<int, int> waiting_;  // coalesced number -> messages queued; under mutex_
    std::unordered_set<int> dropAtQuit_;    // fixed before Start()
    std::atomic<bool> quitQueued_{false};

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Message> queue_;
    std::deque<Message> inbox_;  // taken from queue_ in one go; only the worker's thread uses it
    bool accepting_ = true;
    bool running_ = false;
    bool quitRequested_ = false;

    std::jthread thread_;
};

}  // namespace tarvik
