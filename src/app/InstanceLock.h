#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarvik {

// An advisory lock (flock) held for the life of the process. The kernel releases it when the
// process dies, so a crash never blocks the next start.
class CInstanceLock {
public:
    // Takes the lock on `path` (created when missing) without waiting. Returns std::nullopt with
    // a reason in `error` when another process holds it or the file cannot be opened.
    static std::optional<CInstanceLock> Acquire(const std::filesystem::path& path,
                                                std::string* error = nullptr);

    CInstanceLock(CInstanceLock&& other) noexcept;
    CInstanceLock& operator=(CInstanceLock&& other) noexcept;
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;
    ~CInstanceLock();

private:
    explicit CInstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace tarvik
