#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace tarvik {

// Runs mail exchanges one after another on a thread of its own, so that a mail server that is
// slow or down never holds up the caller. The queue is bounded: a job past `capacity` waiting
// ones is refused.
class CMailQueue {
public:
    using Job = std::function<void()>;

    CMailQueue();
    // Waits for the job in progress (abort it first to end it at once); drops the waiting ones.
    ~CMailQueue();
    CMailQueue(const CMailQueue&) = delete;
    CMailQueue& operator=(const CMailQueue&) = delete;

    // False when `capacity` jobs wait already.
    bool Push(Job job, std::size_t capacity);
    // Drops the jobs not started yet.
    void DropWaiting();
    // Waits until no job waits or runs; false after the deadline.
    bool WaitIdle(std::chrono::milliseconds deadline);

private:
    void Run(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Job> jobs_;
    bool busy_ = false;
    std::jthread thread_;  // last: it uses the members above
};

}  // namespace tarvik
