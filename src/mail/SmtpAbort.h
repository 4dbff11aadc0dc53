#pragma once

#include <atomic>

#include "base/UniqueFd.h"

namespace tarvik {

// Lets another thread end mail exchanges at once. Every wait of an exchange polls this
// descriptor beside its socket; once aborted it stays readable, so later exchanges that share
// it fail at their first wait.
class CSmtpAbort {
public:
    CSmtpAbort();
    CSmtpAbort(const CSmtpAbort&) = delete;
    CSmtpAbort& operator=(const CSmtpAbort&) = delete;

    // Safe from any thread, any number of times.
    void Abort() noexcept;
    bool Aborted() const noexcept { return aborted_.load(std::memory_order_acquire); }
    // -1 when no descriptor could be had; waits then poll the flag in short slices.
    int Fd() const noexcept { return fd_.Get(); }

private:
    std::atomic<bool> aborted_{false};
    UniqueFd fd_;
};

}  // namespace tarvik
