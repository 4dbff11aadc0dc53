#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarvik {

std::optional<CInstanceLock> CInstanceLock::Acquire(const std::filesystem::path& path,
                                                    std::string* error) {
    std::error_code ignored;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) {
            *error = "cannot open lock file " + path.string() + ": " + std::strerror(errno);
        }
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int reason = errno;
        ::close(fd);
        if (error) {
            *error = reason == EWOULDBLOCK
                         ? "another instance is running (lock held on " + path.string() + ")"
                         : "cannot lock " + path.string() + ": " + std::strerror(reason);
        }
        return std::nullopt;
    }
    return CInstanceLock(fd);
}

CInstanceLock::CInstanceLock(CInstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

CInstanceLock& CInstanceLock::operator=(CInstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

CInstanceLock::~CInstanceLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace tarvik
