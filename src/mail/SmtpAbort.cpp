#include "mail/SmtpAbort.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tarvik {

CSmtpAbort::CSmtpAbort() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void CSmtpAbort::Abort() noexcept {
    aborted_.store(true, std::memory_order_release);
    if (fd_) {
        const std::uint64_t one = 1;
        // Never read back, so the counter only grows and the descriptor stays readable.
        [[maybe_unused]] const ssize_t written = ::write(fd_.Get(), &one, sizeof one);
    }
}

}  // namespace tarvik
