#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/EventSource.h"
#include "base/UniqueFd.h"
#include "base/WaitSet.h"

namespace tarvik {

// The kernel's notice of every TCP socket that ends, through the sock_diag multicast groups
// (no privilege needed). A thread of its own reads the socket, so that a slow tick does not
// let the socket buffer overflow; the notices wait in a bounded queue for Drain().
class CDestroyEventSource : public IEventSource {
public:
    static constexpr std::size_t kDefaultQueueLimit = 65536;

    // Null, with the reason (the errno text) in `error`, when the groups cannot be joined.
    static std::unique_ptr<CDestroyEventSource> Open(std::string* error,
                                                     std::size_t queueLimit = kDefaultQueueLimit);
    ~CDestroyEventSource() override;

    CDestroyEventSource(const CDestroyEventSource&) = delete;
    CDestroyEventSource& operator=(const CDestroyEventSource&) = delete;

    AcquisitionMode Mode() const override { return AcquisitionMode::Destroy; }
    std::vector<TcpEvent> Drain() override;
    bool TakeLoss() override;
    // A notice tells of an end only: new connections are found by the dump.
    bool NeedsDumpEveryTick() const override { return true; }
    void SetReadySignal(std::function<void()> ready) override;

private:
    CDestroyEventSource(UniqueFd socket, std::size_t queueLimit);

    void Run();
    // Reads every datagram waiting; false once the socket is of no further use.
    bool ReadWaiting(std::vector<std::byte>& buffer);
    void Queue(std::vector<TcpEvent> events, bool lost);

    UniqueFd socket_;
    CWaitSet waits_;  // the socket and the stop
    const std::size_t queueLimit_;
    CReadySignal ready_;
    std::mutex mutex_;
    std::vector<TcpEvent> queue_;  // under mutex_
    bool lost_ = false;            // under mutex_
    std::jthread reader_;          // last: starts once the rest is made
};

}  // namespace tarvik
