#pragma once

#include <unistd.h>

#include <utility>

namespace tarvik {

// Owns one file descriptor and closes it once. Move-only; functions that only use a
// descriptor take Get() and never close it.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }

    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return Valid(); }

    int Release() { return std::exchange(fd_, -1); }
    // Closes now and reports the result: close can be where a delayed write error shows.
    bool Close() {
        const int fd = Release();
        return fd < 0 || ::close(fd) == 0;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace tarvik
