#include "app/ProcessLimits.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tarvik {

namespace {

// The kernel refuses an unlimited descriptor limit; its own ceiling stands in for it.
rlim_t KernelDescriptorCeiling() {
    std::ifstream in("/proc/sys/fs/nr_open");
    unsigned long long ceiling = 0;
    return in >> ceiling && ceiling > 0 ? static_cast<rlim_t>(ceiling) : rlim_t{1048576};
}

}  // namespace

std::optional<rlim_t> RaiseDescriptorLimit(std::string* error) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        if (error != nullptr) {
            *error = std::string("cannot read the descriptor limit: ") + std::strerror(errno);
        }
        return std::nullopt;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return limit.rlim_cur;
    }
    const rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? KernelDescriptorCeiling() : limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        if (error != nullptr) {
            *error = "cannot raise the descriptor limit from " + std::to_string(previous) + ": " +
                     std::strerror(errno);
        }
        return std::nullopt;
    }
    return limit.rlim_cur;
}

}  // namespace tarvik
