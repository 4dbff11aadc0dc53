#pragma once

#include <sys/types.h>

#include <vector>

#include "base/UniqueFd.h"

namespace tarvik::bench {

// Loopback connections held by helper processes, since one process may hold only about 20,000
// descriptors. Helper i listens on 127.0.1.(i+1) and connects from 127.0.2.(i+1), so no
// address pair runs out of ephemeral ports. Every socket is reset at close (SO_LINGER 0), so
// nothing lingers in TIME_WAIT; helpers die with this process.
class LoopbackPool {
public:
    static constexpr int kPerHelper = 4000;

    LoopbackPool() = default;
    ~LoopbackPool();
    LoopbackPool(const LoopbackPool&) = delete;
    LoopbackPool& operator=(const LoopbackPool&) = delete;

    // Adds helpers until `total` connections are open. False when a helper failed.
    bool GrowTo(int total);
    // Each helper closes its oldest `perMille`/1000 connections and opens as many new ones.
    bool Churn(int perMille);
    int Connections() const { return total_; }
    // Closes every connection and waits for the helpers.
    void Close();

private:
    struct Helper {
        pid_t pid = -1;
        UniqueFd command;
        UniqueFd reply;
        int count = 0;
    };
    bool Ask(Helper& helper, char command, int value);

    std::vector<Helper> helpers_;
    int total_ = 0;
};

}  // namespace tarvik::bench
