#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/UniqueFd.h"

namespace tarvik {

class CSettingsStore;

// Listens on the bait ports ("listenports"), accepts each connection and closes it at once, and
// broadcasts one new inbound record (kMsgNewConnection) per accepted connection. It runs on its
// own thread and is not a registered worker: it receives no messages.
//
// Sockets set SO_REUSEADDR so that a reload can take back a port whose old connections linger
// in TIME_WAIT; on Linux this never lets two sockets listen on one port, so a duplicate or a
// port another program listens on is still refused and skipped.
class CScanListener {
public:
    static constexpr const char* kAnyAddress = "0.0.0.0";
    static constexpr std::chrono::milliseconds kPollPeriod{200};

    // `bindAddress` is the IPv4 address the bait ports are bound to.
    explicit CScanListener(CSettingsStore& settings, std::string bindAddress = kAnyAddress);
    // Stops and waits.
    ~CScanListener();

    CScanListener(const CScanListener&) = delete;
    CScanListener& operator=(const CScanListener&) = delete;

    // Starts the thread. Call at most once.
    void Start();
    // Asks the thread to end and returns at once; it notices within one poll period.
    void Stop();
    // Waits until the thread has ended; returns at once for a listener never started.
    void Wait();

    // Waits until the thread has bound its ports; false after the deadline or when not started.
    bool WaitUntilListening(std::chrono::milliseconds deadline) const;
    // The ports actually held, in list order (after WaitUntilListening).
    std::vector<int> HeldPorts() const;

private:
    void Run(std::stop_token stop);
    std::vector<UniqueFd> OpenSockets();
    void Serve(const std::vector<UniqueFd>& sockets, std::stop_token& stop);
    void AcceptAndReport(int listenFd);
    void SetListening(std::vector<int> ports);

    CSettingsStore& settings_;
    std::string bindAddress_;

    mutable std::mutex mutex_;
    mutable std::condition_variable listening_;
    bool bound_ = false;
    std::vector<int> heldPorts_;

    std::jthread thread_;
};

}  // namespace tarvik
