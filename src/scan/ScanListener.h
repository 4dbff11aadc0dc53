#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueFd.h"
#include "base/WaitSet.h"

namespace tarvik {

class CSettingsStore;
class CWorkerHub;

// How many bait ports may be held under a descriptor limit: a reserve of descriptors stays for
// the accepted connections and the rest of the program, and never more than a few thousand.
std::size_t BaitPortCap(std::uint64_t descriptorLimit);

// Listens on the bait ports ("listenports"), accepts each connection and closes it at once, and
// publishes one new inbound connection (NewInbound) per accepted connection. It runs on its own
// thread and is not a registered worker: it receives no messages.
//
// A port that cannot be taken is said once per port and reason, in the trace and to the user,
// and tried again on RetryUnbound() (the scan watcher asks at every scan check). The ports are
// capped below the process's descriptor limit, so that accepting always has descriptors left.
//
// Sockets set SO_REUSEADDR so that a reload can take back a port whose old connections linger
// in TIME_WAIT; on Linux this never lets two sockets listen on one port, so a port another
// program listens on is still refused and skipped. A port listed twice is watched once.
class CScanListener {
public:
    static constexpr const char* kAnyAddress = "0.0.0.0";

    // `bindAddress` is the IPv4 address the bait ports are bound to.
    explicit CScanListener(CSettingsStore& settings, CWorkerHub& hub,
                           std::string bindAddress = kAnyAddress);
    // Stops and waits.
    ~CScanListener();

    CScanListener(const CScanListener&) = delete;
    CScanListener& operator=(const CScanListener&) = delete;

    // Starts the thread. Call at most once.
    void Start();
    // Asks the thread to end and returns at once; it ends without delay.
    void Stop();
    // Waits until the thread has ended; returns at once for a listener never started.
    void Wait();

    // From any thread: the listener tries the ports it could not take again, soon.
    void RetryUnbound();

    // Waits until the thread has bound its ports; false after the deadline or when not started.
    bool WaitUntilListening(std::chrono::milliseconds deadline) const;
    // The ports actually held, in list order (after WaitUntilListening).
    std::vector<int> HeldPorts() const;
    // Rounds of binding done so far: 1 once listening, one more per retry handled.
    int BindRounds() const;

private:
    struct BaitPort {
        int port = 0;
        UniqueFd fd;
        int lastError = 0;     // the reason last said for not holding it; 0 when never said
        bool watched = false;  // its socket is in waits_
    };

    void Run();
    std::vector<BaitPort> ConfiguredPorts();
    // Tries every port not held yet; true when one more was taken.
    bool BindUnbound(std::vector<BaitPort>& baits);
    void Serve(std::vector<BaitPort>& baits);
    // Adds the sockets taken since the last call to waits_.
    void WatchNew(std::vector<BaitPort>& baits);
    bool TakeRetryRequest();
    void AcceptAndReport(int listenFd);
    // Publishes the held ports after a round of binding.
    void SetListening(const std::vector<BaitPort>& baits);
    void Say(const std::string& text) const;

    CSettingsStore& settings_;
    CWorkerHub& hub_;
    std::string bindAddress_;

    mutable std::mutex mutex_;
    mutable std::condition_variable listening_;
    bool bound_ = false;
    bool retryRequested_ = false;
    int bindRounds_ = 0;
    std::vector<int> heldPorts_;

    CWaitSet waits_;  // the bait sockets, a retry request (a wake) and the stop
    std::thread thread_;
};

}  // namespace tarvik
