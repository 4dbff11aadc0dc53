#include "base/WriteAll.h"

#include <unistd.h>

#include <cerrno>

namespace tarvik {

int WriteAll(int fd, std::string_view text, const WriteFunction& write) {
    while (!text.empty()) {
        const ssize_t written =
            write ? write(fd, text.data(), text.size()) : ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        if (written == 0) {
            return ENOSPC;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace tarvik
