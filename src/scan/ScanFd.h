#pragma once

#include <unistd.h>

#include <utility>

namespace tarvik {

// Owns one descriptor and closes it when destroyed. Move-only.
class CScanFd {
  public:
    CScanFd() = default;
    explicit CScanFd(int fd) : fd_(fd) {}
    ~CScanFd() { Reset(); }

    CScanFd(CScanFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    CScanFd& operator=(CScanFd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    CScanFd(const CScanFd&) = delete;
    CScanFd& operator=(const CScanFd&) = delete;

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

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
